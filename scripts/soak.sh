#!/usr/bin/env bash
# The soak: speech into both channels of a real capture against a private sound server while the speech service's
# connection is cut 20 times and the sound server restarts once (tests/audio/SoakTest.cpp). Prints the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QUIPPET_SOAK_BUILD:-build/dev}
[ -f "$dir/CMakeCache.txt" ] || cmake --preset dev >/dev/null
cmake --build "$dir" -j "$(nproc)" --target soak_capture
export LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen
"$dir/tests/audio/soak_capture" "$@"
