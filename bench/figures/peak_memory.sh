# Peak resident memory of the process running repair or reorder, on images
# of 1 MiB and 256 MiB (key groups of 32 keys in both).
for size in 1m 256m; do
  image=$(bench_image mix-$size $size)
  for op in repair reorder; do
    figure ${op}_peak_kib_$size "$(field peak_kib "$(bench_rewrite $op "$image")")" KiB
  done
done
