#!/usr/bin/env bash
# Runs every built fuzz target for a while on a copy of its seed corpus.
#   fuzz/run.sh SECONDS
# Targets are the executables build-fuzz/fuzz/fuzz_* (cmake --preset fuzz; cmake --build build-fuzz).
# The corpus in fuzz/corpus/<name>/ is copied first so that the repository stays clean; crash
# reproducers land in build-fuzz/artifacts/. Exits non-zero when any target crashed.
set -u

if [ $# -ne 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
seconds=$1
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_FUZZ_BIN_DIR:-$root/build-fuzz/fuzz}
artifacts=$root/build-fuzz/artifacts
mkdir -p "$artifacts"

shopt -s nullglob
targets=("$bindir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $bindir (cmake --preset fuzz && cmake --build build-fuzz)" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for exe in "${targets[@]}"; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  name=$(basename "$exe")
  name=${name#fuzz_}
  corpus=$work/$name
  mkdir -p "$corpus"
  if [ -d "$root/fuzz/corpus/$name" ]; then
    cp -R "$root/fuzz/corpus/$name/." "$corpus/"
  fi
  log=$work/$name.log
  start=$(date +%s)
  "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
    "$corpus" >"$log" 2>&1
  rc=$?
  elapsed=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  [ -n "$execs" ] || execs=$(grep -o '^#[0-9]*' "$log" | tail -n 1 | tr -d '#')
  [ -n "$execs" ] || execs=0
  if [ $rc -eq 0 ]; then
    echo "$name: ran $elapsed s, $execs execs, no crash"
  else
    failed=1
    artifact=$(grep -o "Test unit written to [^ ]*" "$log" | tail -n 1 | sed 's/Test unit written to //')
    echo "$name: CRASH after $elapsed s (exit $rc), reproducer: ${artifact:-none}"
    grep -m 1 -E "ERROR: |runtime error|deadly signal" "$log" | sed 's/^/  /'
    cp "$log" "$artifacts/$name.log"
    echo "  full log: $artifacts/$name.log"
  fi
done
exit $failed
