#!/usr/bin/env bash
# Resident memory of an idle caskel-app (offscreen) over a vault of 1,000 secrets: the vault is
# filled through the tool (one import of a .env file), then a fresh caskel-app starts over it
# and VmRSS is read once its trace says the accounts are loaded. Usage: bench/app_memory.sh [BUILD_DIR] [COUNT]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
count=${2:-1000}
app=$build/src/caskel-app
tool=$build/src/caskel
for f in "$app" "$tool" "$build/tests/scripted_pinentry"; do
  [ -x "$f" ] || { echo "missing $f (build caskel-app, caskel and scripted_pinentry)" >&2; exit 2; }
done

home=$(mktemp -d /tmp/caskel-bench-XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT
unset XDG_CONFIG_HOME XDG_DATA_HOME DISPLAY WAYLAND_DISPLAY
export HOME=$home CASKEL_SOCKET=$home/sock/caskel.sock QT_QPA_PLATFORM=offscreen
export CASKEL_PINENTRY=$build/tests/scripted_pinentry SCRIPTED_PINENTRY_ANSWERS=$home/answers
export SCRIPTED_PINENTRY_LOG=$home/pinentry.log SCRIPTED_PINENTRY_DEFAULT="PIN bench passphrase"
: >"$home/answers"

# Waits (bounded, 60 s) until the trace's last accounts line lists $1 keys.
wait_for_accounts() {
  for _ in $(seq 600); do
    local last
    last=$(grep '^accounts: ' "$home/trace" 2>/dev/null | tail -1 | sed 's/^accounts: //')
    local n=0
    [ -n "$last" ] && n=$(tr ',' '\n' <<<"$last" | wc -l)
    [ "$n" -ge "$1" ] && return 0
    sleep 0.1
  done
  echo "caskel-app did not load $1 accounts" >&2
  return 1
}
start_app() {
  : >"$home/trace"
  "$app" --trace "$home/trace" >"$home/app.out" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    grep -q '^server: listening$' "$home/trace" && return 0
    sleep 0.1
  done
  echo "caskel-app did not start:" >&2
  cat "$home/app.out" >&2
  return 1
}
stop_app() {
  kill -TERM "$pid"
  wait "$pid" || true
  pid=""
}

start_app
for i in $(seq "$count"); do
  printf 'KEY_%d=value-%d-abcdefghijklmnopqrstuvwxyz\n' "$i" "$i"
done >"$home/bench.env"
"$tool" import bench/app "$home/bench.env" </dev/null >/dev/null
wait_for_accounts "$count"
stop_app

start_app
wait_for_accounts "$count"
awk -v n="$count" '/^VmRSS:/ {printf "caskel-app idle with %d secrets: VmRSS %.1f MiB (target < 60 MiB)\n", n, $2 / 1024}' \
  "/proc/$pid/status"
