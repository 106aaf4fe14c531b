# corvane-backup check and list on images of 1 MiB and 256 MiB: wall time and
# peak resident memory of the process. Both read the image in blocks of 4096
# bytes (check also runs repair on a copy), so memory stays flat.
tool=$BENCH_BUILD/corvane-backup
for size in 1m 256m; do
  image=$(bench_image mix-$size $size)
  for verb in check list; do
    line=$( { /usr/bin/time -f '%e %M' "$tool" $verb "$image" >/dev/null; } 2>&1 | tail -1)
    figure backup_${verb}_seconds_$size "${line% *}" s
    figure backup_${verb}_peak_kib_$size "${line#* }" KiB
  done
done
