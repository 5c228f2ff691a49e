#!/usr/bin/env bash
# Reads a fleet of 64 simulated meters with two Celery workers on a
# redis-server of its own: 32 meters on pty lines of their own, 32 behind
# one TCP gateway that carries 4 sessions at once, all at 9600 baud. One
# worker is killed (with its pool) once 8 meters are read; its sessions run
# again on the other. Runs in the build's Python 3 environment; the meters
# and the results stay in FOLDER:
#   build/env-py3 scripts/fleet-demo.sh FOLDER      (make fleet-demo)
set -euo pipefail
demo=$(mkdir -p "${1:-fleet-demo}" && cd "${1:-fleet-demo}" && pwd)
python3=$TARVIK_PYTHON
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill -- "-$p" 2>/dev/null || kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"' EXIT
rm -f "$demo/meters.jsonl" "$demo/results.jsonl"

# Each part in a process group of its own (setsid), so that a worker dies
# with its pool.
start() { setsid "$@" & pids+=($!); }

port=$($python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" >"$work/redis.log"
broker="redis://127.0.0.1:$port/0"

start "$TARVIK_SIMULATOR" --links 32 --link "$work/line" --baud 9600 --count-sessions >"$work/lines.out"
start "$TARVIK_SIMULATOR" --tcp 0 --baud 9600 --gateway-limit 4 --count-sessions >"$work/gateway.out"
for _ in $(seq 100); do
  [ "$(wc -l <"$work/lines.out")" -ge 32 ] && [ -s "$work/gateway.out" ] && break
  sleep 0.05
done
gateway=$(sed -n 's/^TCP /socket:\/\//p' "$work/gateway.out")

# The meters: an association request and one register read each, which the
# simulator answers with their own bytes.
$python3 - "$work/lines.out" "$gateway" >"$demo/meters.jsonl" <<'PY'
import json, sys
aarq = "601DA109060760857405080101BE10040E01000000065F1F040000 7E1F04B0".replace(" ", "")
ptys = [line.split()[1] for line in open(sys.argv[1]) if line.startswith("PTY ")]
for i, pty in enumerate(ptys):
    print(json.dumps({"id": "line-%02d" % i, "line": pty, "requests": [aarq, "C001C1000301000108 00FF0200".replace(" ", "")]}))
for i in range(32):
    print(json.dumps({"id": "gateway-%02d" % i, "line": sys.argv[2], "line_sessions": 4,
                      "server_lower": 0, "requests": [aarq, "C001C100030100010800FF0200"]}))
PY

fleet=($python3 -m tarvik.brenlo.fleet)
options=(--broker "$broker" --visibility-timeout 10 --line-lease 5)
for name in a b; do
  start "${fleet[@]}" worker "${options[@]}" --lines '/dev/pts/*' --sessions 8 --name "worker-$name@demo" \
    >/dev/null 2>"$work/worker-$name.log"
done
doomed=${pids[-2]}

"${fleet[@]}" read "$demo/meters.jsonl" "${options[@]}" -o "$demo/results.jsonl" &
reader=$!
until [ -e "$demo/results.jsonl" ] && [ "$(wc -l <"$demo/results.jsonl")" -ge 8 ]; do
  kill -0 "$reader" 2>/dev/null || break
  sleep 0.1
done
kill -KILL -- "-$doomed" && echo "fleet-demo: worker-a killed with its sessions running" >&2
wait "$doomed" 2>/dev/null || true
wait "$reader" || true

for p in "${pids[@]:1:2}"; do kill -- "-$p"; done
wait "${pids[1]}" "${pids[2]}" 2>/dev/null || true
$python3 - "$demo/meters.jsonl" "$demo/results.jsonl" "$work/lines.out" "$work/gateway.out" <<'PY'
import collections, json, sys
meters = [json.loads(line)["id"] for line in open(sys.argv[1])]
records = [json.loads(line) for line in open(sys.argv[2])]
counts = [line.split() for name in sys.argv[3:] for line in open(name) if line.startswith("SESSIONS ")]
by_worker = collections.Counter(r.get("worker", "none") for r in records)
print("sessions: %d on %d lines, %d overlapping; meters by worker: %s" % (
    sum(int(c[2]) for c in counts), len(counts), sum(int(c[4]) for c in counts),
    ", ".join("%s %d" % item for item in sorted(by_worker.items()))))
twice = [i for i, n in collections.Counter(r["id"] for r in records).items() if n > 1]
missing = set(meters) - set(r["id"] for r in records)
if twice or missing:
    print("results wrong: twice %s, missing %s" % (sorted(twice), sorted(missing)))
print("%d of %d meters read: %s" % (sum(r["ok"] for r in records), len(meters), sys.argv[2]))
PY
