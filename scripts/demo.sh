#!/usr/bin/env bash
# The main job, end to end on one machine: a private Xorg server is the desktop, usbmuxd-sim is
# the cable, tablet-sim is a 2732×2048, 120 Hz, protocol-version-2 tablet that draws the cursor
# itself, and `panelora --headless` streams a virtual display to it. A clock ticks on the virtual
# display and the tablet sends a few touches, keys and a scroll. After DEMO_SECONDS (15) of
# streaming the demo prints the status and statistics lines panelora showed and the tablet's
# summary, saves the tablet's last picture and a screenshot of the whole desktop, and cleans up.
#
#   scripts/demo.sh [--no-build] [--gnome|--sway|--x11-monitor]
#
# Needs root (Xorg opens the console). Writes out/demo/: tablet.png, desktop.png, tablet.json,
# panelora.log. Exits non-zero when a stage fails. DEMO_SECONDS and DEMO_OUT change the defaults;
# BUILD_LOCK names a lock file to build under (shared build folders).
#
# --gnome: the desktop is a private headless GNOME instead (a D-Bus session bus, PipeWire,
# WirePlumber and `mutter --headless --wayland --no-x11`, all with their own XDG_RUNTIME_DIR; no
# root needed), and a clock ticks in a window that the tablet's touches bring onto the virtual
# monitor. Mutter alone offers no screenshot of the whole desktop, so there is no desktop.png.
#
# --sway: the desktop is a private headless sway (as nobody when run as root, with its own
# XDG_RUNTIME_DIR, the pixman renderer and no Xwayland), likewise with the clock's window; no
# desktop.png either. Panelora's output is parked out of the layout when it ends.
# --x11-monitor: every spare output of the X server is given a mode first, so that none is spare
# (as on the modesetting, amdgpu or nvidia drivers): the virtual display is then a RandR monitor
# on an enlarged screen, and the screen must be 1920×1080 again after the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${DEMO_SECONDS:-15}
out=${DEMO_OUT:-$root/out/demo}
build=$root/build
build_step=true
gnome=false
sway=false
monitor=false
for arg in "$@"; do
  case $arg in
    --no-build) build_step=false ;;
    --gnome) gnome=true ;;
    --sway) sway=true ;;
    --x11-monitor) monitor=true ;;
    *) echo "usage: scripts/demo.sh [--no-build] [--gnome|--sway|--x11-monitor]" >&2; exit 2 ;;
  esac
done

stage() { printf '\n==== %s\n' "$*"; }
fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}

# ---- Install and build ----
if $build_step; then
  stage "installing what is missing"
  scripts/install-deps.sh
  stage "building panelora, tablet-sim and usbmuxd-sim (Release, $build)"
  lock=()
  [[ -n ${BUILD_LOCK:-} ]] && lock=(flock "$BUILD_LOCK")
  "${lock[@]}" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  "${lock[@]}" cmake --build "$build" -j2 --target panelora tablet-sim usbmuxd-sim
fi
panelora=$build/tools/panelora/panelora
tablet_sim=$build/tools/tablet-sim/tablet-sim
usbmuxd_sim=$build/tools/usbmuxd-sim/usbmuxd-sim
for binary in "$panelora" "$tablet_sim" "$usbmuxd_sim"; do
  [[ -x $binary ]] || fail "$binary is not built"
done
wayland=false
if $gnome || $sway; then wayland=true; fi
$wayland || [[ $(id -u) -eq 0 ]] || fail "the private X server needs root; run the demo as root"

work=$(mktemp -d /tmp/panelora-demo-XXXXXX)
mkdir -p "$out"
rm -f "$out"/tablet.png "$out"/desktop.png "$out"/tablet.json "$out"/panelora.log

