#!/bin/sh
# run-fuzz.sh BINARY SECONDS [JOBS]
#
# Replays the regression corpus (fuzz/regressions/) through the libFuzzer
# harness, then fuzzes for SECONDS starting from the seeds (fuzz/corpus/) and
# the working corpus of earlier runs (build/fuzz/corpus/).  Any crashing
# input found is copied to fuzz/regressions/ (commit it: the tests replay it)
# and the run fails.  Prints the number of executions and the corpus size.
set -eu
bin="$1"; seconds="$2"; jobs="${3:-1}"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/build/fuzz/corpus"
out="$root/fuzz/out"
mkdir -p "$work" "$out" "$root/fuzz/regressions"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

n=$(find "$root/fuzz/regressions" -type f ! -name '*.md' | wc -l)
if [ "$n" -gt 0 ]; then
  echo "== replaying $n regression input(s)"
  find "$root/fuzz/regressions" -type f ! -name '*.md' -print0 | xargs -0 "$bin" -runs=1 >"$out/replay.log" 2>&1 \
    || { tail -40 "$out/replay.log"; echo "fuzz: a regression input fails again" >&2; exit 1; }
fi

echo "== fuzzing for ${seconds}s"
log="$out/fuzz.log"
status=0
parallel=""
[ "$jobs" -gt 1 ] && parallel="-jobs=$jobs -workers=$jobs"
bin="$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")"
# parallel workers write fuzz-N.log into the current folder: keep them in $out
(cd "$out" && rm -f fuzz-*.log && "$bin" "$work" "$root/fuzz/corpus" -dict="$root/fuzz/quoml.dict" \
  -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$out/" $parallel) >"$log" 2>&1 || status=$?
[ "$jobs" -gt 1 ] && cat "$out"/fuzz-*.log >>"$log" 2>/dev/null || true

found=0
for f in "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-*; do
  [ -f "$f" ] || continue
  mv "$f" "$root/fuzz/regressions/" && found=$((found + 1))
  echo "fuzz: new failing input saved as fuzz/regressions/$(basename "$f")"
done
runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | awk '{s += $2} END {print s + 0}')
corpus=$(find "$work" -type f | wc -l)
echo "fuzz: $runs executions in ${seconds}s; working corpus $corpus inputs (seeds: $(ls "$root/fuzz/corpus" | wc -l))"
if [ "$status" -ne 0 ] || [ "$found" -gt 0 ]; then
  tail -60 "$log"
  echo "fuzz: FAILED (see $log)" >&2
  exit 1
fi
