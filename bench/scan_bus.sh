#!/usr/bin/env bash
# A scan of 254 addresses over a 115200-baud pseudo-terminal on which vornik-sim serves a bus of
# three devices (17, 18, 19): the wall time of `vornik-tool scan` with its default answer times
# (50 ms, one try). The target is under 40 s. Builds nothing.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
out=$(mktemp -d)
"$bin/vornik-sim" --bus 3 --address 17 --pty --no-tcp --quiet --baud 115200 >"$out/sim" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$out"' EXIT
pty=""
for _ in $(seq 50); do
  pty=$(grep -o '/dev/pts/[0-9]*' "$out/sim" | head -n1)
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -n "$pty" ] || { echo "vornik-sim printed no pseudo-terminal" >&2; exit 1; }
start=$(date +%s.%N)
"$bin/vornik-tool" scan --serial "$pty" --baud 115200 --json >"$out/scan.json" 2>/dev/null
rc=$?
end=$(date +%s.%N)
found=$(grep -o '"address":[0-9]*' "$out/scan.json" | tr '\n' ' ')
printf 'scan of 254 addresses, 3 answering, 115200 baud: %.1f s (exit %d; %s)\n' "$(echo "$end - $start" | bc)" "$rc" "$found"
[ "$rc" -eq 0 ]
