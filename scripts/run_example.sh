#!/usr/bin/env bash
# Runs Quillon on a copy of the bundled example package in a temporary
# directory and shows what the run leaves behind: the run log, the status
# file, the argument file with its progress marks, and the exit code.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh" example  # a compiler, cmake and the libraries
echo "Building Quillon and pxtool in $top/build (about a minute the first time)"
# The configure step's notes (no GoogleTest, no scdoc) do not concern the
# example; they are shown only when it fails.
if ! out=$(cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo 2>&1); then
  echo "$out" >&2
  exit 1
fi
cmake --build "$top/build" -j"$(nproc)" --target Quillon Quillon_fakereboot pxtool >/dev/null

work=$(mktemp -d /tmp/quillon-example.XXXXXX)
cp -r "$top/examples/hello/." "$work/"
echo "Package copied to $work"
# The run is the test build's: Quillon itself, but for where it keeps what
# it shares with the whole machine (the reboot-required marker, the history
# database, the run locks, the records of taken lines), which goes into
# $work/machine here, so that trying the example leaves nothing on the
# machine (the shipped Quillon writes /run and /var/lib/quillon).
machine="$work/machine"
mkdir -p "$machine"
echo "Running: Quillon $work pkg/px.arg (machine-wide files in $machine)"
# Quillon runs as root: it keeps its own state root's alone.
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
set +e
$sudo env QUILLON_REBOOT_MARKER_DIR="$machine" QUILLON_HISTORY_DIR="$machine/lib" \
  QUILLON_RUN_LOCK_DIR="$machine/run" QUILLON_STATE_DIR="$machine/lib" \
  "$top/build/bin/Quillon_fakereboot" "$work" pkg/px.arg
code=$?
set -e
show() { echo; echo "===== $1"; cat "$2"; echo; }
show "run log ($work/Quillon.log)" "$work/Quillon.log"
show "status file ($work/pkg/HandlerStatus.txt)" "$work/pkg/HandlerStatus.txt"
show "made by install.sh from the descrambled greeting.txt ($work/pkg/installed.txt)" "$work/pkg/installed.txt"
echo "===== execution directory after the run (staged copies removed): $(ls "$work/pkg" | tr '\n' ' ')"
show "argument file after the run ($work/pkg/px.arg)" "$work/pkg/px.arg"
show "reboot-required marker, the example asks for a delayed reboot ($machine/reboot-required.pkgs)" \
  "$machine/reboot-required.pkgs"
echo
echo "===== exit code: $code"
