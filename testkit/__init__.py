"""Helpers shared by the test suite and the benchmarks: frame builders and the independent
reference readers the native code is held to."""
