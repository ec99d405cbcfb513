#!/usr/bin/env bash
# Builds and runs the benchmarks: the log poll (writes logs of up to 1 GB to a temporary
# folder), key injection and the launcher's start-up beside a bare Qt window (each on a
# private Xvfb). They print figures and assert nothing.
#   tools/run-benchmarks.sh [logpoll|tapstrike|startup]...
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$(nproc)" --target logpoll_bench tapstrike_bench \
  bare_window launcher standin_server
which=("$@")
[ ${#which[@]} -gt 0 ] || which=(logpoll tapstrike startup)
for bench in "${which[@]}"; do
  case $bench in
    logpoll) build/bin/logpoll_bench ;;
    tapstrike) python3 tests/xharness.py --no-tray -- build/bin/tapstrike_bench 20000 ;;
    startup) python3 tests/xharness.py -- python3 bench/startup_bench.py build/bin/launcher \
               build/bin/bare_window ;;
    *) echo "unknown benchmark: $bench" >&2; exit 2 ;;
  esac
done
