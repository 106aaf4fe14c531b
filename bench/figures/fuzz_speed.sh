# Executions a second of every fuzz target under ASan+UBSan (the build of
# fuzz/run), each fuzzed alone for BENCH_FUZZ_SECONDS (default 10) from a
# copy of its seeds, its device on a RAM-backed folder as fuzz/run has it.
# Each target runs BENCH_FUZZ_RUNS times (default 3) and the best run is the
# figure, as with the wall-time figures: on a shared machine one run of ten
# seconds may be slowed by others by a sixth. Every run's figure is kept in
# $BENCH_WORK/fuzz_speed_runs.txt.
root=${BENCH_WORK%/bench/results/work}
"$root/fuzz/run" --build
fuzz_build=${CORVANE_FUZZ_BUILD:-$root/build-fuzz}
seconds=${BENCH_FUZZ_SECONDS:-10}
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
runs=${BENCH_FUZZ_RUNS:-3}
: >"$BENCH_WORK/fuzz_speed_runs.txt"
while read -r name corpus; do
  [ -n "$name" ] || continue
  best=0; all=()
  for run in $(seq "$runs"); do
    corpus_copy=$BENCH_WORK/fuzz-corpus/$name
    rm -rf "$corpus_copy"
    mkdir -p "$corpus_copy"
    [ -d "$corpus" ] && cp "$corpus"/* "$corpus_copy"/ 2>/dev/null || true
    log=$BENCH_WORK/fuzz-$name-$run.log
    "$fuzz_build/fuzz/bin/fuzz_$name" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$BENCH_WORK/fuzz-$name-" "$corpus_copy" >"$log" 2>&1
    rate=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -1)
    all+=("${rate:-0}")
    [ "${rate:-0}" -gt "$best" ] && best=$rate
  done
  echo "$name ${all[*]}" >>"$BENCH_WORK/fuzz_speed_runs.txt"
  figure "fuzz_${name}_execs_per_s" "$best" execs/s
done <"$fuzz_build/fuzz/targets.txt"
