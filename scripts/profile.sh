#!/usr/bin/env bash
# Profiles the hot path: bench/profile_hot_path.py (one send_receive of a
# 64 KiB request and a 64 KiB answer) under callgrind, collecting only
# inside the module's send_receive. Prints the instruction count, its
# split by shared object, and the Python functions that cProfile finds
# most expensive in the same workload.  Runs in the build's environment:
#   build/env-py2 scripts/profile.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$TARVIK_PYTHON
workload="$root/bench/profile_hot_path.py"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    '--toggle-collect=hdlc::protocol::send_receive(*' \
    "$python" -B "$workload" 2>"$out/valgrind.log"
callgrind_annotate --auto=no --threshold=100 "$out/callgrind.out" \
    >"$out/annotated"
awk -v bytes=131072 '
    /PROGRAM TOTALS/ { total = $1; gsub(",", "", total) }
    $1 ~ /^[0-9,]+$/ && match($0, /\[\/[^]]*\]$/) {
        n = $1; gsub(",", "", n)
        object = substr($0, RSTART + 1, RLENGTH - 2); sub(/.*\//, "", object)
        self[object] += n
    }
    END {
        printf "instructions inside send_receive: %d (%.0f per payload byte)\n",
               total, total / bytes
        for (object in self)
            printf "  %6.2f%%  %s\n", 100 * self[object] / total, object \
                | "sort -rn"
    }' "$out/annotated"
echo
echo "Python functions by own time (cProfile, same workload):"
"$python" -B -m cProfile -s tottime "$workload" | sed -n '/ncalls/,+8p'
