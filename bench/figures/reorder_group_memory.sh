# Memory a record of reorder's largest key group costs: a 64 MiB image that
# is one key group, against the 1 MiB image of small groups, divided by the
# records of the big group (the generator prints them).
big=$(bench_image onegroup-64m 64m --group 100000000)
small=$(bench_image mix-1m 1m)
records=$("$BENCH_GEN" "$BENCH_WORK/count.img" 64m --group 100000000 | sed -n 's/.* \([0-9]*\) records.*/\1/p')
rm -f "$BENCH_WORK/count.img"
peak_big=$(field peak_kib "$(bench_rewrite reorder "$big")")
peak_small=$(field peak_kib "$(bench_rewrite reorder "$small")")
figure reorder_bytes_per_record_one_group "$(awk -v b="$peak_big" -v s="$peak_small" -v n="$records" 'BEGIN { printf "%.1f", (b - s) * 1024 / n }')" bytes
