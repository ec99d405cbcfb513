#!/usr/bin/env bash
# Runs a cross-built Qt test under Wine and prints its report. A Windows console program's
# output does not reliably reach the terminal through Wine, so QTest writes the report to a
# file, printed once the run has ended (also when it crashed or was stopped).
#   wine-qtest.sh WINE_RUN PREFIX SECONDS TEST.exe [test arguments...]
set -uo pipefail
wine_run=$1 prefix=$2 limit=$3 exe=$4
shift 4
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
"$wine_run" "$prefix" "$limit" "$exe" -o "$folder/report.txt,txt" "$@"
status=$?
cat "$folder/report.txt" 2>/dev/null || echo "wine-qtest: $(basename "$exe") wrote no report"
exit "$status"
