#!/usr/bin/env bash
# The simulator's own cost at scale: meter_load streams 64 KiB answers on
# every link of one simulator at 9600 baud (128-byte information fields) and
# prints the CPU use of the simulator, of the driver and of the machine, and
# what each link carried (the ceiling is 128/148 * 960 = 830 B/s).
#   scripts/simulator-load.sh [build] [seconds] [extra simulator options...]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-10}
shift 2 || shift $#
echo "pty limit: kernel.pty.max $(cat /proc/sys/kernel/pty/max), in use $(cat /proc/sys/kernel/pty/nr)"
for links in 1 64 256 1024; do
  "$build/simulator/meter_load" "$build/simulator/meter_simulator" "$links" "$seconds" \
      --baud 9600 --answer size:65536 "$@"
done
