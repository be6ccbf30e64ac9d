"""Helpers shared by the test suite and the benchmarks: frame builders, the independent reference
readers the native code is held to, and the native connection table's driver."""
