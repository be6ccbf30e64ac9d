"""Helpers of the tests alone (frame builders, the dpkt reader, the connection references and the
native connections driver, which the benchmarks share, are the `testkit` package): random frames
(`strategies`), what the process holds (`resources`), traffic on `lo` (`loopback`, also used by the
leak check), child processes in a network of their own (`isolation`), the dpkt reading and the count
rule (`reference`), the command's JSON lines read back (`json_lines`) and the row writers its text is
compared with (`dict_writers`)."""
