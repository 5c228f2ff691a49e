#!/usr/bin/env bash
# Runs every Python suite under valgrind memcheck, and with it the
# demonstration host that one of them starts: any invalid read or write,
# and any definite leak in a stack that passes through the module, fails
# the run.  The interpreter's own allocator noise is suppressed.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
python27=$("$here/find-python27.sh")
export PYTHONPATH="$build/python:$here/../tests" PYTHONDONTWRITEBYTECODE=1 TARVIK_BUILD_DIR="$build"
export TARVIK_SIMULATOR="$build/simulator/meter_simulator" TARVIK_DEMO_HOST="$build/src/tarvik/brenlo/hdlcprotocol/hdlcprotocol_demo"
export TARVIK_MEMCHECK=1   # suites shorten their long loops under valgrind
status=0
for suite in "$here"/../tests/test_*.py; do
  [ -f "$suite" ] || continue
  log=$(mktemp)
  if ! valgrind --quiet --error-exitcode=99 --suppressions="$here/python27.supp" \
        --trace-children=yes --trace-children-skip="*/meter_simulator,*/socat,/bin/*,/usr/bin/*" \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        "$python27" -B "$suite" >"$log" 2>&1; then
    echo "check-memory: $(basename "$suite") failed"; cat "$log"; status=1
  fi
  # Definite leaks are only ours when the module's code is on the stack.
  if grep -q "definitely lost" "$log" && grep -A30 "definitely lost" "$log" | grep -q "hdlcprotocol"; then
    echo "check-memory: leak through the module in $(basename "$suite")"; cat "$log"; status=1
  fi
  echo "check-memory: $(basename "$suite") done"
  rm -f "$log"
done
exit $status
