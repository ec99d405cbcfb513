#!/usr/bin/env bash
# Runs a Windows test program under Wine in a private prefix, made on first use.
#   wine-run.sh PREFIX PROGRAM.exe [args...]
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
# No Mono or Gecko installers: the tests need neither, and there is no network for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
status=0
wine "$@" || status=$?
wineserver -k 2>/dev/null || true
exit "$status"
