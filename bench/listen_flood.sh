#!/usr/bin/env bash
# `vornik-tool listen` under a connection flood on loopback: RANDOM (default 1000) connections that
# send random bytes (1 KiB a second each), IDLE (default 1000) connections that send nothing and
# VALID (default 1500) connections that each send one valid KRVW frame from a random unlisted
# sender address and then stay silent; one real device (vornik-sim --connect, with --announce
# unless other vornik-sim options are given) dials in during the flood. Limits: the device is
# identified and updated within 30 s of dialling in, peak RSS of listen under 64 MB, its open
# descriptors never above what its limits allow (the unserved connections it keeps, the served
# ones and its own files), its log folder grows by less than 10 MB, listen exits normally.
# Uses /usr/bin/time -v. Every process started here is stopped by its pid.
#   bench/listen_flood.sh [random, default 1000] [idle, default 1000] [valid, default 1500]
#                         [image size, default 65536] [vornik-sim options...]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
nrandom=${1:-1000}
nidle=${2:-1000}
nvalid=${3:-1500}
size=${4:-65536}
shift 4 2>/dev/null || shift $#
sim_extra=("$@")
[ ${#sim_extra[@]} -eq 0 ] && sim_extra=(--announce)
# listen's limits, given explicitly so the bound below is the one in force (defaults: listen's)
max_unidentified=${MAX_UNIDENTIFIED:-256}
max_per_address=${MAX_PER_ADDRESS:-64}
parallel=16
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
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/logs"
/usr/bin/time -v -o "$work/t_listen" "$bindir/vornik-tool" listen --listen-port "$port" --bind 127.0.0.1 \
  --fw "$work/fw.hex" --address 178556 --count 1 --idle-timeout 300 --log-dir "$work/logs" --json \
  --max-unidentified "$max_unidentified" --max-per-address "$max_per_address" --parallel "$parallel" \
  >"$work/listen.json" 2>"$work/listen.err" &
lpid=$!
pids+=($lpid)
for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
# listen itself is the child of time
tpid=$(cat "/proc/$lpid/task/$lpid/children" 2>/dev/null | awk '{print $1}')
base_fds=$(ls "/proc/$tpid/fd" 2>/dev/null | wc -l)
log_before=$(du -sb "$work/logs" | cut -f1)

python3 "$root/bench/flood_clients.py" 127.0.0.1 "$port" --random "$nrandom" --idle "$nidle" --valid "$nvalid" \
  --skip 178556 --seconds 120 >"$work/flood.out" 2>&1 &
fpid=$!
pids+=($fpid)
sleep 3
t0=$(date +%s%N)
"$bindir/vornik-sim" --connect "127.0.0.1:$port" --quiet "${sim_extra[@]}" >"$work/sim.out" 2>&1 &
spid=$!
pids+=($spid)
max_fds=0
for _ in $(seq 1 1800); do
  kill -0 "$lpid" 2>/dev/null || break
  n=$(ls "/proc/$tpid/fd" 2>/dev/null | wc -l)
  [ "$n" -gt "$max_fds" ] && max_fds=$n
  sleep 0.1
done
if kill -0 "$lpid" 2>/dev/null; then kill "$lpid"; fi
wait "$lpid"
rc=$?
t1=$(date +%s%N)
kill "$fpid" 2>/dev/null; wait "$fpid" 2>/dev/null
kill "$spid" 2>/dev/null; wait "$spid" 2>/dev/null
log_after=$(du -sb "$work/logs" | cut -f1)
rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/t_listen")
result=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["devices"][0]["result"] if d["devices"] else "none")' \
  "$work/listen.json" 2>/dev/null || echo "?")
srv="$work/logs/server.log"
count() { grep -c "$1" "$srv" 2>/dev/null; }

# what listen may hold: its own descriptors, the unserved connections (every flood connection comes
# from 127.0.0.1, so the tighter of the two limits), the served devices with their logs, and slack
unserved=$max_unidentified
if [ "$max_per_address" -gt 0 ] && { [ "$unserved" -eq 0 ] || [ "$max_per_address" -lt "$unserved" ]; }; then
  unserved=$max_per_address
fi
fd_limit=$((base_fds + unserved + 2 * parallel + 2))
seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print (b - a) / 1e9}')
echo "flood: $nrandom random + $nidle idle + $nvalid valid-frame connections, then one device (image $size bytes, ${sim_extra[*]}), loopback"
printf "device dialled       : %s times\n" "$(grep -c "connected to" "$work/sim.out")"
cat "$work/flood.out"
printf "device               : %s %.1f s after dialling in (limit 30 s; listen exit %d)\n" "$result" "$seconds" "$rc"
printf "descriptors of listen: %d at most (%d before the flood; limit %d: %d unserved, %d per address)\n" \
  "$max_fds" "$base_fds" "$fd_limit" "$max_unidentified" "$max_per_address"
printf "ignored              : %s listed, %s more calls counted\n" \
  "$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(len(d["ignored"]))' "$work/listen.json" 2>/dev/null || echo "?")" \
  "$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d.get("ignored_more", 0))' "$work/listen.json" 2>/dev/null || echo "?")"
printf "server log lines     : %s new connections, %s closed over the limit, %s timed out, %s bad frames, %s unreadable-data\n" \
  "$(count 'Új kapcsolat')" "$(count 'legrégebbit bontom')" "$(count 'sem azonosította')" "$(count 'Hibás csomag')" \
  "$(count 'Ismeretlen adat')"
awk -v r="$rss" -v b="$log_before" -v a="$log_after" 'BEGIN {
  printf "peak RSS             : %.1f MB (limit 64 MB)\n", r / 1024
  printf "log growth           : %.2f MB (limit 10 MB)\n", (a - b) / 1048576
}'
[ "$rc" -eq 0 ] && [ "$result" = "fwrOk" ] && [ "$rss" -lt 65536 ] && [ $((log_after - log_before)) -lt 10485760 ] &&
  [ "$max_fds" -le "$fd_limit" ] && awk -v s="$seconds" 'BEGIN {exit !(s <= 30)}'
