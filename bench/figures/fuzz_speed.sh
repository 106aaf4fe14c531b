# Executions a second of every fuzz target under ASan+UBSan (the build of
# fuzz/run), each fuzzed alone for BENCH_FUZZ_SECONDS (default 10) from a
# copy of its seeds, its device on a RAM-backed folder as fuzz/run has it.
root=${BENCH_WORK%/bench/results/work}
"$root/fuzz/run" --build
fuzz_build=${CORVANE_FUZZ_BUILD:-$root/build-fuzz}
seconds=${BENCH_FUZZ_SECONDS:-10}
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
while read -r name corpus; do
  [ -n "$name" ] || continue
  corpus_copy=$BENCH_WORK/fuzz-corpus/$name
  rm -rf "$corpus_copy"
  mkdir -p "$corpus_copy"
  [ -d "$corpus" ] && cp "$corpus"/* "$corpus_copy"/ 2>/dev/null || true
  log=$BENCH_WORK/fuzz-$name.log
  "$fuzz_build/fuzz/bin/fuzz_$name" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$BENCH_WORK/fuzz-$name-" "$corpus_copy" >"$log" 2>&1
  figure "fuzz_${name}_execs_per_s" "$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -1)" execs/s
done <"$fuzz_build/fuzz/targets.txt"
