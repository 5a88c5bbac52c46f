#!/usr/bin/env bash
# Window figures:
#  - first paint: ms from process start to the main window's first paint under Xvfb (5 runs);
#  - a 256 KiB update over TCP loopback against vornik-sim started from the window (offscreen,
#    Qt's event loop and real sockets) next to the same update by `vornik -start`, in the same
#    run, with wall time and peak RSS of each (/usr/bin/time -v).
#   bench/window.sh [image size in bytes, default 262144]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
size=${1:-262144}
for prog in vornik vornik-sim bench_window; do
  if [ ! -x "$bindir/$prog" ]; then echo "missing $bindir/$prog (build first)" >&2; exit 1; fi
done
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then kill "$sim_pid"; wait "$sim_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

if command -v xvfb-run >/dev/null; then
  for _ in 1 2 3 4 5; do xvfb-run -a "$bindir/bench_window" first-paint 2>/dev/null; done
else
  echo "xvfb-run missing: first paint not measured"
fi

cp "$bindir/vornik" "$work/vornik"
python3 "$root/scripts/make-demo-firmware.py" "$work/fw.hex" --start 0x4000 --size "$size" || exit 1
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$bindir/vornik-sim" --port "$port" --address 178556 --quiet >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

stat() {  # $1 label, $2 time -v output
  awk -v label="$1" -F': ' '/Elapsed \(wall clock\)/ {wall=$2} /Maximum resident set size/ {rss=$2}
    END {printf "%-22s wall %s  peak RSS %d KiB\n", label, wall, rss}' "$2"
}
/usr/bin/time -v -o "$work/t_cmd" "$work/vornik" -start -ip 127.0.0.1 -port "$port" -address 178556 \
  -fw "$work/fw.hex" >/dev/null 2>&1
echo "vornik -start exit $?"
/usr/bin/time -v -o "$work/t_win" "$bindir/bench_window" update "$port" "$work/fw.hex" 2>/dev/null | grep -v '^message'
stat "vornik -start" "$work/t_cmd"
stat "window (offscreen)" "$work/t_win"
