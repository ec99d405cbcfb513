#!/usr/bin/env bash
# Runs a Windows test program under Wine in a private prefix.
#   wine-run.sh PREFIX --setup               make the prefix (once; the tests' fixture)
#   wine-run.sh PREFIX --stop                end every Wine process of the prefix
#   wine-run.sh PREFIX SECONDS PROGRAM.exe [args...]
# A crash ends the run at once with a message that says so: the prefix has no debugger to
# wait at. A program still running after SECONDS is stopped. Either way the run ends with no
# Wine process of the prefix left behind.
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
# No Mono or Gecko installers: the tests need neither, and there is no network for them.
export WINEDLLOVERRIDES="mscoree,mshtml="

case ${1:-} in
  --setup)
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      mkdir -p "$WINEPREFIX"
      wineboot -i >/dev/null 2>&1
      # An empty debugger command: an unhandled exception ends the program instead of
      # starting winedbg, which would wait for somebody at its crash dialog.
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /d "" /f >/dev/null 2>&1
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Auto /d 1 /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.ready"
    fi
    exit 0 ;;
  --stop)
    wineserver -k 2>/dev/null || true
    exit 0 ;;
esac

limit=$1
program=$(basename "$2")
shift
errors=$(mktemp)
trap 'wineserver -k 2>/dev/null || true; rm -f "$errors"' EXIT
trap 'exit 143' TERM INT HUP

status=0
timeout -k 5 "$limit" wine "$@" 2> >(tee "$errors" >&2) || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "wine-run: $program ran past ${limit} s and was stopped" >&2
elif grep -q '^wine: Unhandled' "$errors"; then
  echo "wine-run: $program crashed: $(grep -m1 '^wine: Unhandled' "$errors" | sed 's/, starting debugger.*//')" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
