#!/usr/bin/env bash
# Builds the capture, sound-server, transcription and controller tests with ThreadSanitizer (preset "tsan",
# build/tsan) and runs them; prints each suite's result and its count of ThreadSanitizer reports (the reports are in
# build/tsan/*.log) and fails on any. Not part of CI. Qt, GLib and libpulse are not instrumented: what their own
# locks and queues hand over is invisible to TSan, and scripts/tsan.supp says which reports that explains and why.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc)"

# QProcess forks a threaded process to start the sound server and its players.
# Options given by the caller come last and win.
suppressions="suppressions=$PWD/scripts/tsan.supp"
export TSAN_OPTIONS="die_after_fork=0 second_deadlock_stack=1 halt_on_error=0 exitcode=66 history_size=4 $suppressions ${TSAN_OPTIONS:-}"
export LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen
status=0
for t in audio/test_capture audio/test_capture_pulse speech/test_speech app/test_app; do
  log=build/tsan/$(basename $t).log
  code=0
  build/tsan/tests/$t >"$log" 2>&1 || code=$?
  reports=$(grep -c '^WARNING: ThreadSanitizer' "$log" || true)
  printf '%-20s %s, %s ThreadSanitizer reports (%s)\n' "$(basename $t)" \
    "$(grep -E '^\[  (PASSED|FAILED)  \]' "$log" | tr '\n' ' ')" "$reports" "$log"
  [ "$code" -eq 0 ] && [ "$reports" -eq 0 ] || status=1
done
exit $status
