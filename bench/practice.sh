#!/usr/bin/env bash
# A new user's first call, rehearsed end to end against bench_listening_peers (in its "voice" mode: transcripts
# follow the speech in the audio) and a private PulseAudio daemon whose loudspeakers leak into the microphone at
# -20 dB, like a laptop without headphones:
#   1. the check before the call runs (quippet --check): six lines, the leak measured;
#   2. its echo mend is pressed by name through the accessibility bus and the leak is measured again;
#   3. a practice conversation of three questions (quippet --practise; the questions from pytania.md) is answered
#      into the microphone; the note it writes must be marked as a practice.
# Prints the check's verdicts and figures, the practice's log and the note's head; screenshots land in
# <build>/practice when xwd and pnmtopng are there.
#
#   scripts/with-test-session.sh bench/practice.sh [build folder, default build/dev]
#
# Needs pulseaudio, paplay, espeak-ng, sox, xdotool, secret-tool, python3-pyatspi and at-spi2-core. Nothing leaves
# 127.0.0.1.
set -euo pipefail
build=$(realpath "${1:-build/dev}")
cd "$(dirname "$0")/.."
shots=$build/practice
mkdir -p "$shots"
. bench/harness.sh
start_sound_server \
  "load-module module-loopback source=speakers.monitor sink=micfeed latency_msec=20 source_dont_move=true sink_dont_move=true"
loopback=$(pactl list short sink-inputs | awk '/loopback/{print $1; exit}')
pactl set-sink-input-volume "$loopback" -20dB
# A microphone is never digitally silent: a faint hiss on its feed.
sox -n -r 48000 -c 1 -b 16 "$work/hiss.wav" synth 300 whitenoise vol 0.002 2>/dev/null
paplay --device=micfeed "$work/hiss.wav" &
pids+=($!)

start_peers voice
new_home meetingDetection=false
mkdir -p "$HOME/quippet-context"
printf '# Pytania\n- Ile kosztuje wdrożenie?\n- Jak długo trwa wdrożenie?\n- Czy macie referencje?\n' \
  > "$HOME/quippet-context/pytania.md"
espeak-ng -v pl -w "$work/me.wav" "Wdrożenie trwa zwykle sześć tygodni, a cena zależy od liczby stanowisk."

quippet() { LANG=pl_PL.UTF-8 "$HOME/.local/bin/quippet" "$@"; }
log=$HOME/quippet-debug.log
wait_log() { # pattern, seconds
  for _ in $(seq $(( $2 * 10 ))); do grep -q -- "$1" "$log" 2>/dev/null && return 0; sleep 0.1; done
  echo "timed out waiting for: $1" >&2; tail -n 30 "$log" >&2; return 1
}
shot() {
  if command -v xwd > /dev/null && command -v xwdtopnm > /dev/null; then
    xwd -silent -id "$1" | xwdtopnm 2>/dev/null | pnmtopng > "$shots/$2.png" 2>/dev/null && echo "screenshot $shots/$2.png"
  fi
}

# The accessibility bus: the echo mend is pressed by the name a screen reader speaks.
/usr/libexec/at-spi-bus-launcher --launch-immediately &
pids+=($!)
sleep 1
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
quippet 2> "$work/quippet.err" &
app=$!
pids+=($app)
xdotool search --sync --onlyvisible --name '^Quippet$' > /dev/null

echo "== the check before the call =="
quippet --check
wait_log "sprawdzenie: koniec" 20
window=$(xdotool search --sync --onlyvisible --name 'Spraw' | head -1)
sleep 0.5
shot "$window" 1-check
grep -E "sprawdzenie: " "$log" | sed 's/^/  /'

echo "== the echo mend, pressed through the accessibility bus =="
# The mend's spoken name: what it does, then the line it mends.
fix=$(python3 -c "import json; t = json.load(open('resources/i18n/pl.json')); print(t['preflight.fix.echo'] + ' — ' + t['preflight.item.echo'])")
/usr/bin/python3 -c "
import sys; sys.path.insert(0, 'bench'); import a11y_walk as w
q = w.app(); ok = w.report('the check', q); w.press(q, sys.argv[1]); sys.exit(0 if ok else 1)" "$fix"
wait_log "tłumienie echa włączone" 20
wait_log "sprawdzenie: echo — OK" 20 || true
sleep 0.5
shot "$window" 2-check-echo-cancelled
grep -E "przeciek|echo —" "$log" | tail -n 3 | sed 's/^/  /'
xdotool key --window "$window" Escape || true

echo "== a practice conversation =="
quippet --practise
answered=0
for n in 1 2 3; do
  wait_log "próba: pytanie $n z 3" 60
  # The question is read (a few seconds), then the user answers into the microphone.
  sleep 5
  paplay --device=micfeed "$work/me.wav"
  answered=$n
done
wait_log "próba: koniec" 120
for _ in $(seq 600); do ls "$HOME/quippet-rozmowy/"*.md > /dev/null 2>&1 && break; sleep 0.1; done
grep -E "próba: |auto: " "$log" | sed 's/^/  /' | tail -n 25
note=$(ls "$HOME/quippet-rozmowy/"*.md | head -1)
echo "== the note: $(basename "$note") =="
head -n 4 "$note" | sed 's/^/  /'
sed -n '/^```$/,/^```$/p' "$note" | sed 's/^/  /'; echo
grep -q "Próba rozmowy" "$note" && echo "marked as a practice: yes" || { echo "marked as a practice: NO"; exit 1; }
grep -q '"rehearsal":true' "$HOME/quippet-rozmowy/index.json" && echo "marked in the history: yes" ||
  { echo "marked in the history: NO"; exit 1; }
echo "client questions answered automatically: $(grep -c 'auto: wykryto pytanie' "$log" || true)"
