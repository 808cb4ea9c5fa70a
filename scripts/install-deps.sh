#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running Panelora needs.
# Idempotent: packages already installed are skipped, and apt is not touched when nothing is missing.
set -euo pipefail

packages=(
  # toolchain (clang also type-checks the macOS sources against LLVM's libc++, the C++ library of
  # macOS: scripts/macos-typecheck.sh)
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format git
  libc++-dev libc++abi-dev
  # core libraries
  libasio-dev libplist-dev libspdlog-dev libfmt-dev nlohmann-json3-dev
  # video
  libavcodec-dev libavutil-dev libx264-dev libyuv-dev
  # X11 backend
  libx11-dev libxext-dev libxrandr-dev libxdamage-dev libxtst-dev libxfixes-dev libxi-dev libxss-dev
  libpng-dev libxcursor-dev
  # desktop services over D-Bus (screen saver inhibition, GNOME's mutter); a private bus in the
  # tests; PipeWire for the GNOME backend
  libglib2.0-dev dbus-daemon libpipewire-0.3-dev
  # update check
  libcurl4-openssl-dev ca-certificates openssl
  # tray
  qt6-base-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-utils x11-apps xauth
  usbmuxd libusbmuxd-tools
  mutter pipewire wireplumber dbus-user-session libglib2.0-bin libwayland-dev wayland-protocols zenity
  ffmpeg procps psmisc iproute2 jq
  # sway backend: its Wayland protocols and keymaps; headless sway for the tests
  libxkbcommon-dev sway swayidle
  # a window manager that reads RandR 1.5 monitors (the X11 monitor route's window check)
  openbox
  # desktop files and the Debian package
  librsvg2-bin dpkg-dev desktop-file-utils appstream groff-base
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
