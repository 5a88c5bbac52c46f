#!/usr/bin/env bash
# The command-line update against the simulated device, end to end:
#   1. writes a demo firmware (HEX with an information block) with scripts/make-demo-firmware.py,
#   2. starts build/bin/vornik-sim on 127.0.0.1 on a free port,
#   3. runs build/bin/vornik -start -ip 127.0.0.1 -port <port> -address 178556 -fw <demo file>,
#   4. shows the simulator's install summary and checks the installed image against the HEX file,
#   5. stops the simulator by its pid and exits with vornik's exit code.
# Run by `make demo` after setup and build.
set -uo pipefail
cd "$(dirname "$0")/.."

BIN=${VORNIK_BIN_DIR:-build/bin}
ADDRESS=178556
WORK=build/demo
mkdir -p "$WORK"
FW="$WORK/demo-firmware.hex"
SIMLOG="$WORK/vornik-sim.out"
INSTALLED="$WORK/installed.bin"

for prog in vornik vornik-sim; do
  if [ ! -x "$BIN/$prog" ]; then
    echo "demo: $BIN/$prog is missing; run 'make build' first." >&2
    exit 1
  fi
done

python3 scripts/make-demo-firmware.py "$FW" || { echo "demo: could not write the demo firmware" >&2; exit 1; }
echo "demo: firmware $FW ($(wc -c <"$FW") bytes of HEX)"

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
rm -f "$INSTALLED"
"$BIN/vornik-sim" --port "$PORT" --address "$ADDRESS" --save-image "$INSTALLED" >"$SIMLOG" 2>&1 &
SIM_PID=$!
stop_sim() {
  if kill -0 "$SIM_PID" 2>/dev/null; then
    kill "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
}
trap stop_sim EXIT

# Wait (at most 10 s) until the simulator accepts connections.
ready=0
for _ in $(seq 1 100); do
  if ! kill -0 "$SIM_PID" 2>/dev/null; then break; fi
  if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then ready=1; break; fi
  sleep 0.1
done
if [ "$ready" -ne 1 ]; then
  echo "demo: vornik-sim did not start listening on 127.0.0.1:$PORT" >&2
  cat "$SIMLOG" >&2
  exit 1
fi
echo "demo: vornik-sim (pid $SIM_PID) listens on 127.0.0.1:$PORT as device $ADDRESS"
echo "demo: running $BIN/vornik -start -ip 127.0.0.1 -port $PORT -address $ADDRESS -fw $FW"
echo "------------------------------------------------------------------------"
"$BIN/vornik" -start -ip 127.0.0.1 -port "$PORT" -address "$ADDRESS" -fw "$FW"
RC=$?
echo "------------------------------------------------------------------------"
echo "demo: vornik exit code $RC"

# Let the simulator finish its summary, then stop it.
sleep 0.3
stop_sim
trap - EXIT
echo "demo: simulator's install summary ($(wc -l <"$SIMLOG") lines in $SIMLOG):"
if grep -qE '^(Installed |vornik-sim: stopped)' "$SIMLOG"; then
  grep -E '^(Installed |vornik-sim: stopped)' "$SIMLOG" | sed 's/^/  /'
else
  tail -n 8 "$SIMLOG" | sed 's/^/  /'
fi

if [ -s "$INSTALLED" ] && command -v objcopy >/dev/null; then
  objcopy -I ihex -O binary "$FW" "$WORK/expected.bin"
  if cmp -s "$INSTALLED" "$WORK/expected.bin"; then
    echo "demo: the installed image equals the firmware file ($(wc -c <"$INSTALLED") bytes)"
  else
    echo "demo: the installed image differs from the firmware file" >&2
    [ "$RC" -eq 0 ] && RC=1
  fi
fi
exit "$RC"
