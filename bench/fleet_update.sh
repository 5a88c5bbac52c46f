#!/usr/bin/env bash
# Fleet update and identification timing of vornik-tool against vornik-sim over TCP loopback:
#   1. `vornik-tool update` of one device alone (with its communication log, as every fleet device
#      has one), then `vornik-tool fleet --parallel N` over N other devices, same image, same run:
#      wall time (fleet / single), peak RSS (limit 20 MB + 1 MB per device) and CPU time per device
#      (fleet CPU / N against the single update's CPU, limit +20%);
#   2. `vornik-tool identify` end to end (process start to exit), ten runs: best and median
#      (limit 200 ms).
# Uses /usr/bin/time -v. Every simulator started here is stopped by its pid.
#   bench/fleet_update.sh [devices, default 50] [image size in bytes, default 65536]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
n=${1:-50}
size=${2:-65536}
for prog in vornik-tool vornik-sim; do
  if [ ! -x "$bindir/$prog" ]; then echo "missing $bindir/$prog (build first)" >&2; exit 1; fi
done
if [ ! -x /usr/bin/time ]; then echo "missing /usr/bin/time (package time)" >&2; exit 1; fi

work=$(mktemp -d)
sim_pids=()
cleanup() {
  for pid in "${sim_pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then kill "$pid"; wait "$pid" 2>/dev/null; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

python3 "$root/scripts/make-demo-firmware.py" "$work/fw.hex" --size "$size" || exit 1

# n + 1 free ports on 127.0.0.1: one for the device alone, n for the fleet.
mapfile -t ports < <(python3 -c '
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); socks.append(s)
for s in socks: print(s.getsockname()[1])
' $((n + 1)))
for port in "${ports[@]}"; do
  "$bindir/vornik-sim" --port "$port" --quiet >"$work/sim-$port.out" 2>&1 &
  sim_pids+=($!)
done
for port in "${ports[@]}"; do
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
done

field() {  # $1 = time -v output, $2 = label
  awk -F': ' -v key="$2" '$0 ~ key {print $2}' "$1"
}
seconds() {  # "m:ss.cc" or "h:mm:ss" -> seconds
  awk -v t="$1" 'BEGIN {n = split(t, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s}'
}

single=${ports[0]}
/usr/bin/time -v -o "$work/t_single" "$bindir/vornik-tool" update --ip 127.0.0.1 --port "$single" \
  --fw "$work/fw.hex" --log "$work/single.log" --json >"$work/single.json" 2>"$work/single.err"
single_rc=$?

: >"$work/devices.txt"
for port in "${ports[@]:1}"; do echo "127.0.0.1:$port:178556" >>"$work/devices.txt"; done
mkdir -p "$work/logs"
/usr/bin/time -v -o "$work/t_fleet" "$bindir/vornik-tool" fleet --fw "$work/fw.hex" --parallel "$n" \
  --log-dir "$work/logs" --json "$work/devices.txt" >"$work/fleet.json" 2>"$work/fleet.err"
fleet_rc=$?

s_wall=$(seconds "$(field "$work/t_single" 'Elapsed \\(wall clock\\)')")
s_cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$work/t_single")
s_rss=$(field "$work/t_single" 'Maximum resident set size')
f_wall=$(seconds "$(field "$work/t_fleet" 'Elapsed \\(wall clock\\)')")
f_cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$work/t_fleet")
f_rss=$(field "$work/t_fleet" 'Maximum resident set size')
ok=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["ok"])' "$work/fleet.json" 2>/dev/null || echo "?")

echo "image $size bytes, TCP loopback, vornik-sim defaults"
printf "single update        : exit %d, wall %.2f s, CPU %.3f s, peak RSS %d KiB\n" "$single_rc" "$s_wall" "$s_cpu" "$s_rss"
printf "fleet of %-3d         : exit %d, %s ok, wall %.2f s, CPU %.3f s (%.4f s per device), peak RSS %d KiB\n" \
  "$n" "$fleet_rc" "$ok" "$f_wall" "$f_cpu" "$(awk -v c="$f_cpu" -v n="$n" 'BEGIN {print c / n}')" "$f_rss"
awk -v fw="$f_wall" -v sw="$s_wall" -v fc="$f_cpu" -v sc="$s_cpu" -v n="$n" -v rss="$f_rss" 'BEGIN {
  printf "wall fleet/single    : %.2f (limit 1.50)\n", fw / sw
  printf "CPU per device/single: %.2f (limit 1.20)\n", (fc / n) / sc
  printf "peak RSS             : %.1f MB (limit %.1f MB)\n", rss / 1024, 20 + n
}'

# Identification, process start to exit.
times=()
for _ in $(seq 1 10); do
  t0=$(date +%s%N)
  "$bindir/vornik-tool" identify --ip 127.0.0.1 --port "$single" >/dev/null 2>&1
  rc=$?
  t1=$(date +%s%N)
  if [ $rc -ne 0 ]; then echo "identify failed with exit code $rc" >&2; exit 1; fi
  times+=($(((t1 - t0) / 1000000)))
done
sorted=$(printf "%s\n" "${times[@]}" | sort -n)
printf "identify end to end  : best %d ms, median %d ms (limit 200 ms)\n" \
  "$(echo "$sorted" | head -n 1)" "$(echo "$sorted" | sed -n 5p)"
[ "$single_rc" -eq 0 ] && [ "$fleet_rc" -eq 0 ]
