#!/usr/bin/env bash
# A private Xorg server with the dummy video driver, for the demo and the benchmarks (the C++
# tests use tests/support/xorg_server.h, which does the same). Needs root.
#
#   scripts/xorg-dummy.sh run [--mode WxH] -- command args…   start, run the command with DISPLAY
#                                                             set, stop; exits with its status
#   scripts/xorg-dummy.sh start [--mode WxH]                  start and print "DISPLAY=:N DIR=…"
#   scripts/xorg-dummy.sh stop :N                             stop a server started with start
set -euo pipefail

first_display=60
mode=1920x1080

usage() {
  sed -n '2,10p' "$0" >&2
  exit 2
}

xorg_binary() {
  if [[ -x /usr/lib/xorg/Xorg ]]; then echo /usr/lib/xorg/Xorg; else command -v Xorg; fi
}

# start_server: sets DISPLAY_NAME, SERVER_PID and SERVER_DIR, or fails.
start_server() {
  if [[ $(id -u) -ne 0 ]]; then echo "xorg-dummy: needs root" >&2; return 1; fi
  local xorg
  xorg=$(xorg_binary) || { echo "xorg-dummy: Xorg is not installed" >&2; return 1; }
  SERVER_DIR=$(mktemp -d /tmp/panelora-xorg-XXXXXX)
  mkdir -p "$SERVER_DIR/xorg.conf.d"
  sed "s/@MODE@/$mode/" "$(dirname "$0")/xorg-dummy.conf" >"$SERVER_DIR/xorg.conf"
  local n=$first_display attempt
  for attempt in 1 2 3 4 5 6 7 8; do
    while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
    "$xorg" ":$n" -config "$SERVER_DIR/xorg.conf" -configdir "$SERVER_DIR/xorg.conf.d" \
      -noreset -nolisten tcp -logfile "$SERVER_DIR/Xorg.log" -novtswitch -sharevts \
      </dev/null >"$SERVER_DIR/Xorg.out" 2>&1 &
    SERVER_PID=$!
    local i
    for i in $(seq 1 200); do  # 10 s
      if ! kill -0 "$SERVER_PID" 2>/dev/null; then break; fi
      # The lock must name our server: another one may have taken the number a moment earlier.
      if [[ -S /tmp/.X11-unix/X$n && $(tr -d ' ' </tmp/.X$n-lock 2>/dev/null) == "$SERVER_PID" ]] &&
        xdpyinfo -display ":$n" >/dev/null 2>&1; then
        DISPLAY_NAME=":$n"
        echo "$SERVER_PID" >"$SERVER_DIR/pid"
        return 0
      fi
      sleep 0.05
    done
    if kill -0 "$SERVER_PID" 2>/dev/null; then
      kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true
      echo "xorg-dummy: Xorg did not accept connections on :$n within 10 s (log $SERVER_DIR/Xorg.log)" >&2
      return 1
    fi
    wait "$SERVER_PID" 2>/dev/null || true
    if ! grep -q -e 'already active' -e 'Cannot establish any listening sockets' "$SERVER_DIR/Xorg.out"; then
      echo "xorg-dummy: Xorg exited at start:" >&2; tail -5 "$SERVER_DIR/Xorg.out" >&2
      return 1
    fi
    n=$((n + 1))
  done
  echo "xorg-dummy: no free display number" >&2
  return 1
}

stop_pid() {
  local pid=$1 i
  kill "$pid" 2>/dev/null || return 0
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null || true
}

command=${1:-}; shift || true
while [[ $# -gt 0 ]]; do
  case $1 in
    --mode) mode=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done

case $command in
  run)
    [[ $# -gt 0 ]] || usage
    start_server
    trap 'stop_pid "$SERVER_PID"; rm -rf "$SERVER_DIR"' EXIT
    status=0
    DISPLAY=$DISPLAY_NAME "$@" || status=$?
    exit "$status"
    ;;
  start)
    start_server
    echo "DISPLAY=$DISPLAY_NAME DIR=$SERVER_DIR"
    ;;
  stop)
    display=${1:-}; [[ $display == :* ]] || usage
    lock=/tmp/.X${display#:}-lock
    [[ -e $lock ]] || { echo "xorg-dummy: no server on $display" >&2; exit 1; }
    pid=$(tr -d ' ' <"$lock")
    dir=$(grep -l "^$pid\$" /tmp/panelora-xorg-*/pid 2>/dev/null | head -1 | xargs -r dirname)
    [[ -n $dir ]] || { echo "xorg-dummy: $display was not started by this script" >&2; exit 1; }
    stop_pid "$pid"
    rm -rf "$dir"
    ;;
  *) usage ;;
esac
