#!/usr/bin/env bash
# Runs the demonstration host against the bundled meter simulator: the
# simulator serves a pseudo-terminal linked as ./COM1 in a scratch folder,
# and the host, started there, opens "COM1" through pySerial.  Runs in the
# build's environment, which names both programs; arguments go to the
# simulator:
#   build/env-py2 scripts/demo.sh [SIMULATOR OPTIONS...]
set -euo pipefail
work=$(mktemp -d)
trap 'kill "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true; rm -rf "$work"' EXIT

"$TARVIK_SIMULATOR" --link "$work/COM1" "$@" >"$work/simulator.out" &
simulator=$!
for _ in $(seq 100); do [ -e "$work/COM1" ] && break; sleep 0.05; done
[ -e "$work/COM1" ] || { echo "demo: the simulator did not start" >&2; exit 1; }

cd "$work"
"$TARVIK_DEMO_HOST"
