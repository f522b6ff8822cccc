#!/bin/sh
# Runs each extreme discovery in its own process and prints its wall time and
# peak resident memory. Slow (minutes) and memory-hungry (up to ~1 GiB), so it
# is not part of ctest. Usage: tests/stress/extremes.sh [build-dir]
# (the build directory of an optimised build, default build/release).
set -eu
build=${1:-build/release}
host=$build/tests/stress/extreme_host
[ -x "$host" ] || { echo "no $host: build the extreme_host target first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time, package time)" >&2; exit 1; }

for scenario in depth-1000 depth-max probe-1000 probe-max population-1 population-1e6 \
                generations-1e4 test-fraction-1e-300 test-fraction-0.9999999 rows-0 \
                names-1MiB features-5000; do
  /usr/bin/time -f "  -> %e s wall, %M KiB peak RSS, exit %x" "$host" "$scenario" 2>&1
done
