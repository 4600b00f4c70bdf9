#!/usr/bin/env bash
# Builds the capture, sound-server and transcription tests with ThreadSanitizer (preset "tsan", build/tsan) and runs
# them; prints each suite's result and its count of ThreadSanitizer reports (the reports are in build/tsan/*.log).
# Not part of CI. Qt and libpulse are not instrumented: hand-offs through their own locks and queues (queued and
# blocking invocations, the threaded main loop) are invisible to TSan and reported as races; read the reports.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc)"

# QProcess forks a threaded process to start the sound server and its players.
export TSAN_OPTIONS="die_after_fork=0 second_deadlock_stack=1 halt_on_error=0 exitcode=66 ${TSAN_OPTIONS:-}"
export LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen
status=0
for t in audio/test_capture audio/test_capture_pulse speech/test_speech; do
  log=build/tsan/$(basename $t).log
  code=0
  build/tsan/tests/$t >"$log" 2>&1 || code=$?
  reports=$(grep -c '^WARNING: ThreadSanitizer' "$log" || true)
  printf '%-20s %s, %s ThreadSanitizer reports (%s)\n' "$(basename $t)" \
    "$(grep -E '^\[  (PASSED|FAILED)  \]' "$log" | tr '\n' ' ')" "$reports" "$log"
  [ "$code" -eq 0 ] && [ "$reports" -eq 0 ] || status=1
done
exit $status
