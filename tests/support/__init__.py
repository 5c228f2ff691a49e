"""What the test suites and the benchmarks share: the bundled simulator
started on a line (simulator), scripted meter answers (scripted_meter), the
frames of one exchange (exchange), and the answer fuzzer's inputs and
session (fuzz_inputs, answer_session).

The build puts tests/ on the path of every suite and benchmark it runs, so
each imports these one way: from support.simulator import started.
"""