# ---- Clean-up: every process this script started, then the X server ----
pids=()
display=""
# Waits for one of our children for at most SECONDS; false when it is still running then.
wait_at_most() {
  local pid=$1 limit=$2 i
  for ((i = 0; i < limit * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}
# Forgets a child that has been reaped, so that clean-up never signals a reused pid.
forget() {
  local pid=$1 kept=() p
  for p in "${pids[@]}"; do [[ $p == "$pid" ]] || kept+=("$p"); done
  pids=("${kept[@]}")
}
cleanup() {
  local status=$? pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    wait_at_most "$pid" 10 || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [[ -n $display ]] && ! $wayland; then scripts/xorg-dummy.sh stop "$display" 2>/dev/null || true; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits until FILE has a line matching the extended regex, for at most SECONDS.
wait_for_line() {
  local file=$1 pattern=$2 limit=$3 i
  for ((i = 0; i < limit * 10; i++)); do
    grep -qE "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# ---- The desktop ----
# Whether mutter owns every name on the session bus.
mutter_on_bus() {
  local name
  for name in ScreenCast RemoteDesktop DisplayConfig; do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner "org.gnome.Mutter.$name" 2>/dev/null |
      grep -q true || return 1
  done
}
# The number of virtual monitors mutter shows (each is named in the monitors and again in the
# logical monitors).
virtual_monitors() {
  local names
  names=$(gdbus call --session --dest org.gnome.Mutter.DisplayConfig \
    --object-path /org/gnome/Mutter/DisplayConfig \
    --method org.gnome.Mutter.DisplayConfig.GetCurrentState | grep -o "Virtual remote monitor" |
    wc -l)
  echo $((names / 2))
}
# Our outputs sway still has in its layout (parked ones stand beyond x = 2^20).
sway_outputs_in_layout() {
  swaymsg -t get_outputs -r | jq '[.[] | select(.name != "HEADLESS-1" and .rect.x < 1048576)] | length'
}
if $sway; then
  stage "starting a private headless sway (the desktop, 1920×1080)"
  runtime=$work/runtime
  mkdir -m 0700 "$runtime"
  printf 'xwayland disable\noutput HEADLESS-1 mode 1920x1080 position 0 0\n' >"$work/sway.conf"
  run_as=()
  if [[ $(id -u) -eq 0 ]]; then
    # sway refuses to run as root.
    chmod 0755 "$work"
    chmod 0644 "$work/sway.conf"
    chown 65534:65534 "$runtime"
    run_as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  fi
  unset DISPLAY WAYLAND_DISPLAY SWAYSOCK
  XDG_RUNTIME_DIR=$runtime WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    "${run_as[@]}" sway -c "$work/sway.conf" >"$work/sway.log" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 100; i++)); do
    ipc=$(ls "$runtime"/sway-ipc.*.sock 2>/dev/null || true)
    wl=$(ls "$runtime" | grep -E '^wayland-[0-9]+$' | head -1 || true)
    [[ -n $ipc && -n $wl ]] && break
    sleep 0.1
  done
  [[ -n $ipc && -n $wl ]] || { tail -20 "$work/sway.log" >&2; fail "sway did not come up"; }
  export XDG_RUNTIME_DIR=$runtime SWAYSOCK=$ipc WAYLAND_DISPLAY=$wl XDG_SESSION_TYPE=wayland
  echo "sway on $runtime/$wl, IPC $ipc"
elif $gnome; then
  stage "starting a private headless GNOME (the desktop, 1920×1080)"
  runtime=$work/runtime
  mkdir -m 0700 "$runtime"
  mkdir -p "$work/config" "$work/data" "$work/cache"
  unset DISPLAY
  export XDG_RUNTIME_DIR=$runtime PIPEWIRE_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=wayland-0
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus" XDG_SESSION_TYPE=wayland
  export GSETTINGS_BACKEND=memory XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
  dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" \
    >"$work/dbus.log" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 50; i++)); do [[ -S $runtime/bus ]] && break; sleep 0.1; done
  XDG_CONFIG_HOME=$work/config pipewire >"$work/pipewire.log" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 100; i++)); do [[ -S $runtime/pipewire-0 ]] && break; sleep 0.1; done
  XDG_CONFIG_HOME=$work/config wireplumber >"$work/wireplumber.log" 2>&1 &
  pids+=($!)
  XDG_CONFIG_HOME=$work/config WAYLAND_DISPLAY= mutter --headless --wayland --no-x11 \
    --virtual-monitor 1920x1080 >"$work/mutter.log" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 200; i++)); do
    [[ -S $runtime/wayland-0 ]] && mutter_on_bus && break
    sleep 0.1
  done
  mutter_on_bus || { tail -20 "$work/mutter.log" >&2; fail "mutter did not come up"; }
  echo "mutter on $runtime/wayland-0, session bus $DBUS_SESSION_BUS_ADDRESS"
else
  stage "starting a private X server (the desktop, 1920×1080)"
  server=$(scripts/xorg-dummy.sh start --mode 1920x1080) || fail "the X server did not start"
  display=$(sed -n 's/^DISPLAY=\([^ ]*\) .*/\1/p' <<<"$server")
  [[ -n $display ]] || fail "no display in: $server"
  export DISPLAY=$display
  echo "X server on $DISPLAY"
  if $monitor; then
    xrandr --newmode busy-800x600 40 800 840 968 1056 600 601 605 628
    # The dummy driver reports an output connected once a poll found it showing a mode, also
    # after it is off again.
    for n in $(seq 1 15); do
      xrandr --addmode "DUMMY$n" busy-800x600
      xrandr --output "DUMMY$n" --mode busy-800x600 --pos 0x0
      xrandr >/dev/null
      xrandr --output "DUMMY$n" --off
    done
    echo "every output in use: the virtual display will be a RandR monitor"
  fi
