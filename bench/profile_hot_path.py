"""A fixed workload for profiling the hot path under callgrind.

One send_receive of a 64 KiB request with a 64 KiB answer, in 128-byte
information fields (the default link parameters), against the in-memory
meter of bench_module with the real companions. The meter's answers are
encoded before the call, and scripts/profile.sh collects only inside the
module's send_receive, so the counts cover the protocol object and the
companions that it calls.
"""

import bench_module

SIZE = 65536
SEGMENT = 128


def main():
    meter = bench_module.MemoryMeter(SIZE, SEGMENT, SEGMENT)
    proto = bench_module.new_protocol(bench_module.module_impl, meter)
    request = bytearray(i % 256 for i in range(SIZE))
    meter.prime((SIZE + 3 + SEGMENT - 1) // SEGMENT)
    proto.connect()
    result = proto.send_receive(request)
    assert result.length == SIZE


if __name__ == "__main__":
    main()
