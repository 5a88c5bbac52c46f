#!/usr/bin/env bash
# The installed programs, as a technician gets them:
#   1. `make package`: the hardened release build and its Debian package; lintian must report no
#      error, and the package must hold the programs, the desktop entry, the icon, the manual
#      pages and the documents;
#   2. `cmake --install` of the same build into a temporary DESTDIR with the prefix /usr;
#   3. as an unprivileged user (CI runs as root, who may write anywhere) with the installed bin
#      folder read-only: `vornik -?` names the XDG settings and log files, the three programs
#      show the one version, and an update from the installed vornik against the installed
#      vornik-sim succeeds, leaving the settings file and the log in the XDG folders and nothing
#      beside the executable.
# Every process started here is stopped by its pid; the temporary folder is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "install-check: FAILED: $*" >&2
  exit 1
}

make package
DEB=$(ls -t build-package/vornik_*.deb | head -n 1)
echo "install-check: package $DEB"

# --- the package -------------------------------------------------------------------------------
echo "install-check: lintian"
lintian_out=$(lintian --fail-on error "$DEB" 2>&1) || { echo "$lintian_out"; fail "lintian reports errors"; }
echo "${lintian_out:-lintian: no tags}"

contents=$(dpkg-deb --contents "$DEB" | awk '{print $6}')
for path in ./usr/bin/vornik ./usr/bin/vornik-tool ./usr/bin/vornik-sim \
  ./usr/share/applications/vornik.desktop ./usr/share/icons/hicolor/scalable/apps/vornik.svg \
  ./usr/share/man/man1/vornik.1.gz ./usr/share/man/man1/vornik-tool.1.gz ./usr/share/man/man1/vornik-sim.1.gz \
  ./usr/share/bash-completion/completions/vornik-tool \
  ./usr/share/doc/vornik/README.md ./usr/share/doc/vornik/copyright ./usr/share/doc/vornik/changelog.gz; do
  grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done
depends=$(dpkg-deb --field "$DEB" Depends)
for dep in libqt6core6 libqt6serialport6 libqt6widgets6 qt6-qpa-plugins; do
  grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
echo "install-check: package contents and dependencies ok"

# --- the installed tree --------------------------------------------------------------------------
STAGE=$(mktemp -d /tmp/vornik-install.XXXXXX)
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  chmod -R u+w "$STAGE" 2>/dev/null || true
  rm -rf "$STAGE"
}
trap cleanup EXIT

DESTDIR="$STAGE/root" cmake --install build-package --prefix /usr >/dev/null
BIN="$STAGE/root/usr/bin"
for page in "$STAGE"/root/usr/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "manual page $page: $warnings"
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate --no-hints "$STAGE/root/usr/share/applications/vornik.desktop" ||
    fail "the desktop entry does not validate"
fi

# The user: nobody, with a home of its own; the installed programs' folder is read-only.
USER_ID=65534
HOME_DIR="$STAGE/home"
mkdir -p "$HOME_DIR" "$STAGE/work"
chmod 0755 "$STAGE"
chown "$USER_ID:$USER_ID" "$HOME_DIR" "$STAGE/work"
chmod -R a+rX "$STAGE/root"
chmod 0555 "$BIN"
as_user() {
  setpriv --reuid="$USER_ID" --regid="$USER_ID" --clear-groups \
    env -i HOME="$HOME_DIR" PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"
}
INI="$HOME_DIR/.config/vornik/vornik.ini"
LOG="$HOME_DIR/.local/state/vornik/vornik.log"

set +e
usage=$(cd "$STAGE/work" && as_user "$BIN/vornik" -?)
rc=$?
set -e
[ "$rc" -eq 99 ] || fail "vornik -? exited with $rc"
grep -qx "A beallitasok fajlja: $INI" <<<"$usage" || fail "vornik -? does not name $INI:
$usage"
grep -qx "A naplo fajlja: $LOG" <<<"$usage" || fail "vornik -? does not name $LOG:
$usage"

version=$(as_user "$BIN/vornik" --version | sed 's/^vornik //')
grep -qx "Telvaro Vornik v$version" <<<"$usage" || fail "the caption does not show version $version"
for prog in vornik-tool vornik-sim; do
  shown=$(as_user "$BIN/$prog" --version)
  [ "$shown" = "$prog $version" ] || fail "$prog --version says '$shown', not '$prog $version'"
done
echo "install-check: vornik -? names the XDG files; every program shows version $version"

# An update from the installed vornik against the installed vornik-sim, over TCP loopback.
FW="$STAGE/work/demo-firmware.hex"
python3 scripts/make-demo-firmware.py "$FW" >/dev/null
chmod a+r "$FW"
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
as_user "$BIN/vornik-sim" --port "$PORT" --quiet >"$STAGE/sim.out" 2>&1 &
SIM_PID=$!
ready=0
for _ in $(seq 1 100); do
  kill -0 "$SIM_PID" 2>/dev/null || break
  if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then ready=1; break; fi
  sleep 0.1
done
[ "$ready" -eq 1 ] || fail "vornik-sim did not listen on 127.0.0.1:$PORT: $(cat "$STAGE/sim.out")"

set +e
out=$(cd "$STAGE/work" && as_user timeout 300 "$BIN/vornik" -start -ip 127.0.0.1 -port "$PORT" -address 178556 -fw "$FW")
rc=$?
set -e
[ "$rc" -eq 0 ] || fail "the installed vornik's update exited with $rc:
$out
$(cat "$STAGE/sim.out")"
kill "$SIM_PID"
wait "$SIM_PID" 2>/dev/null || true
SIM_PID=""

[ -s "$INI" ] || fail "no settings file at $INI"
grep -q '^\[DEBUG\]' "$INI" || fail "$INI lacks the DEBUG section"
[ -s "$LOG" ] || fail "no log at $LOG"
grep -q 'A firmware telepítése sikeresen befejeződött.' "$LOG" || fail "$LOG does not record the installation"
for f in "$BIN"/vornik.ini "$BIN"/vornik.log; do
  [ ! -e "$f" ] || fail "$f was written beside the executable"
done
echo "install-check: update as an unprivileged user from the installed programs: ok"

# A serial device file of group dialout that the user is not in: the log names the group.
NODE="$STAGE/dev/ttyUSB0"
mkdir -p "$STAGE/dev"
: >"$NODE"
chgrp dialout "$NODE"
chmod 0660 "$NODE"
chmod 0755 "$STAGE/dev"
printf '[SerialPorts]\nCOM1=%s\n' "$NODE" >>"$INI"
set +e
out=$(cd "$STAGE/work" && as_user timeout 300 "$BIN/vornik" -start -port 1 -baud 115200 -address 178556 -fw "$FW")
rc=$?
set -e
[ "$rc" -eq 2 ] || fail "an update over a serial port without permission exited with $rc, not 2:
$out"
grep -q "(no permission to open the device) - $NODE belongs to group dialout" "$LOG" ||
  fail "the log does not name the device file's group: $(grep -i "$NODE" "$LOG" | tail -3)"
set +e
out=$(cd "$STAGE/work" && as_user timeout 60 "$BIN/vornik-tool" identify --serial "$NODE" 2>&1)
rc=$?
set -e
[ "$rc" -eq 3 ] || fail "vornik-tool identify over a serial port without permission exited with $rc, not 3: $out"
grep -q "(no permission to open the device) - $NODE belongs to group dialout" <<<"$out" || fail "vornik-tool does not name the group: $out"
echo "install-check: a serial port without permission: vornik's log and vornik-tool name its group dialout"
echo "install-check: settings $INI, log $LOG"
echo "install-check: passed"
