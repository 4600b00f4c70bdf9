#!/usr/bin/env bash
# Installs what is missing, builds quippet-server and serves: on an SQLite file under ~/.local/share unless
# QUIPPET_SERVER_DATABASE (or --database) names another database. Options are passed on to "serve".
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/server -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIPPET_BUILD_TESTS=OFF \
  -DQUIPPET_BUILD_BENCH=OFF >/dev/null
cmake --build build/server --target quippet-server
exec build/server/src/server/quippet-server serve "$@"
