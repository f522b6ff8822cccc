"""Writes each law of a suite into its manifest as "start": the truth with its
constants as numbers, in the formula syntax the library reads, for
refine_bench --start-truth.

    /usr/bin/python3 bench/truth_start.py SUITE_DIR
"""

import json
import math
import sys

import sympy


def start_text(truth, features):
    names = {f: sympy.Symbol(f) for f in features}
    e = sympy.sympify(truth, locals=names).subs(sympy.pi, sympy.Float(math.pi, 17))
    return str(sympy.N(e, 17)).replace("**", "^")


def main():
    path = sys.argv[1] + "/manifest.json"
    with open(path) as f:
        manifest = json.load(f)
    for p in manifest:
        p["start"] = start_text(p["truth"], p["features"])
    with open(path, "w") as f:
        json.dump(manifest, f, indent=1)


if __name__ == "__main__":
    main()
