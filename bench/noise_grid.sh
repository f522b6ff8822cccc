#!/usr/bin/env bash
# How often the refined search's verdict says Strong on pure noise: writes the
# 500-set grid (bench/noise_grid.py), runs the refined search with its
# defaults on every set, two sets at a time, and prints the table
# (bench/noise_grid_table.py). About an hour on two shared cores.
#
#   bench/noise_grid.sh                 the whole grid
#   SETS_PER_CELL=4 bench/noise_grid.sh a fifth of it
#   GRID_VERBOSE=1                      also list each Strong formula
#
# Everything goes to build/noise_grid/ (BUILD_DIR to change it).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_DIR:-$root/build/noise_grid}
cmake -S "$root" -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DQUORVEX_WERROR=ON \
  -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_BENCH=ON -DQUORVEX_BUILD_TOOLS=ON >/dev/null
cmake --build "$out/build" -j 2 --target refine_bench >/dev/null
rm -rf "$out/grid"
/usr/bin/python3 "$root/bench/noise_grid.py" "$out/grid" --shards 2 \
  --sets-per-cell "${SETS_PER_CELL:-20}"
for k in 0 1; do
  "$out/build/bench/refine_bench" --refined-only "$out/grid/shard-$k" >"$out/results-$k.jsonl" &
done
wait
/usr/bin/python3 "$root/bench/noise_grid_table.py" "$out/grid" "$out"/results-*.jsonl |
  tee "$out/table.md"
