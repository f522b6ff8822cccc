#!/usr/bin/env bash
# Builds the benchmarks (optimised) and prints one table, every figure from
# this one run:
#   (a) node-row evaluations per second on one core, compiled evaluator
#       (AVX2 where the CPU has it, and the portable path) against the
#       reference Expr::evaluate, on the same trees;
#   (b) default discoveries (population 200, 40 generations, depth 4):
#       wall time, peak resident memory, speed-up of 2 scoring threads over 1;
#   (c) the time share of each phase of those discoveries.
# The machine is shared: look at the load averages printed with the table,
# and compare ratios measured in the same run.
#
#   bench/run.sh                    builds in build/bench
#   BUILD_DIR=build/x bench/run.sh  builds elsewhere
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench}
jobs=${JOBS:-2}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORVEX_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target bench_eval bench_discover >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
"$build/bench/bench_eval" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/eval.json" --benchmark_out_format=json >/dev/null 2>"$out/eval.err" || { cat "$out/eval.err"; exit 1; }
"$build/bench/bench_discover" --benchmark_out="$out/discover.json" \
  --benchmark_out_format=json >/dev/null 2>"$out/discover.err" || { cat "$out/discover.err"; exit 1; }
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$out" "$load_before" "$load_after" <<'PY'
import json, re, sys

out, load_before, load_after = sys.argv[1:4]
ev = json.load(open(f"{out}/eval.json"))
di = json.load(open(f"{out}/discover.json"))

def seconds(b, key):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b[key] * scale

