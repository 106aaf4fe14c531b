# Wall time of a whole save run (`ls`) and a whole restore run (`lr`) on a
# ram device whose registry image is about 1 MiB, each divided by the floor:
# the same binary started with a command line that does nothing, plus cp of
# the image. Best of 15 runs each, side by side.
BENCH_CORVANE=$BENCH_BUILD/corvane
BENCH_CEDEVICE=$BENCH_BUILD/cedevice
dev=$BENCH_WORK/run-device
rm -rf "$dev"
export CEDEVICE=$dev
"$BENCH_CEDEVICE" init --registry ram >/dev/null

# A registry of about 1 MiB: keys under HKLM\Software\Bench with string,
# dword and binary values, written as a RAM registry image, restored and
# booted, as a device would get it.
python3 - "$dev/fs/seed.img" <<'PY'
import struct, sys
def rec(rtype, tag, name, data=None):
    n = (name + "\0").encode("utf-16-le")
    if rtype == 1:
        body = struct.pack("<HH", tag, len(n) // 2) + n
    else:
        body = struct.pack("<HHH", tag, len(n) // 2, len(data)) + n + data
    return struct.pack("<HH", len(body), rtype) + body
out = bytearray(struct.pack("<II", 0x1D8374B2, 0))
k = 0
while len(out) < 1024 * 1024:
    out += rec(1, 2, "Software\\Bench\\Key%05d" % k)
    out += rec(2, 1, "Name", ("Value of key %d" % k).encode("utf-16-le") + b"\0\0")
    out += rec(2, 4, "Index", struct.pack("<I", k))
    out += rec(2, 3, "Blob", bytes((k + i) & 0xFF for i in range(200)))
    k += 1
struct.pack_into("<I", out, 4, len(out))
open(sys.argv[1], "wb").write(out)
PY
"$BENCH_CORVANE" "r \\seed.img" || true
"$BENCH_CEDEVICE" reboot >/dev/null
rm -f "$dev/fs/seed.img"
"$BENCH_CORVANE" "s \\image.reg" || true
image=$dev/fs/image.reg
[ "$(stat -c %s "$image")" -gt 900000 ] || { echo "whole_run: the registry did not grow to 1 MiB" >&2; exit 1; }
cp "$image" "$BENCH_WORK/run-image.reg"

now() { date +%s%N; }
floor=(); save=(); restore=()
for run in $(seq 15); do
  t0=$(now); "$BENCH_CORVANE" "q \\none" || true; cp "$BENCH_WORK/run-image.reg" "$BENCH_WORK/run-copy.reg"; t1=$(now)
  floor+=($((t1 - t0)))
  rm -f "$dev/fs/saved.reg"
  t0=$(now); "$BENCH_CORVANE" "ls \\saved.reg" || true; t1=$(now)
  save+=($((t1 - t0)))
  t0=$(now); "$BENCH_CORVANE" "lr \\image.reg" || true; t1=$(now)
  restore+=($((t1 - t0)))
  rm -f "$dev/fs/Temp/"*.tmp
done
f=$(min "${floor[@]}")
figure run_save_vs_floor "$(awk -v a="$(min "${save[@]}")" -v b="$f" 'BEGIN { printf "%.2f", a / b }')" ratio
figure run_restore_vs_floor "$(awk -v a="$(min "${restore[@]}")" -v b="$f" 'BEGIN { printf "%.2f", a / b }')" ratio
