#!/usr/bin/env bash
# Runs every benchmark against a built tree (about 10 minutes) and lists the
# goals at the end, each met or missed by how much:
#   bench_module.py      CPU of the protocol object against an in-memory meter,
#                        the C++ module beside the plain-Python reference
#   bench_line_rate.py   one link against the paced simulator: the module, a
#                        do-nothing client and the ceiling, side by side
#   bench_many_links.py  1 to 1024 links in one process from one common start,
#                        SerialLine beside serial.Serial
#   bench_serial_line.py how each kind of port waits: CPU and wake-ups a read
#   simulator-load.sh    the simulator's own CPU at 1 to 1024 links
# The figures depend on what else the machine runs: the load is printed first.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON27:-$("$root/scripts/find-python27.sh")}
export PYTHONPATH="$build/python:$root/tests"
export PYTHONDONTWRITEBYTECODE=1
export TARVIK_SIMULATOR="$build/simulator/meter_simulator"
TARVIK_BENCH_GOALS=$(mktemp)
export TARVIK_BENCH_GOALS
trap 'rm -f "$TARVIK_BENCH_GOALS"' EXIT

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average$(uptime | sed 's/.*load average://')"
for bench in bench_module bench_line_rate bench_many_links bench_serial_line; do
  echo
  echo "== $bench =="
  "$python" -B "$root/bench/$bench.py"
done
echo
echo "== simulator-load (the simulator driven by a C++ client, 5 s a row) =="
"$root/scripts/simulator-load.sh" "$build" 5
echo
echo "== goals =="
cat "$TARVIK_BENCH_GOALS"
