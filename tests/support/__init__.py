"""Helpers shared by the tests, and by the benchmark, fuzz seeds and leak check that build frames:
frames and capture files (`frames`), random frames (`strategies`), what the process holds
(`resources`), traffic on `lo` (`loopback`) and the dpkt reading of capture files (`reference`)."""
