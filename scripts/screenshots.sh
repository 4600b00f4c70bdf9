#!/bin/sh
# Pictures of every face of the panel (welcome, working without and with an answer card, the options menu open,
# the collapsed orb, owner mode) and of the manager, profile and pre-call check windows for review, rendered offscreen into
# <build folder>/screenshots.
# Usage: scripts/screenshots.sh [build folder, default build/dev] [pl|en]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/dev}
lang=${2:-pl}
cmake --build "$build" --target panel_shots
LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen "$build/bench/panel_shots" "$build/screenshots" "$lang"
