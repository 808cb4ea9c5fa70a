#!/usr/bin/env bash
# Builds the Release program and its Debian package into out/ (as a packager would: no warnings
# as errors, no tests or benchmarks).
#   scripts/package.sh            → out/panelora_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPANELORA_TESTS=OFF \
    -DPANELORA_BENCH=OFF
cmake --build build-release -j"$(nproc)"
mkdir -p out
(cd build-release && cpack -G DEB -B "$PWD/../out/cpack")
mv out/cpack/panelora_*.deb out/
rm -rf out/cpack
ls -1 out/panelora_*.deb
