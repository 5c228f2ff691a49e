#!/usr/bin/env bash
# Runs the answer fuzzer for a bounded time, from the well-formed sessions
# that fuzz_inputs.py writes and the corpus kept in the fuzzer's tree.
#   run_fuzzer.sh FUZZER_TREE [SECONDS]
set -euo pipefail
tree=$(cd "$1" && pwd)
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
python=${PYTHON27:-$("$here/../../scripts/find-python27.sh")}
export PYTHONPATH="$tree/python:$here/.." PYTHONDONTWRITEBYTECODE=1
export ASAN_OPTIONS=detect_leaks=0   # the embedded interpreter is never finalised
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
mkdir -p "$tree/corpus" "$tree/artifacts"
"$python" -B -m support.fuzz_inputs "$seeds"
"$tree/tests/fuzz/answer_fuzzer" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$tree/artifacts/" \
    "$tree/corpus" "$seeds"
