# Peak resident memory of the process packing two hive files into a hive
# backup file, and of the one extracting them, for hives of 1 MiB and of
# 256 MiB in all (two of half the size each).
cmake --build "$BENCH_BUILD" --target corvane_bench_hive -j2 >/dev/null
HIVE=$BENCH_BUILD/bench/corvane_bench_hive
bench_device
fs=$BENCH_DEVICE/fs
for size in 1m 256m; do
  bench_hives "$fs" $((${size%m} * 512))k
  rm -f "$fs/Temp/reg.hvb" "$fs/Temp/m.out" "$fs/Temp/u.out"
  figure pack_peak_kib_$size "$(field peak_kib "$("$HIVE" pack "$BENCH_DEVICE" '\Temp\sys.hv' '\Temp\usr.hv' '\Temp\reg.hvb')")" KiB
  figure unpack_peak_kib_$size "$(field peak_kib "$("$HIVE" unpack "$BENCH_DEVICE" '\Temp\reg.hvb' '\Temp\m.out' '\Temp\u.out')")" KiB
done
rm -f "$fs/Temp/sys.hv" "$fs/Temp/usr.hv" "$fs/Temp/reg.hvb" "$fs/Temp/m.out" "$fs/Temp/u.out"
