# Wall time of packing two hive files of 32 MiB each into a hive backup file
# (pack), and of extracting them from it again (unpack), each divided by the
# wall time of cp of the same two files; measured side by side in each of
# three runs, the best of three each, warm cache; each timed step starts
# with what the steps before it wrote out (bench_quiet). The platform's RegSaveKey
# is not part of it: the hive files are made here. cp copies inside the
# kernel (copy_file_range) and never brings a byte into the process, which
# the CRC of the pack and of the unpack's check must; pack_vs_dd divides by
# dd of the two files into one in blocks of 128 KiB (the pack's), a copy that does
# (read and write, as the pack's copy, without the sum).
cmake --build "$BENCH_BUILD" --target corvane_bench_hive -j2 >/dev/null
HIVE=$BENCH_BUILD/bench/corvane_bench_hive
bench_device
fs=$BENCH_DEVICE/fs
bench_hives "$fs" 32m
cp_s=(); dd_s=(); pack_s=(); unpack_s=()
for run in 1 2 3; do
  rm -rf "$fs/cp" && mkdir "$fs/cp"
  bench_quiet
  start=$(date +%s%N)
  cp "$fs/Temp/sys.hv" "$fs/Temp/usr.hv" "$fs/cp/"
  end=$(date +%s%N)
  cp_s+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.6f\n", ns / 1e9 }')")
  rm -f "$fs/cp/both"
  bench_quiet
  start=$(date +%s%N)
  dd if="$fs/Temp/sys.hv" of="$fs/cp/both" bs=128k status=none
  dd if="$fs/Temp/usr.hv" of="$fs/cp/both" bs=128k oflag=append conv=notrunc status=none
  end=$(date +%s%N)
  dd_s+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.6f\n", ns / 1e9 }')")
  rm -f "$fs/Temp/reg.hvb" "$fs/Temp/m.out" "$fs/Temp/u.out"
  bench_quiet
  pack_s+=("$(field seconds "$("$HIVE" pack "$BENCH_DEVICE" '\Temp\sys.hv' '\Temp\usr.hv' '\Temp\reg.hvb')")")
  bench_quiet
  unpack_s+=("$(field seconds "$("$HIVE" unpack "$BENCH_DEVICE" '\Temp\reg.hvb' '\Temp\m.out' '\Temp\u.out')")")
  cmp -s "$fs/Temp/m.out" "$fs/Temp/sys.hv" && cmp -s "$fs/Temp/u.out" "$fs/Temp/usr.hv"
done
rm -rf "$fs/cp" "$fs/Temp/reg.hvb" "$fs/Temp/m.out" "$fs/Temp/u.out"
cp_best=$(min "${cp_s[@]}")
figure pack_vs_cp "$(awk -v a="$(min "${pack_s[@]}")" -v b="$cp_best" 'BEGIN { printf "%.2f", a / b }')" ratio
figure pack_vs_dd "$(awk -v a="$(min "${pack_s[@]}")" -v b="$(min "${dd_s[@]}")" 'BEGIN { printf "%.2f", a / b }')" ratio
figure unpack_vs_cp "$(awk -v a="$(min "${unpack_s[@]}")" -v b="$cp_best" 'BEGIN { printf "%.2f", a / b }')" ratio
