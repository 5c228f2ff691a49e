#!/usr/bin/env bash
# The simulator's own cost at scale: meter_load streams 64 KiB answers on
# every link of one simulator at 9600 baud (128-byte information fields) and
# prints the CPU use of the simulator, of the driver and of the machine, and
# what each link carried (the ceiling is 128/148 * 960 = 830 B/s).  Runs in
# the build's environment (TARVIK_SIMULATOR; meter_load is built beside it):
#   build/env-py2 scripts/simulator-load.sh [seconds] [extra simulator options...]
set -euo pipefail
seconds=${1:-10}
shift || true
load_driver="$(dirname "$TARVIK_SIMULATOR")/meter_load"
echo "pty limit: kernel.pty.max $(cat /proc/sys/kernel/pty/max), in use $(cat /proc/sys/kernel/pty/nr)"
for links in 1 64 256 1024; do
  "$load_driver" "$TARVIK_SIMULATOR" "$links" "$seconds" --baud 9600 --answer size:65536 "$@"
done
