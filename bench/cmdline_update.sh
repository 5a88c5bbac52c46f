#!/usr/bin/env bash
# Command-line update timing: wall time, CPU time and peak RSS of
#   vornik -start -ip 127.0.0.1 -port P -address 178556 -fw <256 KiB image>
# against vornik-sim over TCP loopback (default settings file: 128-byte blocks, one packet per
# block), and the start-up time of `vornik -start -?` (best of five). Uses /usr/bin/time -v.
#   bench/cmdline_update.sh [image size in bytes, default 262144]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
size=${1:-262144}
for prog in vornik vornik-sim; do
  if [ ! -x "$bindir/$prog" ]; then echo "missing $bindir/$prog (build first)" >&2; exit 1; fi
done
if [ ! -x /usr/bin/time ]; then echo "missing /usr/bin/time (package time)" >&2; exit 1; fi

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then kill "$sim_pid"; wait "$sim_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A private copy, so the settings file and the log beside it start fresh.
cp "$bindir/vornik" "$work/vornik"
python3 "$root/scripts/make-demo-firmware.py" "$work/fw.hex" --start 0x4000 --size "$size" || exit 1

report() {  # $1 = label, $2 = time -v output file
  awk -v label="$1" -F': ' '
    /Elapsed \(wall clock\)/ {wall=$2}
    /User time/ {user=$2}
    /System time/ {sys=$2}
    /Maximum resident set size/ {rss=$2}
    END {printf "%-28s wall %s  user %ss  sys %ss  peak RSS %d KiB\n", label, wall, user, sys, rss}' "$2"
}

best=
for _ in 1 2 3 4 5; do
  /usr/bin/time -v -o "$work/t_usage" "$work/vornik" -start -? >/dev/null 2>&1
  w=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/t_usage")
  if [ -z "$best" ] || [[ "$w" < "$best" ]]; then best=$w; cp "$work/t_usage" "$work/t_best"; fi
done
report "vornik -start -? (best of 5)" "$work/t_best"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$bindir/vornik-sim" --port "$port" --address 178556 --quiet >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
/usr/bin/time -v -o "$work/t_update" "$work/vornik" -start -ip 127.0.0.1 -port "$port" -address 178556 \
  -fw "$work/fw.hex" >"$work/update.out" 2>&1
rc=$?
report "update of $size bytes (TCP)" "$work/t_update"
echo "exit code $rc; last line: $(tail -n 1 "$work/update.out")"
exit "$rc"
