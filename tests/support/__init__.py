"""What the test suites and the benchmarks share: the bundled simulator
started on a line (simulator), scripted meter answers (scripted_meter), the
frames of one exchange (exchange), the answer fuzzer's inputs and
session (fuzz_inputs, answer_session), and the fleet's redis-server,
workers and counting simulators (fleet_cluster).

The build puts tests/ on the path of every suite and benchmark it runs, so
each imports these one way: from support.simulator import started.
"""
