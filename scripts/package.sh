#!/usr/bin/env bash
# Builds the Debian package into build/package/: install it with `sudo apt install ./build/package/quippet_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUIPPET_BUILD_TESTS=OFF -DQUIPPET_BUILD_BENCH=OFF >/dev/null
cmake --build build/package -j "$(nproc)" --target quippet
(cd build/package && cpack -G DEB)
ls build/package/quippet_*.deb
