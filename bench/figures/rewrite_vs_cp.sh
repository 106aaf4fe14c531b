# Wall time of repair and reorder of a 64 MiB image, each divided by the
# wall time of cp of the same file (the best of three runs each, warm cache).
# The image is consistent, so repair finds it whole and does not copy it
# back; repair_mend_vs_cp is repair of an image of the same size where one
# record in twenty carries surplus bytes, which every rewrite must copy back.
image=$(bench_image mix-64m 64m)
mended=$(bench_image surplus-64m 64m --surplus 5)
cp_s=(); repair_s=(); reorder_s=(); mend_s=()
for run in 1 2 3; do
  cp_s+=("$(bench_cp_seconds "$image")")
  repair_s+=("$(field seconds "$(bench_rewrite repair "$image")")")
  reorder_s+=("$(field seconds "$(bench_rewrite reorder "$image")")")
  mend_s+=("$(field seconds "$(bench_rewrite repair "$mended")")")
done
cp_best=$(min "${cp_s[@]}")
ratio() { awk -v a="$(min "$@")" -v b="$cp_best" 'BEGIN { printf "%.2f", a / b }'; }
figure repair_vs_cp "$(ratio "${repair_s[@]}")" ratio
figure reorder_vs_cp "$(ratio "${reorder_s[@]}")" ratio
figure repair_mend_vs_cp "$(ratio "${mend_s[@]}")" ratio
