#!/usr/bin/env bash
# Classic against refined search on Nguyen, Feynman, damped-oscillation,
# pure-noise and diabetes data: builds refine_bench, writes the problem set,
# runs the searches on every problem (one after the other; the library uses
# the cores itself) and prints the markdown table, per-law detail included.
#
#   bench/refine.sh                     the full set: the first 12 Nguyen and 28
#                                       Feynman laws at noise 0, 1% and 10%, the
#                                       added laws (sin, cos, tanh and more
#                                       Feynman) and the oscillation at 0 and 1%;
#                                       3 seeds, 20 noise sets, diabetes
#   bench/refine.sh --quick             noise 0, one seed, 5 noise sets, diabetes
#   bench/refine.sh --extended          the laws only (all Nguyen and Feynman
#                                       laws, the oscillation) at noise 0 and 1%,
#                                       one seed
#   bench/refine.sh --extended --quick  the same at noise 0 alone
#   bench/refine.sh --second            the second benchmark (bench/second_laws.py:
#                                       published benchmark families and lab laws)
#                                       at noise 0 and 1%, one seed
#   bench/refine.sh --second --quick    the same at noise 0 alone
#
#   SEEDS=N             the first N of the seeds 1, 2, 3 (default: 3, one with
#                       --quick or --extended)
#   OPERATOR_SETS=LIST  the refined search's operator sets, ';' between them:
#                       one refined run per set, one table column each. A set
#                       is "default" (the library's: + - * / pow exp log sqrt
#                       sin cos), "all" or a list such as
#                       "+,-,*,/,pow,exp,log,sqrt" (the set before sin and
#                       cos). Default: "default". E.g.
#                       OPERATOR_SETS='default;all;+,-,*,/,pow,exp,log,sqrt'
#   CLASSIC_ONLY=1      leave the refined search out
#   REFINED_ONLY=1      leave the classic search out
#   ONLY=TEXT           only the problems whose name contains TEXT
#   UNITS=1             the refined search with the Feynman laws' published units
#                       (bench/feynman_units.py); the other groups run without.
#                       bench/units_run.py and bench/units_table.py compare the
#                       search with and without units problem by problem
#
# Everything goes to build/refine_bench/ (BUILD_DIR to change it): the build,
# the suite, results.jsonl (one line per problem and search) and table.md.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_DIR:-$root/build/refine_bench}
jobs=${JOBS:-2}
suite_flags=()
one_seed=
for arg in "$@"; do
  case "$arg" in
    --quick) suite_flags+=(--quick); one_seed=1 ;;
    --extended) suite_flags+=(--extended); one_seed=1 ;;
    --second) suite_flags+=(--second); one_seed=1 ;;
    *) echo "usage: bench/refine.sh [--quick] [--extended | --second]" >&2; exit 2 ;;
  esac
done
seeds=${SEEDS:-${one_seed:-3}}
suite_flags+=(--seeds "$seeds")
if [[ -n "${CLASSIC_ONLY:-}" && -n "${REFINED_ONLY:-}" ]]; then
  echo "bench/refine.sh: CLASSIC_ONLY and REFINED_ONLY leave nothing to run" >&2
  exit 2
fi
only=()
[[ -n "${ONLY:-}" ]] && only=(--only "$ONLY")
IFS=';' read -r -a sets <<<"${OPERATOR_SETS:-default}"

cmake -S "$root" -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DQUORVEX_WERROR=ON \
  -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_BENCH=ON -DQUORVEX_BUILD_TOOLS=ON >/dev/null
cmake --build "$out/build" -j "$jobs" --target refine_bench >/dev/null

rm -rf "$out/suite"
/usr/bin/python3 "$root/bench/refine_suite.py" "${suite_flags[@]}" "$out/suite"
units=()
if [[ -n "${UNITS:-}" ]]; then
  /usr/bin/python3 "$root/bench/feynman_units.py" "$out/suite"
  units=(--units)
fi
bench="$out/build/bench/refine_bench"
start=$(date +%s)
: >"$out/results.jsonl"
if [[ -z "${REFINED_ONLY:-}" ]]; then
  "$bench" --classic-only "${only[@]}" "$out/suite" >>"$out/results.jsonl"
fi
if [[ -z "${CLASSIC_ONLY:-}" ]]; then
  for set in "${sets[@]}"; do
    "$bench" --refined-only --operators "$set" "${units[@]}" "${only[@]}" "$out/suite" >>"$out/results.jsonl"
  done
fi
echo "searches took $(($(date +%s) - start)) s; load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
/usr/bin/python3 "$root/bench/refine_table.py" "$out/suite" "$out/results.jsonl" --detail | tee "$out/table.md"
