#!/usr/bin/env bash
# Installs what is missing, type-checks the macOS sources, builds everything and runs every test:
# the normal build, then the AddressSanitizer + UndefinedBehaviorSanitizer build of the tests, the
# ThreadSanitizer build of the suites that exercise concurrency (label "concurrency"), then a short
# run of each fuzz target. `--quick` stops after the normal build's tests.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
[[ "${1:-}" == "--quick" ]] && quick=true

scripts/install-deps.sh

stage() { printf '\n==== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }

run_ctest() {
    local dir=$1
    # Unit tests in parallel; tests that start X servers and daemons one at a time.
    ctest --test-dir "$dir" --output-on-failure -L unit -j2
    ctest --test-dir "$dir" --output-on-failure -LE unit -j1
}

stage "macOS type-check"
scripts/macos-typecheck.sh

# Warnings are errors here (not in a user's or packager's build). The main build is the Release
# build a package is made of.
stage "build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPANELORA_WERROR=ON
cmake --build build -j2
stage "tests"
run_ctest build

$quick && exit 0

stage "sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPANELORA_SANITIZE=ON \
    -DPANELORA_BENCH=OFF -DPANELORA_WERROR=ON
cmake --build build-asan -j2
stage "sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan

stage "thread sanitizer build"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPANELORA_TSAN=ON \
    -DPANELORA_BENCH=OFF -DPANELORA_WERROR=ON
# Only the suites that run concurrently: their targets are the tests labelled "concurrency".
mapfile -t tsan_targets < <(ctest --test-dir build -L concurrency -N | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build build-tsan -j2 --target "${tsan_targets[@]}"
stage "thread sanitizer tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -L concurrency -j2

stage "fuzzing"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPANELORA_FUZZ=ON -DPANELORA_TESTS=OFF -DPANELORA_BENCH=OFF -DPANELORA_WERROR=ON
# fuzz/<name>/ holds the target fuzz_<name>; only those are built here.
shopt -s nullglob
for dir in fuzz/*/; do
    name=fuzz_$(basename "$dir")
    cmake --build build-fuzz -j2 --target "$name"
    echo "fuzzing $name for 30 s"
    mkdir -p "build-fuzz/corpus/$name"
    [[ -d "$dir/seeds" ]] && cp "$dir"/seeds/* "build-fuzz/corpus/$name/"
    "build-fuzz/fuzz/$(basename "$dir")/$name" "build-fuzz/corpus/$name" -max_total_time=30 \
        -max_len=4096 -print_final_stats=1 -rss_limit_mb=2048
done
stage "done"
