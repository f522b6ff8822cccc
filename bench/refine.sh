#!/usr/bin/env bash
# Classic against refined search on Nguyen, Feynman, pure-noise and diabetes
# data: builds refine_bench, writes the problem set, runs both searches on
# every problem (one after the other; the library uses the cores itself) and
# prints the markdown table, per-law detail included.
#
#   bench/refine.sh            the full set: 3 noise levels x 3 seeds, 20 noise sets
#   bench/refine.sh --quick    noise 0, one seed, 5 noise sets
#   CLASSIC_ONLY=1 bench/refine.sh   leave the refined search out
#
# Everything goes to build/refine_bench/ (BUILD_DIR to change it): the build,
# the suite, results.jsonl (one line per problem and search) and table.md.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_DIR:-$root/build/refine_bench}
jobs=${JOBS:-2}
quick=()
[[ "${1:-}" == "--quick" ]] && quick=(--quick)
flags=()
[[ -n "${CLASSIC_ONLY:-}" ]] && flags=(--classic-only)

cmake -S "$root" -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DQUORVEX_WERROR=ON \
  -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_BENCH=ON -DQUORVEX_BUILD_TOOLS=ON >/dev/null
cmake --build "$out/build" -j "$jobs" --target refine_bench >/dev/null

rm -rf "$out/suite"
/usr/bin/python3 "$root/bench/refine_suite.py" "${quick[@]}" "$out/suite"
start=$(date +%s)
"$out/build/bench/refine_bench" "${flags[@]}" "$out/suite" >"$out/results.jsonl"
echo "searches took $(($(date +%s) - start)) s; load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
/usr/bin/python3 "$root/bench/refine_table.py" "$out/suite" "$out/results.jsonl" --detail | tee "$out/table.md"
