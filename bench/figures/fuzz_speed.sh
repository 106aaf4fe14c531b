# Speed of every fuzz target under ASan+UBSan (the build of fuzz/run), its
# device on a RAM-backed folder as fuzz/run has it, each from a fresh copy of
# its seeds:
#
# - fuzz_<target>_execs_per_s: executions a second, fuzzed alone for
#   BENCH_FUZZ_SECONDS (default 10). A wall-clock figure: beside other work
#   it says as much about the machine as about the code.
# - fuzz_<target>_cpu_us_per_exec: the fuzzer's CPU time (user and system,
#   its children's included) per execution over a fixed BENCH_FUZZ_EXECS
#   executions (default 3000) with a fixed seed, so that every run tries the
#   same inputs. CPU time counts only the fuzzer's own work, so the figure
#   holds on a busy machine.
# - fuzz_<target>_cpu_us_per_exec_busy and fuzz_<target>_busy_vs_idle: the
#   same CPU figure measured while BENCH_FUZZ_HOGS (default 2, one a core
#   here) CPU-bound processes run beside the fuzzer, and its ratio to the
#   figure above: the proof that the figure says little about the machine.
#   BENCH_FUZZ_HOGS=0 leaves it out.
#
# Each target runs BENCH_FUZZ_RUNS times (default 3) each way and the best
# run is the figure. Every run's figures are kept in
# $BENCH_WORK/fuzz_speed_runs.txt.
root=${BENCH_WORK%/bench/results/work}
"$root/fuzz/run" --build
fuzz_build=${CORVANE_FUZZ_BUILD:-$root/build-fuzz}
seconds=${BENCH_FUZZ_SECONDS:-10}
execs=${BENCH_FUZZ_EXECS:-3000}
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
runs=${BENCH_FUZZ_RUNS:-3}
: >"$BENCH_WORK/fuzz_speed_runs.txt"

# fresh_corpus NAME SEEDS: a fresh copy of the seeds; prints its folder.
fresh_corpus() {
  local copy=$BENCH_WORK/fuzz-corpus/$1
  rm -rf "$copy"
  mkdir -p "$copy"
  [ -d "$2" ] && cp "$2"/* "$copy"/ 2>/dev/null || true
  echo "$copy"
}

# cpu_us NAME CORPUS LOG: the CPU time per execution of one fixed run.
cpu_us() {
  local bin=$fuzz_build/fuzz/bin/fuzz_$1 log=$3 units
  /usr/bin/time -o "$log.time" -f '%U %S' "$bin" -runs="$execs" -seed=1 -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$BENCH_WORK/fuzz-$1-" "$(fresh_corpus "$1" "$2")" >"$log" 2>&1
  units=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -1)
  awk -v units="${units:-0}" '{ if (units > 0) printf "%.0f", ($1 + $2) * 1e6 / units; else print "?" }' "$log.time"
}

# best VALUES...: the smallest number ("?" when there is none).
best() { printf '%s\n' "$@" | grep -E '^[0-9]+$' | sort -n | head -1 | grep . || echo '?'; }

hogs=${BENCH_FUZZ_HOGS:-2}
while read -r name corpus; do
  [ -n "$name" ] || continue
  bin=$fuzz_build/fuzz/bin/fuzz_$name
  best_rate=0; all=(); all_us=(); busy_us=()
  for run in $(seq "$runs"); do
    log=$BENCH_WORK/fuzz-$name-$run.log
    "$bin" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$BENCH_WORK/fuzz-$name-" "$(fresh_corpus "$name" "$corpus")" >"$log" 2>&1
    rate=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -1)
    all+=("${rate:-0}")
    [ "${rate:-0}" -gt "$best_rate" ] && best_rate=$rate
    all_us+=("$(cpu_us "$name" "$corpus" "$BENCH_WORK/fuzz-$name-cpu-$run.log")")
  done
  if [ "$hogs" -gt 0 ]; then
    pids=()
    for _ in $(seq "$hogs"); do
      (while :; do :; done) &
      pids+=($!)
    done
    for run in $(seq "$runs"); do
      busy_us+=("$(cpu_us "$name" "$corpus" "$BENCH_WORK/fuzz-$name-busy-$run.log")")
    done
    kill "${pids[@]}"
    wait "${pids[@]}" 2>/dev/null || true
  fi
  echo "$name ${all[*]} execs/s; ${all_us[*]} us/exec; busy ${busy_us[*]:-} us/exec" >>"$BENCH_WORK/fuzz_speed_runs.txt"
  idle=$(best "${all_us[@]}")
  figure "fuzz_${name}_execs_per_s" "$best_rate" execs/s
  figure "fuzz_${name}_cpu_us_per_exec" "$idle" us/exec
  if [ "$hogs" -gt 0 ]; then
    busy=$(best "${busy_us[@]}")
    figure "fuzz_${name}_cpu_us_per_exec_busy" "$busy" us/exec
    figure "fuzz_${name}_busy_vs_idle" "$(awk -v b="$busy" -v i="$idle" 'BEGIN { if (i > 0 && b > 0) printf "%.2f", b / i; else print "?" }')" ratio
  fi
done <"$fuzz_build/fuzz/targets.txt"
