#!/usr/bin/env bash
# Runs the answer fuzzer for a bounded time, from the well-formed sessions
# that support.fuzz_inputs writes and the corpus kept in the fuzzer's tree,
# in the environment the build gives it (TARVIK_PYTHON, PYTHONPATH).
#   run_fuzzer.sh FUZZER TREE [SECONDS]
set -euo pipefail
fuzzer=$1
tree=$(cd "$2" && pwd)
seconds=${3:-60}
export ASAN_OPTIONS=detect_leaks=0   # the embedded interpreter is never finalised
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
mkdir -p "$tree/corpus" "$tree/artifacts"
"$TARVIK_PYTHON" -B -m support.fuzz_inputs "$seeds"
"$fuzzer" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$tree/artifacts/" \
    "$tree/corpus" "$seeds"
