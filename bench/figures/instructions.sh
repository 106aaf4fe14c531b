# Instructions per input byte of repair and reorder on a 4 MiB image under
# callgrind, counting the operation alone.
image=$(bench_image mix-4m 4m)
bytes=$(stat -c %s "$image")
for op in repair reorder; do
  out=$BENCH_WORK/callgrind.$op
  bench_rewrite $op "$image" valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" >/dev/null 2>&1
  ir=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$out")
  [ -n "$ir" ] || ir=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$out")
  figure ${op}_instr_per_byte "$(awk -v i="$ir" -v b="$bytes" 'BEGIN { printf "%.2f", i / b }')" instr/byte
done
