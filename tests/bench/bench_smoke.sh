#!/usr/bin/env bash
# Starts a server on a loopback port, runs zorva-bench against it for about a second and checks
# that lines were delivered. Usage: bench_smoke.sh BENCH zorva|redis SERVER_BINARY
set -euo pipefail
bench=$1 kind=$2 server=$3
dir=$(mktemp -d)
pid=""
cleanup() {
  status=$?
  if [ "$status" -ne 0 ]; then
    echo "--- server output:"; cat "$dir"/out "$dir"/err 2>/dev/null || true
  fi
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

if [ "$kind" = zorva ]; then
  "$server" --bind 127.0.0.1 --port 0 --ini "$dir/Win.ini" >"$dir/out" 2>"$dir/err" &
  pid=$!
  for _ in $(seq 300); do
    port=$(sed -n '1s/^Listening on .*:\([0-9]*\)$/\1/p' "$dir/out")
    [ -n "$port" ] && break
    sleep 0.1
  done
else
  port=$((20000 + RANDOM % 20000))
  "$server" --port "$port" --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
    >"$dir/out" 2>&1 &
  pid=$!
  for _ in $(seq 300); do
    grep -q "Ready to accept" "$dir/out" && break
    sleep 0.1
  done
fi
if [ -z "${port:-}" ]; then echo "server did not start"; cat "$dir"/*; exit 1; fi

result=$("$bench" --target "$kind" --port "$port" --server-pid "$pid" -R 2 -M 3 \
  --warmup-ms 200 --measure-ms 800 --setup-timeout-ms 30000)
echo "$result"
deliveries=$(sed -n 's/.* deliveries=\([0-9]*\) .*/\1/p' <<<"$result")
[ "${deliveries:-0}" -gt 0 ]
