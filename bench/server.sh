#!/usr/bin/env bash
# quippet-server under load on loopback: the same run on SQLite and on PostgreSQL (a private cluster), side by side.
#   bench/server.sh [BUILD_DIR]     (default build/dev; needs bench_server built there)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
"$build/bench/bench_server"
scripts/pg-private.sh run bash -c "\"$build/bench/bench_server\" --database \"\$QUIPPET_TEST_DATABASE\"" | grep -v 'not installed' || true