def medians(doc):
    rows = {}
    for b in doc["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        rows[b["run_name"]] = b
    return rows

cpu = "unknown CPU"
for line in open("/proc/cpuinfo"):
    if line.startswith("model name"):
        cpu = line.split(":", 1)[1].strip()
        break
ctx = ev["context"]
print(f"quorvex benchmarks on {cpu}, {ctx['num_cpus']} logical CPUs")
print(f"load average before {load_before}, after {load_after}")
print()

e = medians(ev)
def rate(name, key="cpu_time"):
    b = e.get(name)
    return None if b is None or "node_rows" not in b else b["node_rows"] / seconds(b, key)

def g(v):
    return "      -" if v is None else f"{v / 1e9:7.2f}"

families = [("arithmetic (+ - * /)", 0), ("1/3 exp, log, pow", 1), ("generator, depth 4", 2)]
print("(a) node-row evaluations per second per core (10^9, CPU time; median of 3)")
print("    8,000 rows x 3 features, 96 trees per family; fast = AVX2 where available")
print(f"    {'trees':22} {'work':6} {'heavy':>5} {'reference':>9} {'fast':>7} {'portable':>8} {'fast/ref':>8}")
fast_eval = {}
for label, f in families:
    for kind in ("Eval", "Score"):
        ref = rate(f"BM_{kind}/{f}/0/real_time")
        fast = rate(f"BM_{kind}/{f}/1/real_time")
        port = rate(f"BM_{kind}/{f}/2/real_time")
        heavy = e.get(f"BM_{kind}/{f}/1/real_time", {}).get("heavy_share", 0.0)
        ratio = f"{fast / ref:7.1f}x" if fast and ref else "      -"
        fast_eval[(f, kind)] = (fast, ref)
        print(f"    {label:22} {kind:6} {heavy * 100:4.0f}% {g(ref):>9} {g(fast):>7} {g(port):>8} {ratio:>8}")
print("    Eval: predictions into a buffer. Score: candidate scores (predictions, squared")
print("    errors, row-order sums) through the population scoring on one thread.")
print()

def items(name):
    b = e.get(name)
    return None if b is None else b.get("items_per_second")
print("    pow(x, 2) per value, 10^6/s:", ", ".join(
    f"{label} {items(name) / 1e6:.0f}" for label, name in [
        ("library pow", "BM_PowTwoLibrary"), ("rule + fma call", "BM_PowTwoScalarRule"),
        ("AVX2 kernel", "BM_PowTwoKernel/1"), ("portable kernel (pow)", "BM_PowTwoKernel/2")]
    if items(name)))
fma = items("BM_FmaLibraryCall")
if fma:
    print(f"    fma as a library call: {1e9 / fma:.1f} ns")
print()

d = medians(di)
configs = [(1000, 3), (10000, 3), (100000, 3), (1000000, 3), (10000, 50)]
def disc(rows, feats, threads):
    for name, b in d.items():
        m = re.match(r"BM_Discover/(\d+)/(\d+)/(\d+)", name)
        if m and tuple(map(int, m.groups())) == (rows, feats, threads):
            return b
    return None

print("(b) default discoveries (population 200, 40 generations, depth 4), median of 3")
print("    (one run for a million rows); memory limit: 4 x raw + 64 MiB")
print(f"    {'rows x features':18} {'raw MiB':>8} {'1 thread s':>10} {'2 threads s':>11} {'speed-up':>8} {'peak MiB':>9} {'limit':>6} {'same BIC':>8}")
results = {}
for rows, feats in configs:
    one, two = disc(rows, feats, 1), disc(rows, feats, 2)
    if one is None or two is None:
        continue
    t1, t2 = seconds(one, "real_time"), seconds(two, "real_time")
    peak = max(one["peak_rss_mib"], two["peak_rss_mib"])
    limit = 4 * one["raw_mib"] + 64
    same = "yes" if one["bic"] == two["bic"] else "NO"
    results[(rows, feats)] = (t1, t2, peak, limit)
    print(f"    {rows:>9,} x {feats:<6} {one['raw_mib']:8.1f} {t1:10.3f} {t2:11.3f} {t1 / t2:7.2f}x {peak:9.1f} {limit:6.0f} {same:>8}")
print()

print("(c) time shares of the 2-thread discoveries")
print(f"    {'rows x features':18} {'copy+split':>10} {'baselines':>9} {'scoring':>8} {'rest':>6}")
for rows, feats in configs:
    b = disc(rows, feats, 2)
    if b is None:
        continue
    print(f"    {rows:>9,} x {feats:<6} {b['copy_split_share'] * 100:9.1f}% {b['baselines_share'] * 100:8.1f}% "
          f"{b['scoring_share'] * 100:7.1f}% {b['rest_share'] * 100:5.1f}%")
print()

def check(ok, text):
    print(f"    [{'ok' if ok else '--'}] {text}")
print("goals")
fa, ra = fast_eval.get((0, "Eval"), (None, None))
fg, _ = fast_eval.get((2, "Eval"), (None, None))
if fa and ra:
    check(fa >= 5e9, f"arithmetic trees >= 5e9 node-rows/s per core: {fa / 1e9:.2f}e9")
    check(fa / ra >= 15, f"arithmetic trees >= 15x the reference: {fa / ra:.1f}x")
if fg:
    check(fg >= 1.5e9, f"generator trees >= 1.5e9 node-rows/s per core: {fg / 1e9:.2f}e9")
if (10000, 3) in results:
    t = results[(10000, 3)][1]
    check(t < 0.5, f"10,000 x 3 default discovery under 0.5 s (2 threads): {t:.3f} s")
if (1000000, 3) in results:
    t1, t2, peak, limit = results[(1000000, 3)]
    check(t2 < 30, f"1,000,000 x 3 under 30 s (2 threads): {t2:.1f} s")
    check(peak < limit, f"1,000,000 x 3 peak memory under {limit:.0f} MiB: {peak:.0f} MiB")
if (100000, 3) in results:
    t1, t2, _, _ = results[(100000, 3)]
    check(t1 / t2 >= 1.8, f"2 threads >= 1.8x faster than 1 on 100,000 rows: {t1 / t2:.2f}x")
PY
