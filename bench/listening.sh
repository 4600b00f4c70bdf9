#!/usr/bin/env bash
# The whole program listening: CPU per thread over a window of N seconds and memory (PSS), with the working panel
# shown, echo cancellation off, speech playing into both channels, against bench_listening_peers and a private
# PulseAudio daemon. Then an answer is asked for (Super+Return) and PSS is read again with the card on screen.
#
#   scripts/with-test-session.sh bench/listening.sh [build folder, default build/dev] [seconds, default 60]
#
# With A11Y=1 the program is driven through the accessibility bus instead, by the names a screen reader speaks
# (bench/a11y_walk.py: start listening, every control listed and checked, an answer,
# collapse, expand).
#
# The same window measured in other setups: SILENCE=1 plays nothing into either channel; WELCOME=1 leaves the panel on
# its welcome face with listening resumed at launch; BUS=1 runs an accessibility bus that the program's bridge
# talks to throughout.
#
# Needs pulseaudio, paplay, espeak-ng, xdotool and secret-tool. Nothing leaves 127.0.0.1.
set -euo pipefail
build=$(realpath "${1:-build/dev}")
seconds=${2:-60}
cd "$(dirname "$0")/.."
. bench/harness.sh
start_sound_server
start_peers
if [ "${WELCOME:-}" = 1 ]; then new_home transcriptionEnabled=true; else new_home; fi

espeak-ng -v pl -w "$work/client.wav" "Dzień dobry, czy mogą państwo powiedzieć, ile kosztuje wdrożenie i jak długo trwa?"
espeak-ng -v pl -w "$work/me.wav" "Oczywiście, wdrożenie trwa zwykle około sześciu tygodni."
if [ "${SILENCE:-}" != 1 ]; then
  (while :; do paplay --device=speakers "$work/client.wav"; done) &
  pids+=($!)
  (while :; do paplay --device=micfeed "$work/me.wav"; done) &
  pids+=($!)
fi

if [ "${A11Y:-}" = 1 ] || [ "${BUS:-}" = 1 ]; then
  /usr/libexec/at-spi-bus-launcher --launch-immediately &
  pids+=($!)
  sleep 1
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
fi
LANG=pl_PL.UTF-8 "$HOME/.local/bin/quippet" 2> "$work/quippet.err" &
app=$!
pids+=($app)
if [ "${A11Y:-}" = 1 ]; then
  xdotool search --sync --onlyvisible --name '^Quippet$' > /dev/null
  key() { python3 -c "import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])" resources/i18n/pl.json "$1"; }
  /usr/bin/python3 bench/a11y_walk.py "start=$(key welcome.action.ready)" "answer=$(key panel.aiAnswer.auto)" \
    "collapse=$(key chrome.collapse)" "expand=$(key chrome.expand)"
  exit
fi
window=$(xdotool search --sync --onlyvisible --name '^Quippet$' | head -1)
sleep 2
if [ "${WELCOME:-}" != 1 ]; then
  # The welcome screen's primary button ("Start listening") sits at the bottom of the 460 × 300 panel.
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 35)) click 1
fi
sleep 8
eval "$(xdotool getwindowgeometry --shell "$window")"
echo "panel ${WIDTH}×${HEIGHT} (working face: 800 wide)"

ticks() { # tid utime+stime name, for every thread of the program
  for task in /proc/$app/task/*; do
    read -r -a f < "$task/stat" || continue
    # Fields after the parenthesised name: state is f[2] when the name has no spaces; count from the end instead.
    n=${#f[@]}
    echo "$(basename "$task") $(( f[n-52+13] + f[n-52+14] )) $(tr ' ' '_' < "$task/comm")"
  done
}
ticks > "$work/t0"
if [ -n "${BENCH_PERF:-}" ]; then
  # Where the time goes: BENCH_PERF=out.data records call graphs of the window.
  perf record -q --call-graph dwarf -F 499 -p "$app" -o "$BENCH_PERF" -- sleep "$seconds" 2>/dev/null
else
  sleep "$seconds"
fi
ticks > "$work/t1"
hz=$(getconf CLK_TCK)
echo "CPU over ${seconds} s, % of one core, per thread:"
join <(sort "$work/t0") <(sort "$work/t1") | awk -v hz="$hz" -v s="$seconds" '
  { d = $4 - $2; total += d; by[$3] += d }
  END { for (n in by) if (by[n] > 0) printf "  %-22s %6.2f\n", n, 100 * by[n] / hz / s; printf "  %-22s %6.2f\n", "total", 100 * total / hz / s }' |
  sort -k2 -nr
echo "PSS listening:              $(awk '/^Pss:/{print $2}' /proc/$app/smaps_rollup) kB"
xdotool key super+Return
sleep 5
echo "PSS with an answer card:    $(awk '/^Pss:/{print $2}' /proc/$app/smaps_rollup) kB"
grep -c "" "$HOME/quippet-debug.log" > /dev/null && tail -n 5 "$HOME/quippet-debug.log" | sed 's/^/  log: /'
