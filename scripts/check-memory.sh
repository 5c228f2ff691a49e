#!/usr/bin/env bash
# Runs the module's Python suites under valgrind memcheck: any invalid read
# or write, and any definite leak in a stack that passes through the module,
# fails the run.  The interpreter's own allocator noise is suppressed.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
python27=$("$here/find-python27.sh")
export PYTHONPATH="$build/python" PYTHONDONTWRITEBYTECODE=1 TARVIK_BUILD_DIR="$build"
export TARVIK_MEMCHECK=1   # suites shorten their long loops under valgrind
status=0
for suite in "$here"/../tests/test_module_surface.py "$here"/../tests/test_protocol_object.py \
             "$here"/../tests/test_decoding_fuzz.py \
             "$here"/../tests/test_frame_exchange.py "$here"/../tests/test_link_procedures.py \
             "$here"/../tests/test_companion_call_order.py; do
  [ -f "$suite" ] || continue
  log=$(mktemp)
  if ! valgrind --quiet --error-exitcode=99 --suppressions="$here/python27.supp" \
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
