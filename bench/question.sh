#!/usr/bin/env bash
# From the end of a client's question to the first words of its answer painted in the panel, the whole program
# against bench_listening_peers in its "questions" mode and a private PulseAudio daemon: recorded questions
# (espeak-ng) are played into the speakers, the speech peer hears them (partial transcripts while they are spoken,
# a commit after COMMIT_SILENCE_MS of quiet, default 1500, or the silence the program asks for) and the model's first
# event comes FIRST_EVENT_MS after each request (default 400). 30 questions per variant: 10 whole, 10 spoken in two
# parts with a 0.6 s pause and 10 with a 1.0 s pause, where an answer painted for the first part alone is counted.
# Prints per variant the median and p90 for whole questions, the half-question answers painted, whether the last
# answer shown was to the whole question, and the model requests beyond one per question.
#
#   scripts/with-test-session.sh bench/question.sh [build folder, default build/dev] [variant ...]
#
# A variant is NAME=BINARY[:preference=value,...], for example
#   before=/tmp/before/build/src/quippet  early=build/dev/src/quippet  settle=build/dev/src/quippet:earlyAnswers=false
# and defaults to the build's program as it is configured ("early") and with the settle only ("settle").
#
# Needs pulseaudio, pacat, espeak-ng, xdotool and secret-tool. Nothing leaves 127.0.0.1.
set -euo pipefail
build=$(realpath "${1:-build/dev}")
shift || true
cd "$(dirname "$0")/.."
. bench/harness.sh
start_sound_server
printf 'none\t' > "$work/spoken"
start_peers questions "$work/spoken" "${COMMIT_SILENCE_MS:-1500}" "${FIRST_EVENT_MS:-400}"
new_home meetingDetection=false
cp "$HOME/.config/Quippet/Quippet.conf" "$work/base.conf"
variants=("$@")
if [ ${#variants[@]} -eq 0 ]; then
  variants=("early=$build/src/quippet" "settle=$build/src/quippet:earlyAnswers=false")
fi
python3 bench/question_runs.py "$work" "${variants[@]}"
# The program's standard error per variant, the figures per question and the diagnostics log stay in the build.
mkdir -p "$build/question"
cp "$work"/*.err "$work/question-runs.json" "$work/peers.txt" "$build/question/"
cp "$HOME/quippet-debug.log" "$build/question/" 2>/dev/null || true
