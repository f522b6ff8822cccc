#!/usr/bin/python3
"""How the refined search displays the laws it recovers exactly at noise 0.

    /usr/bin/python3 bench/display_count.py SUITE_DIR RESULTS.jsonl

Reads what bench/refine.sh wrote (the suite and results.jsonl) and, for each
refined result at noise 0 that refine_table.py counts as the law, compares the
displayed formula with the law's textbook form (the manifest's truth):

  nodes      numbers, names, operators and calls of each text read as Python
             (^ as **); a numeric part of the textbook form (4*pi, sqrt(2*pi))
             counts as one constant, as the display writes it, and so does a
             signed number. The display passes with at most the textbook's
             nodes + 1 (the scaling constant).
  digits     the significant digits of the longest displayed constant (6 at
             most passes).
  reads back the displayed text read by quorvex.Expr.parse gives the recorded
             tree's values on the fresh points within 1e-5 relative.

Prints one line per law and the counts.
"""
import ast
import json
import math
import os
import re
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bindings", "python"))
import refine_table  # noqa: E402

_NUMBER = re.compile(r"(?<![A-Za-z_0-9.])(\d+\.?\d*(?:[eE][-+]?\d+)?)")


def numeric(node):
    return all(not isinstance(n, ast.Name) or n.id == "pi" for n in ast.walk(node))


def nodes(node):
    if numeric(node):
        return 1
    if isinstance(node, ast.BinOp):
        return 1 + nodes(node.left) + nodes(node.right)
    if isinstance(node, ast.UnaryOp):
        return 1 + nodes(node.operand)
    if isinstance(node, ast.Call):
        return 1 + sum(nodes(a) for a in node.args)
    return 1


def count(text):
    return nodes(ast.parse(text.replace("^", "**"), mode="eval").body)


def digits(text):
    longest = 0
    for m in _NUMBER.finditer(text):
        mantissa = m.group(1).lower().split("e")[0].replace(".", "").lstrip("0")
        longest = max(longest, len(mantissa.rstrip("0")) if "." not in m.group(1) else len(mantissa))
    return longest


def reads_back(text, expr_json, points):
    from quorvex.expr import Expr
    want = Expr.from_json(json.dumps(expr_json, separators=(",", ":"))).predict(points)
    got = Expr.parse(text).predict(points)
    ok = np.isclose(got, want, rtol=1e-5, atol=1e-12 * np.sqrt(np.mean(want ** 2)))
    return bool(np.all(ok | (np.isnan(got) & np.isnan(want))))


def main():
    suite, results = sys.argv[1], sys.argv[2]
    problems = {p["name"]: p for p in json.load(open(os.path.join(suite, "manifest.json")))}
    laws = short = plain = back = 0
    for line in open(results):
        r = json.loads(line)
        p = problems[r["problem"]]
        if r["search"] != "refined" or p["noise"] != 0 or not refine_table.is_exact(r, p, suite):
            continue
        laws += 1
        shown, textbook = count(r["formula"]), count(p["truth"])
        d = digits(r["formula"])
        points, _ = refine_table.read_fresh(os.path.join(suite, p["fresh"]))
        ok_back = reads_back(r["formula"], r["expr"], points)
        short += shown <= textbook + 1
        plain += d <= 6
        back += ok_back
        flag = "" if shown <= textbook + 1 and d <= 6 and ok_back else "  <--"
        print(f"{r['problem']:32s} {shown:3d} vs {textbook:3d}  digits {d:2d}  {r['formula']}{flag}")
    pct = lambda n: f"{n}/{laws} ({100 * n / max(laws, 1):.0f}%)"
    print(f"\nexactly recovered at noise 0: {laws}")
    print(f"  at most the textbook's nodes + 1: {pct(short)}")
    print(f"  no constant over 6 significant digits: {pct(plain)}")
    print(f"  displayed text reads back within 1e-5: {pct(back)}")


if __name__ == "__main__":
    main()
