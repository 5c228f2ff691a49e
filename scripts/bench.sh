#!/usr/bin/env bash
# Runs every benchmark (about 24 minutes) in the build's environment and
# lists the goals at the end, each met or missed by how much:
#   build/env-py2 scripts/bench.sh [LAUNCHER ...]     (make bench)
#   bench_interpreters.py the module's CPU per exchange on each interpreter
#                        whose launcher is given (build/python-py2 ...),
#                        side by side
#   bench_module.py      CPU of the protocol object against an in-memory meter,
#                        the C++ module beside the plain-Python reference
#   bench_line_rate.py   one link against the paced simulator: the module, a
#                        do-nothing client and the ceiling, side by side
#   bench_many_links.py  1 to 4096 links in one process from one common start,
#                        on ptys and TCP, each beside the C++ load driver;
#                        4096 TCP links with 2030-byte fields again with the
#                        Python 3 launcher (build/python-py3)
#   bench_serial_line.py how each kind of port waits: CPU and wake-ups a read
#   bench_recovery.py    a session's recovery from each fault at 9600 baud,
#                        beside clean requests of the same session
#   bench_fleet.py       meters read per minute by 1, 2 and 4 Celery workers
#                        at 9600 baud beside the line's ceiling (with the
#                        Python 3 launcher, build/python-py3, where Celery is)
#   simulator-load.sh    the simulator's own CPU at 1 to 1024 links
# The figures depend on what else the machine runs: the load is printed first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
TARVIK_BENCH_GOALS=$(mktemp)
export TARVIK_BENCH_GOALS
trap 'rm -f "$TARVIK_BENCH_GOALS"' EXIT

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average$(uptime | sed 's/.*load average://')"
if [ $# -gt 0 ]; then
  echo
  echo "== bench_interpreters =="
  "$TARVIK_PYTHON" -B "$root/bench/bench_interpreters.py" "$@"
fi
for bench in bench_module bench_line_rate bench_many_links bench_serial_line bench_recovery; do
  echo
  echo "== $bench =="
  "$TARVIK_PYTHON" -B "$root/bench/$bench.py"
done
for launcher in "$@"; do
  case "$launcher" in
    *python-py3)
      echo
      echo "== bench_many_links, 4096 TCP links with 2030-byte fields (Python 3) =="
      "$launcher" -B "$root/bench/bench_many_links.py" --links 4096 --fields 2030 --lines TcpLine
      echo
      echo "== bench_fleet (Python 3) =="
      "$launcher" -B "$root/bench/bench_fleet.py"
      ;;
  esac
done
echo
echo "== simulator-load (the simulator driven by a C++ client, 5 s a row) =="
"$root/scripts/simulator-load.sh" 5
echo
echo "== goals =="
cat "$TARVIK_BENCH_GOALS"
