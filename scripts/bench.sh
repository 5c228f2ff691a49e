#!/usr/bin/env bash
# Runs the benchmarks against a built tree: bench/bench_module.py (CPU cost
# against an in-memory meter, C++ module beside the Python reference) and
# bench/bench_line_rate.py (throughput against the throttled simulator).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON27:-$("$root/scripts/find-python27.sh")}
export PYTHONPATH="$build/python"
export PYTHONDONTWRITEBYTECODE=1
export TARVIK_SIMULATOR="$build/simulator/meter_simulator"
echo "== bench_module =="
"$python" -B "$root/bench/bench_module.py"
echo
echo "== bench_line_rate =="
"$python" -B "$root/bench/bench_line_rate.py"
