#!/usr/bin/env bash
# Runs every benchmark program (build/bin/bench_*) and then every other bench/*.sh script, with a
# heading per item. Builds nothing. Exits non-zero when any of them fails.
#   bench/run.sh [extra arguments for the benchmark programs]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bindir=${VORNIK_BENCH_BIN_DIR:-$root/build/bin}
failed=()

shopt -s nullglob
programs=("$bindir"/bench_*)
if [ ${#programs[@]} -eq 0 ]; then
  echo "no benchmark programs in $bindir (build the default preset first)" >&2
fi
for exe in "${programs[@]}"; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  # bench_window is a driver of bench/window.sh, not a benchmark program of its own.
  [ "$(basename "$exe")" = "bench_window" ] && continue
  echo
  echo "=== $(basename "$exe") ==="
  if ! "$exe" "$@"; then
    failed+=("$(basename "$exe")")
  fi
done

for script in "$root"/bench/*.sh; do
  [ "$(basename "$script")" = "run.sh" ] && continue
  echo
  echo "=== bench/$(basename "$script") ==="
  if ! bash "$script"; then
    failed+=("bench/$(basename "$script")")
  fi
done

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}"
  exit 1
fi
echo "all benchmarks finished"
