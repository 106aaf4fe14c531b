# Wall time of repair and reorder of a 64 MiB image, each divided by the
# wall time of cp of the same file (the best of three runs each, warm cache).
image=$(bench_image mix-64m 64m)
cp_s=(); repair_s=(); reorder_s=()
for run in 1 2 3; do
  cp_s+=("$(bench_cp_seconds "$image")")
  repair_s+=("$(field seconds "$(bench_rewrite repair "$image")")")
  reorder_s+=("$(field seconds "$(bench_rewrite reorder "$image")")")
done
cp_best=$(min "${cp_s[@]}")
figure repair_vs_cp "$(awk -v a="$(min "${repair_s[@]}")" -v b="$cp_best" 'BEGIN { printf "%.2f", a / b }')" ratio
figure reorder_vs_cp "$(awk -v a="$(min "${reorder_s[@]}")" -v b="$cp_best" 'BEGIN { printf "%.2f", a / b }')" ratio
