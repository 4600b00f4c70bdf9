#!/usr/bin/env bash
# Installs what is missing, builds Quippet and launches it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target quippet
exec ./build/dev/src/quippet "$@"
