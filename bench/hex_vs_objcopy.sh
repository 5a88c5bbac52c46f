#!/usr/bin/env bash
# Reads one 4 MB Intel HEX file (1.5 MiB of data in four segments with gaps, extended linear
# address records, 16-byte records as linkers write them) with `vornik-tool hex2bin` and with
# `objcopy -I ihex -O binary` in the same run, and prints wall time and peak RSS side by side
# (best of several runs each). Both outputs must be the same bytes.
#
# Targets: vornik-tool faster than objcopy; its peak RSS under 3 x image size plus the process
# baseline (the RSS of `vornik-tool --help`). Exits non-zero when an output differs or a target
# is missed.
#   bench/hex_vs_objcopy.sh            (uses build/bin, or VORNIK_BENCH_BIN_DIR)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
tool=$bindir/vornik-tool
runs=${RUNS:-5}

for need in objcopy srec_cat /usr/bin/time; do
  command -v "$need" >/dev/null || { echo "missing $need" >&2; exit 1; }
done
[ -x "$tool" ] || { echo "missing $tool (build the default preset first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Four code segments; the image runs from the first to the end of the last (gaps 0xFF).
python3 - "$work" <<'EOF'
import random, sys
random.seed(7)
for name, size in (("a", 400 * 1024), ("b", 300 * 1024), ("c", 500 * 1024), ("d", 336 * 1024)):
    open(f"{sys.argv[1]}/{name}.bin", "wb").write(bytes(random.getrandbits(8) for _ in range(size)))
EOF
srec_cat "$work/a.bin" -binary -offset 0x010000 \
         "$work/b.bin" -binary -offset 0x090000 \
         "$work/c.bin" -binary -offset 0x120000 \
         "$work/d.bin" -binary -offset 0x1C0000 \
         -o "$work/fw.hex" -intel -Output_Block_Size=16

hex_size=$(stat -c %s "$work/fw.hex")

# best_of CMD...: runs CMD $runs times under /usr/bin/time; prints "seconds max_rss_kb": the
# fastest run's wall time (measured around the run, to the microsecond) and the largest RSS seen.
best_of() {
  local best_t="" max_m=0 t m t0 t1
  for _ in $(seq "$runs"); do
    t0=$EPOCHREALTIME
    /usr/bin/time -f "%M" -o "$work/time.txt" "$@" >/dev/null 2>&1
    t1=$EPOCHREALTIME
    read -r m <"$work/time.txt"
    t=$(awk "BEGIN{printf \"%.4f\", $t1 - $t0}")
    if [ -z "$best_t" ] || awk "BEGIN{exit !($t < $best_t)}"; then best_t=$t; fi
    [ "$m" -gt "$max_m" ] && max_m=$m
  done
  echo "$best_t $max_m"
}

read -r base_t base_m < <(best_of "$tool" --help)
read -r our_t our_m < <(best_of "$tool" hex2bin "$work/fw.hex" "$work/ours.bin")
read -r obj_t obj_m < <(best_of objcopy -I ihex -O binary --gap-fill 0xFF "$work/fw.hex" "$work/objcopy.bin")

image_size=$(stat -c %s "$work/ours.bin")
if ! cmp -s "$work/ours.bin" "$work/objcopy.bin"; then
  echo "FAIL: vornik-tool and objcopy wrote different images" >&2
  exit 1
fi

limit_kb=$(( base_m + 3 * image_size / 1024 ))
printf 'HEX file %d bytes, image %d bytes, best of %d runs\n' "$hex_size" "$image_size" "$runs"
printf '%-28s %10s %14s\n' "reader" "wall s" "peak RSS KiB"
printf '%-28s %10s %14s\n' "vornik-tool hex2bin" "$our_t" "$our_m"
printf '%-28s %10s %14s\n' "objcopy -I ihex -O binary" "$obj_t" "$obj_m"
printf '%-28s %10s %14s\n' "vornik-tool --help (base)" "$base_t" "$base_m"
printf 'RSS limit (base + 3 x image): %d KiB\n' "$limit_kb"

status=0
if awk "BEGIN{exit !($our_t < $obj_t)}"; then echo "time: faster than objcopy"; else echo "time: MISSED (not faster than objcopy)"; status=1; fi
if [ "$our_m" -lt "$limit_kb" ]; then echo "memory: within the limit"; else echo "memory: MISSED"; status=1; fi
exit $status
