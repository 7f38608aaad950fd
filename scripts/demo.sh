#!/usr/bin/env bash
# The demo: the reference relay server, a simulated Messages database and the relay, all in a
# temporary home. The relay registers through a token from the server's /connect page, runs
# headless, and the simulator keeps the conversation going (texts, a tapback, an image) while the
# server asks for status now and then. Watch the server's live page or the relay's log; Ctrl-C
# ends it cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Building (the first run installs packages and compiles; later runs take seconds)…"
bash scripts/build.sh >/dev/null
bin=$PWD/build/bin

demo_home=$(mktemp -d /tmp/velto-demo.XXXXXX)
export VELTO_HOME=$demo_home
# Sends on the server's behalf go to the simulator, which plays Messages.
export VELTO_OSASCRIPT=$bin/osascript
pids=()
relay_pid=
cleanup() {
  trap - EXIT INT TERM
  echo
  echo "Stopping…"
  if [ -n "$relay_pid" ]; then
    kill -TERM "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
  fi
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "Demo files kept in $demo_home"
}
trap cleanup EXIT INT TERM

# Reference server on a free port (or VELTO_DEMO_PORT); it prints "LISTENING <port>" first.
"$bin/velto-relay-server" --port "${VELTO_DEMO_PORT:-0}" --ping-interval-ms 15000 \
  --events-file "$demo_home/server-events.jsonl" --storage-dir "$demo_home/storage" \
  --data-dir "$demo_home/server-data" >"$demo_home/server.out" 2>"$demo_home/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q '^LISTENING' "$demo_home/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^LISTENING/ {print $2; exit}' "$demo_home/server.out")
[ -n "$port" ] || { echo "the reference server did not start; see $demo_home/server.log"; exit 1; }
base="http://127.0.0.1:$port"

# A simulated Messages database with a few weeks of conversations, ending now.
"$bin/velto-messages-sim" fill --home "$demo_home" --preset small --until now >/dev/null

# Register as a user would: a token from the dashboard's connect page.
token=$(curl -s "$base/connect?format=json" | sed -n 's/.*"token":"\([^"]*\)".*/\1/p')
[ -n "$token" ] || { echo "no registration token from $base/connect"; exit 1; }
"$bin/velto" register --token "$token" --name "Demo Mac" --server "ws://127.0.0.1:$port/relay" 2>/dev/null

echo
echo "Live page:   $base/live        (events as the server receives them; it can push a message)"
echo "Connect:     $base/connect     (registration tokens and links)"
echo "Server log:  $demo_home/server.log    events: $demo_home/server-events.jsonl"
echo "Relay log follows. Ctrl-C ends the demo."
echo
"$bin/velto" --headless 2>"$demo_home/relay-system.log" &
relay_pid=$!

sim() { "$bin/velto-messages-sim" "$@" --home "$demo_home"; }
control() { curl -s -X POST -H 'Content-Type: application/json' --data "$2" "$base$1" >/dev/null || true; }
guid_of() { sed -n 's/.*"guid":"\([^"]*\)".*/\1/p'; }

# A small picture for the image message.
image="$demo_home/sunset.png"
printf '\x89PNG\r\n\x1a\n' >"$image"
head -c 20000 /dev/urandom >>"$image"

sleep 3
people=(+14155550123 +14155550188 alex.demo@example.com)
lines=("Hey, are we still on for tonight?" "Running 10 minutes late" "Look at this sunset" \
       "Can you send me the address?" "See you soon!")
n=0
while true; do
  who=${people[$((n % ${#people[@]}))]}
  text="${lines[$((n % ${#lines[@]}))]}"
  if [ $((n % 5)) -eq 2 ]; then
    last=$(sim add-incoming --from "$who" --text "$text" --attachment "$image" | guid_of)
  else
    last=$(sim add-incoming --from "$who" --text "$text" | guid_of)
  fi
  # The owner likes every third message.
  [ $((n % 3)) -eq 1 ] && sim add-tapback --target "$last" --type 2001 >/dev/null
  [ $((n % 4)) -eq 3 ] && control /control/send \
    "{\"type\":\"GET_STATUS\",\"timestamp\":$(date +%s%3N),\"requestId\":\"demo-$n\"}"
  n=$((n + 1))
  sleep 4
done
