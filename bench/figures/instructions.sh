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

# Instructions per byte of the hive backup's CRC-32 (crc32Update alone) over
# 4 MiB in blocks of HIVE_COPY_CB, as the check and the save feed it. A table
# CRC costs at least two instructions a byte on x86-64 (the byte's load and
# its table's xor); slicing by 8 gives about 3. The fold of long runs by
# whole words (hive/crc32.cpp) leaves the tables only the last 2400 bytes of
# each block.
cmake --build "$BENCH_BUILD" --target corvane_bench_hive -j2 >/dev/null
out=$BENCH_WORK/callgrind.crc
bytes=$((4 << 20))
valgrind --tool=callgrind --toggle-collect='crc32Update*' --callgrind-out-file="$out" \
  "$BENCH_BUILD/bench/corvane_bench_hive" crc $bytes >/dev/null 2>&1
ir=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$out")
[ -n "$ir" ] || ir=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$out")
figure crc_instr_per_byte "$(awk -v i="$ir" -v b="$bytes" 'BEGIN { printf "%.2f", i / b }')" instr/byte
