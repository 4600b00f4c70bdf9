#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan, build/fuzz) and runs each for the given number of
# seconds (default 60), starting from its committed corpus in fuzz/corpus. Prints executions and findings per target;
# a crashing input is kept in build/fuzz/findings. Exits non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
targets=(fuzz_sse fuzz_transcriber_message fuzz_backend_answer fuzz_history_index fuzz_context_name fuzz_appcast)
dir=build/fuzz

command -v clang++ >/dev/null || { echo "clang++ is missing: apt-get install clang libclang-rt-14-dev" >&2; exit 2; }
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQUIPPET_FUZZ=ON -DQUIPPET_BUILD_TESTS=OFF -DQUIPPET_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen HOME="$(mktemp -d)"
mkdir -p "$dir/findings"
status=0 total=0
printf '%-26s %14s %9s\n' target executions findings
for t in "${targets[@]}"; do
  # New inputs go to a scratch corpus; the committed seeds stay as they are.
  work="$dir/corpus/$t"
  mkdir -p "$work"
  log="$dir/$t.log"
  if "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
       -artifact_prefix="$dir/findings/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    findings=0
  else
    findings=$(ls "$dir/findings" | grep -c "^$t-" || true)
    [ "$findings" -gt 0 ] || findings=1
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  runs=${runs:-0}
  total=$((total + runs))
  printf '%-26s %14d %9d\n' "$t" "$runs" "$findings"
  [ "$findings" -eq 0 ] || tail -n 40 "$log"
done
printf '%-26s %14d\n' total "$total"
rm -rf "$HOME"
exit $status
