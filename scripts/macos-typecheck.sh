#!/usr/bin/env bash
# Type-checks the macOS sources on Linux, where there is no macOS SDK: every Objective-C++ source
# of the macOS backends and of Panelora.app, the Darwin system calls, and the core they are built
# with, compiled syntax-only by clang against the project's own declarations of the Apple API they
# use (tools/macos-typecheck/include) and of what Darwin's C library has and glibc lacks
# (tools/macos-typecheck/darwin_prelude.h). The host's C library stands in for Darwin's (an Apple
# target triple would need the SDK), so the calls only Linux has are looked for in the same
# sources by name first. The C++ library is LLVM's libc++, as on macOS, not the host's libstdc++:
# what libstdc++ has and Apple's libc++ lacks (<stop_token>, std::jthread) fails here too.
#
# Needs clang, libc++ and the core's library headers (scripts/install-deps.sh installs them).
# Exits non-zero when any source does not check. `-j1` checks one source at a time (default two).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=2
[[ "${1:-}" == "-j1" ]] && jobs=1

checks=tools/macos-typecheck
version=$(sed -n 's/^project(Panelora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

common=(
    -std=c++20 -stdlib=libc++ -fsyntax-only -Wall -Wextra -Werror
    -include "$checks/darwin_prelude.h"
    -isystem "$checks/include"
    -I src -I tools/panelora-mac
    -DASIO_STANDALONE -DASIO_NO_DEPRECATED "-DPANELORA_VERSION=\"$version\""
    # Debian's spdlog and fmt are built against libstdc++, but only their headers are read here
    # (syntax only, nothing is linked), and those are plain standard C++ that libc++ compiles.
    $(pkg-config --cflags spdlog libplist-2.0)
)
objcxx=(-x objective-c++ -fobjc-runtime=macosx-13.0 -fobjc-arc -fblocks)

shopt -s nullglob globstar
objc_sources=(src/platform/macos/**/*.mm tools/panelora-mac/*.mm)
cxx_sources=(
    src/platform/macos/posix/*.cpp src/platform/macos/portable/*.cpp
    src/{support,transport,protocol,video,input,display,session,update,app}/*.cpp
)

# Linux-only system calls and flags: glibc declares them, Darwin does not.
linux_only='SOCK_CLOEXEC|SOCK_NONBLOCK|MSG_NOSIGNAL|SO_DOMAIN|SYS_gettid|accept4|pipe2|eventfd'
linux_only+='|signalfd|sigtimedwait|epoll_[a-z_]+|timerfd_[a-z]+|prctl|gettid'
linux_only+='|pthread_setname_np\(pthread_self'
if grep -nE "\b($linux_only)\b" "${objc_sources[@]}" "${cxx_sources[@]}" \
    src/{support,transport,protocol,video,input,display,session,update,app}/*.h; then
    echo "macos-typecheck: Linux-only calls in sources built on macOS (above)" >&2
    exit 1
fi

check() {
    local language=$1 source=$2
    if [[ $language == objc ]]; then
        clang++ "${common[@]}" "${objcxx[@]}" "$source"
    else
        clang++ "${common[@]}" -x c++ "$source"
    fi
}
status=0
{
    for s in "${objc_sources[@]}"; do printf 'objc\0%s\0' "$s"; done
    for s in "${cxx_sources[@]}"; do printf 'cxx\0%s\0' "$s"; done
} | xargs -0 -n2 -P"$jobs" bash -c "$(declare -p common objcxx); $(declare -f check); check \"\$@\"" _ ||
    status=$?

if ((status != 0)); then
    echo "macos-typecheck: FAILED" >&2
    exit 1
fi
echo "macos-typecheck: ${#objc_sources[@]} Objective-C++ and ${#cxx_sources[@]} C++ sources check"
