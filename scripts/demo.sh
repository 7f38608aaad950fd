#!/usr/bin/env bash
# The demo: the reference relay server, a simulated Messages database and the relay, all in a
# temporary home. Watch the server's live page or the relay's log; Ctrl-C ends it cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
bin=build/bin

demo_home=$(mktemp -d /tmp/velto-demo.XXXXXX)
pids=()
cleanup() {
  trap - EXIT INT TERM
  echo
  echo "Stopping…"
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "Demo files kept in $demo_home"
}
trap cleanup EXIT INT TERM

# Reference server on a free port; it prints "LISTENING <port>" first.
key="demo-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
"$bin/velto-relay-server" --port "${VELTO_DEMO_PORT:-0}" --api-key "$key" --ping-interval-ms 15000 \
  --events-file "$demo_home/server-events.jsonl" --storage-dir "$demo_home/storage" \
  >"$demo_home/server.out" 2>"$demo_home/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q '^LISTENING' "$demo_home/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^LISTENING/ {print $2; exit}' "$demo_home/server.out")
[ -n "$port" ] || { echo "the reference server did not start; see $demo_home/server.log"; exit 1; }

# A simulated Messages database with a few weeks of conversations.
"$bin/velto-messages-sim" fill --home "$demo_home" --preset small --until now >/dev/null

# Credentials as registration stores them.
mkdir -m 700 -p "$demo_home/.imessage-relay"
umask 077
cat >"$demo_home/.imessage-relay/relay-auth.json" <<JSON
{
    "apiKey": "$key",
    "backendUrl": "ws://127.0.0.1:$port/relay",
    "relayId": "demo-relay",
    "tenantId": "tenant-dev",
    "tenantName": "Velto Dev Tenant"
}
JSON
umask 022

echo "Live page:   http://127.0.0.1:$port/live"
echo "Server log:  $demo_home/server.log    events: $demo_home/server-events.jsonl"
echo "Relay log follows. Ctrl-C ends the demo."
echo
VELTO_HOME="$demo_home" "$bin/velto" --headless &
pids+=($!)

# Keep the session busy: the server asks for status and health, Messages receives new rows.
control() { curl -s -X POST -H 'Content-Type: application/json' --data "$2" "http://127.0.0.1:$port$1" >/dev/null || true; }
n=0
while sleep 4; do
  n=$((n + 1))
  "$bin/velto-messages-sim" add-incoming --home "$demo_home" --from +14155550123 \
    --text "Demo message $n from the simulator" >/dev/null
  control /control/send "{\"type\":\"GET_STATUS\",\"timestamp\":$(date +%s%3N),\"requestId\":\"demo-$n\"}"
  [ $((n % 3)) -eq 0 ] && control /control/send "{\"type\":\"HEALTH_CHECK\",\"timestamp\":$(date +%s%3N),\"requestId\":\"health-$n\"}"
done
