# lib.sh - helpers for the scripts of bench/figures/ (bench/run sources it).
# BENCH_BUILD is the Release build, BENCH_WORK a folder for work files.

BENCH_GEN=$BENCH_BUILD/bench/corvane_bench_gen
BENCH_REWRITE=$BENCH_BUILD/bench/corvane_bench_rewrite
BENCH_DEVICE=$BENCH_WORK/device

# figure NAME VALUE UNIT: one line of the report.
figure() { printf '%s %s %s\n' "$1" "$2" "$3"; }

# bench_image NAME SIZE [generator options]: the path of a synthetic image,
# made once per NAME.
bench_image() {
  local name=$1 size=$2; shift 2
  local path=$BENCH_WORK/images/$name.img
  if [ ! -f "$path" ]; then
    mkdir -p "$BENCH_WORK/images"
    "$BENCH_GEN" "$path.part" "$size" "$@" >/dev/null
    mv "$path.part" "$path"
  fi
  echo "$path"
}

# bench_device: makes the simulated device once.
bench_device() { "$BENCH_REWRITE" init "$BENCH_DEVICE"; }

# bench_quiet: writes out what earlier steps left dirty in the page cache,
# so that their write-back does not run during the next timed step (every
# timed step, cp's included, starts this way).
bench_quiet() { sync; }

# bench_rewrite OP IMAGE [WRAPPER...]: copies IMAGE to \bench.img on the
# device and runs OP (repair or reorder) on it, under WRAPPER if given.
# Prints the driver's line: result=R seconds=S peak_kib=K.
bench_rewrite() {
  local op=$1 image=$2; shift 2
  bench_device
  cp "$image" "$BENCH_DEVICE/fs/bench.img"
  bench_quiet
  "$@" "$BENCH_REWRITE" "$op" "$BENCH_DEVICE" '\bench.img'
}

# field NAME LINE: the value of NAME=... in a driver line.
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# bench_cp_seconds IMAGE: the wall time of cp of IMAGE into the device.
bench_cp_seconds() {
  bench_device
  local start end
  rm -f "$BENCH_DEVICE/fs/copy.img"
  bench_quiet
  start=$(date +%s%N)
  cp "$1" "$BENCH_DEVICE/fs/copy.img"
  end=$(date +%s%N)
  rm -f "$BENCH_DEVICE/fs/copy.img"
  awk -v ns=$((end - start)) 'BEGIN { printf "%.6f\n", ns / 1e9 }'
}

# min VALUES...: the smallest.
min() { printf '%s\n' "$@" | sort -g | head -1; }

# bench_hives FS SIZE: two hive files of SIZE (head -c units) each, of random
# bytes, as \Temp\sys.hv and \Temp\usr.hv of the device whose root is FS
# (made once per size).
bench_hives() {
  local fs=$1 size=$2 name
  mkdir -p "$BENCH_WORK/hives"
  for name in sys usr; do
    if [ ! -f "$BENCH_WORK/hives/$name-$size" ]; then
      head -c "$size" /dev/urandom >"$BENCH_WORK/hives/$name-$size.part"
      mv "$BENCH_WORK/hives/$name-$size.part" "$BENCH_WORK/hives/$name-$size"
    fi
    cp "$BENCH_WORK/hives/$name-$size" "$fs/Temp/$name.hv"
  done
}