fi

# ---- The tablet and the cable ----
stage "starting tablet-sim (2732×2048 @ 120 Hz, version 2, client cursor) and usbmuxd-sim"
input="at 3000 touch down 0.50 0.50; at 3100 touch up 0.50 0.50;"
input+=" at 4000 touch down 0.30 0.30; at 4200 touch drag 0.45 0.40; at 4400 touch drag 0.60 0.55;"
input+=" at 4600 touch up 0.60 0.55; at 5000 key 4 down; at 5080 key 4 up;"
input+=" at 5200 key 5 down shift; at 5280 key 5 up shift; at 6000 scroll 0 -120;"
input+=" at 6500 scroll 0 120; at 7000 touch hover 0.70 0.70"
"$tablet_sim" --port 0 --hello 2732x2048@120 --version 2 --client-cursor --connections 1 \
  --input "$input" --json "$work/tablet.json" --save-png "$out/tablet.png" \
  >"$work/tablet.out" 2>"$work/tablet.err" &
tablet_pid=$!
pids+=("$tablet_pid")
wait_for_line "$work/tablet.out" '^tablet-sim: listening on' 10 || fail "tablet-sim did not start"
port=$(sed -n 's/^tablet-sim: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/tablet.out")
echo "tablet-sim on 127.0.0.1:$port"

"$usbmuxd_sim" --socket "$work/usbmuxd.sock" --device "DEMO0001,USB,127.0.0.1:$port" \
  >"$work/usbmuxd.out" 2>"$work/usbmuxd.err" &
pids+=($!)
wait_for_line "$work/usbmuxd.out" '^usbmuxd-sim: listening on' 10 || fail "usbmuxd-sim did not start"

# ---- panelora ----
stage "starting panelora --headless"
# Settings and the single-instance name of its own, so that a real copy and its settings are
# left alone.
XDG_CONFIG_HOME="$work/config" PANELORA_INSTANCE_NAME="demo-$$" \
  USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd.sock" \
  "$panelora" --headless >"$work/panelora.out" 2>"$work/panelora.err" &
panelora_pid=$!
pids+=("$panelora_pid")
streaming='^status: Streaming 2732×2048 @ 60 fps · looks like 1708×1280$'
if ! wait_for_line "$work/panelora.out" "$streaming" 30; then
  cat "$work/panelora.out"
  tail -20 "$work/panelora.err" >&2
  fail "panelora did not start streaming"
fi
echo "streaming"

if $wayland; then
  # The compositor opens a window on the monitor that has the pointer: the tablet's first touches (3 s
  # after the connection) take it onto the virtual monitor. A clock ticks in the window's text.
  sleep 4
  name=GNOME
  $sway && name=sway
  (while sleep 1; do echo "# Panelora on $name $(date +%T)"; done) |
    GDK_BACKEND=wayland zenity --progress --pulsate --no-cancel --width 700 \
      --title "Panelora" --text "Panelora on $name" >/dev/null 2>&1 &
  pids+=($!)
else
  # Something that changes on the virtual display, which sits right of the 1920-pixel main one:
  # a ticking clock, and eyes that follow the pointer the tablet's touches move. A digital clock
  # ticks on the main display.
  xclock -geometry 560x560+2440+300 -update 1 >/dev/null 2>&1 &
  pids+=($!)
  xeyes -geometry 360x240+3060+900 >/dev/null 2>&1 &
  pids+=($!)
  xclock -digital -geometry 520x60+60+60 -update 1 -face 'DejaVu Sans:size=24' >/dev/null 2>&1 &
  pids+=($!)
fi

stage "streaming for $seconds s"
sleep "$seconds"

if $sway; then
  stage "the output"
  echo "$(sway_outputs_in_layout) output(s) of panelora while streaming"
elif $gnome; then
  stage "the virtual monitor"
  echo "$(virtual_monitors) virtual monitor(s) while streaming"
else
  stage "taking a screenshot of the whole desktop"
  size=$(xdpyinfo -display "$DISPLAY" | awk '/dimensions:/ && !done {print $2; done = 1}')
  ffmpeg -loglevel error -f x11grab -video_size "$size" -i "$DISPLAY+0,0" -frames:v 1 -y \
    "$out/desktop.png" || fail "the desktop screenshot failed"
  echo "desktop $size"
  xrandr --display "$DISPLAY" | grep -E '^DUMMY[0-9]+ connected [0-9]' || true
  xrandr --display "$DISPLAY" --listmonitors | grep PANELORA || true
fi

stage "ending panelora (SIGTERM)"
kill -TERM "$panelora_pid"
panelora_status=0
wait_at_most "$panelora_pid" 15 || fail "panelora did not exit within 15 s of SIGTERM"
wait "$panelora_pid" || panelora_status=$?
forget "$panelora_pid"
# The session's end closes the tablet's connection; tablet-sim then writes its report.
tablet_status=0
wait_at_most "$tablet_pid" 10 || fail "tablet-sim did not finish within 10 s of the end"
wait "$tablet_pid" || tablet_status=$?
forget "$tablet_pid"
if $sway; then
  leftover=$(sway_outputs_in_layout)
elif $gnome; then
  leftover=$(virtual_monitors)
else
  leftover=$(xrandr --display "$DISPLAY" --verbose | grep -c 'panelora' || true)
  leftover=$((leftover + $(xrandr --display "$DISPLAY" --listmonitors | grep -c 'PANELORA' || true)))
  screen=$(xdpyinfo -display "$DISPLAY" | awk '/dimensions:/ && !done {print $2; done = 1}')
  [[ $screen == 1920x1080 ]] || leftover=$((leftover + 1))
  grep -h 'virtual display [0-9]* \(on the spare output\|as the RandR monitor\)' \
    "$work/panelora.out" "$work/panelora.err" 2>/dev/null | head -1 || true
fi
cp "$work/panelora.out" "$out/panelora.log"
cp "$work/tablet.json" "$out/tablet.json" 2>/dev/null || true

# ---- What was seen ----
stage "status lines"
grep '^status: ' "$work/panelora.out" | sed 's/^status: /  /' | uniq
stage "statistics lines (first five and last)"
grep '^stats: .' "$work/panelora.out" | sed 's/^stats: /  /' | head -5
grep '^stats: .' "$work/panelora.out" | sed 's/^stats: /  /' | tail -1
stage "the tablet (tablet-sim's report)"
if [[ -s $work/tablet.json ]]; then
  jq -r '"  frames     \(.frames.received) received, \(.frames.decoded) decoded, \(.frames.key) key, \(.frames.dropped) dropped",
         "  rate       \(.fps * 10 | round / 10) fps, \(.mbps * 100 | round / 100) Mbps over \(.streamSeconds * 10 | round / 10) s",
         "  latency    median \(.latencyMs.median * 10 | round / 10) ms, p99 \(.latencyMs.p99 * 10 | round / 10) ms (\(.latencyMs.samples) samples)",
         "  cursor     \(.cursorPositions) positions, \(.cursorImages) images",
         "  input      \(.inputsSent) touches, keys and scrolls sent",
         "  picture    \(.lastPicture.width // 0)×\(.lastPicture.height // 0)",
         "  violations \(.violationCount)"' "$work/tablet.json"
fi
stage "files"
ls -l "$out"

# ---- Verdict ----
problems=()
grep -q '^stats: .' "$work/panelora.out" || problems+=("no statistics line")
((panelora_status == 0)) || problems+=("panelora exited with $panelora_status")
((tablet_status == 0)) || problems+=("tablet-sim exited with $tablet_status")
((leftover == 0)) || problems+=("a virtual display was left behind")
if [[ -s $work/tablet.json ]]; then
  decoded=$(jq '.frames.decoded' "$work/tablet.json")
  violations=$(jq '.violationCount' "$work/tablet.json")
  ((decoded > 0)) || problems+=("the tablet decoded no frame")
  ((violations == 0)) || problems+=("the tablet saw $violations protocol violations")
else
  problems+=("no report from tablet-sim")
fi
[[ -s $out/tablet.png ]] || problems+=("no tablet picture")
$wayland || [[ -s $out/desktop.png ]] || problems+=("no desktop screenshot")
if ((${#problems[@]} > 0)); then
  printf 'demo: %s\n' "${problems[@]}" >&2
  fail "${#problems[@]} problem(s)"
fi
echo
if $wayland; then
  echo "demo: OK — $out/tablet.png is what the tablet showed"
else
  echo "demo: OK — $out/tablet.png is what the tablet showed, $out/desktop.png the whole desktop"
fi
