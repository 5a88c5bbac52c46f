#!/usr/bin/env bash
# Devices that connect in, updated by `vornik-tool listen` over TCP loopback:
#   1. one `vornik-sim --connect` device alone: `listen --count 1`;
#   2. N devices dialling in at once: `listen --count N --parallel N`;
# same image, same run. Wall time of the listen process from the moment the devices dial to its
# exit (limit: N devices at most 1.5x one alone), peak RSS, CPU per device. The devices announce
# themselves (--announce); every later connection after a restart does so anyway.
# Uses /usr/bin/time -v. Every process started here is stopped by its pid.
#   bench/listen_update.sh [devices, default 50] [image size in bytes, default 65536] [vornik-sim options...]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
n=${1:-50}
size=${2:-65536}
shift 2 2>/dev/null || shift $#
sim_extra=("$@")
for prog in vornik-tool vornik-sim; do
  if [ ! -x "$bindir/$prog" ]; then echo "missing $bindir/$prog (build first)" >&2; exit 1; fi
done
if [ ! -x /usr/bin/time ]; then echo "missing /usr/bin/time (package time)" >&2; exit 1; fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then kill "$pid"; wait "$pid" 2>/dev/null; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

python3 "$root/scripts/make-demo-firmware.py" "$work/fw.hex" --size "$size" >/dev/null || exit 1
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# run_listen LABEL DEVICES: listen, then DEVICES sims dialling in; prints "wall_ms rc"
run_listen() {
  local label=$1 count=$2 port
  port=$(free_port)
  mkdir -p "$work/logs-$label"
  /usr/bin/time -v -o "$work/t_$label" "$bindir/vornik-tool" listen --listen-port "$port" --bind 127.0.0.1 \
    --fw "$work/fw.hex" --count "$count" --parallel "$count" --idle-timeout 600 --log-dir "$work/logs-$label" \
    --json >"$work/$label.json" 2>"$work/$label.err" &
  local lpid=$!
  pids+=($lpid)
  for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
  local first=${#pids[@]}
  local t0
  t0=$(now_ms)
  for i in $(seq 1 "$count"); do
    "$bindir/vornik-sim" --connect "127.0.0.1:$port" --announce --address $((200000 + i)) --quiet "${sim_extra[@]}" \
      >"$work/sim-$label-$i.out" 2>&1 &
    pids+=($!)
  done
  wait "$lpid"
  local rc=$?
  local t1
  t1=$(now_ms)
  for pid in "${pids[@]:$first}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  echo "$((t1 - t0)) $rc"
}

read -r s_ms s_rc < <(run_listen single 1)
read -r f_ms f_rc < <(run_listen many "$n")
cpu() { awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$1"; }
rss() { awk -F': ' '/Maximum resident set size/ {print $2}' "$1"; }
okcount() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["ok"], d["failed"])' "$1" 2>/dev/null || echo "? ?"; }
read -r s_ok s_failed < <(okcount "$work/single.json")
read -r f_ok f_failed < <(okcount "$work/many.json")

echo "image $size bytes, TCP loopback, vornik-sim --connect --announce ${sim_extra[*]}"
printf "one device alone     : exit %d, ok %s failed %s, wall %.2f s, CPU %.3f s, peak RSS %d KiB\n" \
  "$s_rc" "$s_ok" "$s_failed" "$(awk -v m="$s_ms" 'BEGIN {print m / 1000}')" "$(cpu "$work/t_single")" "$(rss "$work/t_single")"
printf "%-3d devices at once  : exit %d, ok %s failed %s, wall %.2f s, CPU %.3f s (%.4f s per device), peak RSS %d KiB\n" \
  "$n" "$f_rc" "$f_ok" "$f_failed" "$(awk -v m="$f_ms" 'BEGIN {print m / 1000}')" "$(cpu "$work/t_many")" \
  "$(awk -v c="$(cpu "$work/t_many")" -v n="$n" 'BEGIN {print c / n}')" "$(rss "$work/t_many")"
awk -v f="$f_ms" -v s="$s_ms" 'BEGIN { printf "wall many/one        : %.2f (limit 1.50)\n", f / s }'
[ "$s_rc" -eq 0 ] && [ "$f_rc" -eq 0 ] && [ "$f_ok" = "$n" ]
