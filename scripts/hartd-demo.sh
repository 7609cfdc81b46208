#!/usr/bin/env bash
# hartd on the simulated line and hartctl as its HART-IP client: what `make
# demo` shows after the driver's own demo. hartd listens on a port the
# system picks on 127.0.0.1, so the demo never collides with a running hartd.
#   scripts/hartd-demo.sh BUILD_DIR
set -euo pipefail
build=$1
log=$(mktemp)
"$build/hartd/hartd" --sim --sim-devices 3 --listen COM1=127.0.0.1:0 2>"$log" &
hartd=$!
trap 'kill -TERM $hartd 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do
  grep -q 'hartd: ready' "$log" && break
  sleep 0.1
done
port=$(grep -o 'on udp 127.0.0.1:[0-9]*' "$log" | head -1 | cut -d: -f2)
if [ -z "$port" ]; then
  cat "$log"
  exit 1
fi
echo "\$ hartd --sim --sim-devices 3 --listen COM1=127.0.0.1:$port &"
echo "\$ hartctl --hart-ip 127.0.0.1:$port identify --last 3"
"$build/tools/hartctl" --hart-ip "127.0.0.1:$port" identify --last 3
echo; echo "\$ hartctl --hart-ip 127.0.0.1:$port --tcp send 1 -a 2"
"$build/tools/hartctl" --hart-ip "127.0.0.1:$port" --tcp send 1 -a 2
kill -TERM $hartd
wait $hartd
trap - EXIT
echo; echo "hartd's log:"; cat "$log"
rm -f "$log"
