#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_capi into fuzz/corpus/: one file per
scenario, laid out as the harness's FuzzedDataProvider reads it (see
fuzz_capi.cpp): every number from the end of the file backwards, most
significant byte first, and the bytes of names from the front."""
import os
import struct
import sys

NEW, ADD, PUSH, NROWS, DISCOVER, READ, FREE_REPORT, FREE_DATASET, KEEP, FREE_STRING, NULLS, REPEAT = range(12)
NULL_SLOT = 3  # the dataset slot index that passes a NULL handle

# Indices into the harness's tables.
V_NAN, V_INF, V_NINF, V_ZERO, V_NZERO, V_DENORM, V_NDENORM, V_MIN, V_MAX, V_NMAX = range(10)
TF = {"0": 0, "1": 1, "-0.5": 2, "nan": 3, "inf": 4, "-inf": 5, "1e-300": 6,
      "0.9999999": 7, "0.5": 8, "0.2": 9, "-0": 10, "denorm": 11, "1+ulp": 12,
      "1-ulp": 13, "0.25": 14, "2": 15}
DEPTH = {0: 0, 1: 1, 2: 2, 3: 3, 4: 4, 5: 5, 10: 6, 63: 7, 64: 8, 65: 9, 1000: 10,
         0xFFFFFFFF: 11}


class Script:
    def __init__(self):
        self.front = bytearray()  # names' bytes, in reading order
        self.back = bytearray()  # numbers' bytes, in reading order
        self.features = [0, 0, 0]

    @property
    def out(self):
        return bytes(self.front) + bytes(reversed(self.back))

    def u8(self, *values):  # each a number in a range of at most 256 values
        self.back += bytes(values)

    def u32(self, v):
        self.back += struct.pack(">I", v)

    def u64(self, v):
        self.back += struct.pack(">Q", v)

    def name(self, raw, null=False):
        self.u8(15 if null else 0, len(raw))
        self.front += raw

    def new(self, slot, raw=b"y", null=False):
        self.u8(NEW, slot)
        self.name(raw, null)
        self.features[slot] = 0

    def add(self, slot, raw, null=False, counts=True):
        self.u8(ADD, slot)
        self.name(raw, null)
        if slot != NULL_SLOT and counts:
            self.features[slot] += 1

    def value(self, v):
        if isinstance(v, tuple):  # ("special", index)
            self.u8(0, v[1])
        elif isinstance(v, bytes):  # raw bit pattern, little-endian
            self.u8(1)
            self.u64(int.from_bytes(v, "little"))
        else:  # quarter steps in [-32, 31.75], read as an int8 from -128
            self.u8(2, (int(v * 4) + 128) & 0xFF)

    def push(self, slot, values, target, null=False):
        self.u8(PUSH, slot, 15 if null else 0)
        n = self.features[slot] if slot != NULL_SLOT else 1
        assert len(values) == n, (values, n)
        for v in values:
            self.value(v)
        self.value(target)

    def discover(self, slot, report, gens, pop, depth, seed, tf):
        self.u8(DISCOVER, slot, report, gens, pop - 1)
        if depth in DEPTH:
            self.u8(0, DEPTH[depth])
        else:
            self.u8(1)
            self.u32(depth)
        self.u64(seed)
        if isinstance(tf, str):
            self.u8(0, TF[tf])
        else:
            self.u8(1)
            self.u64(struct.unpack("<Q", struct.pack("<d", tf))[0])

    def op(self, kind, *args):
        self.u8(kind, *args)


def special(i):
    return ("special", i)


def rows(s, slot, n, f):
    for i in range(n):
        xs = [((i * 7 + j * 3) % 23 - 11) / 4 for j in range(s.features[slot])]
        s.push(slot, xs, f(i, xs))


def seeds():
    out = {}

    s = Script()  # a plain dataset, every accessor, strings kept past the report
    s.new(0)
    s.add(0, b"x")
    s.add(0, b"z")
    rows(s, 0, 16, lambda i, xs: xs[0] * 2 + xs[1])
    s.op(NROWS, 0)
    s.discover(0, 0, 2, 12, 3, 7, "0.25")
    s.op(READ, 0)
    s.op(KEEP, 0, 0, 0)
    s.op(KEEP, 0, 1, 1)
    s.op(KEEP, 0, 2, 2)
    s.op(FREE_REPORT, 0)
    s.op(FREE_STRING, 1)
    s.op(FREE_DATASET, 0)
    out["plain"] = s.out

    s = Script()  # UTF-8 edges in target and feature names
    for raw in [b"", b"\xff", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xf0\x80\x80\xaf", b"\xed\xa0\x80",
                b"\xed\xbf\xbf", b"\xf4\x90\x80\x80", b"\x80", b"\xe2\x82", b"ok\x00\xff"]:
        s.new(0, raw)
    s.new(1, b"\xce\x94y")
    for raw, ok in [(b"\xc2\x80", 1), (b"\xed\x9f\xbf", 1), (b"\xef\xbf\xbf", 1),
                    (b"\xf4\x8f\xbf\xbf", 1), (b"\xf0\x90\x80\x80", 1), (b"a\x00\xff", 1),
                    (b"\xed\xa0\x80", 0), (b"\xc1\xbf", 0), (b"\xf5\x80\x80\x80", 0)]:
        s.add(1, raw, counts=bool(ok))
    s.add(1, b"", null=True, counts=False)
    s.add(NULL_SLOT, b"x")
    rows(s, 1, 10, lambda i, xs: xs[0] - xs[3])
    s.discover(1, 1, 1, 8, 4, 3, "0.2")
    s.op(READ, 1)
    out["utf8_names"] = s.out

    s = Script()  # special values everywhere, features added after rows
    s.new(0)
    s.push(0, [], 1.0)
    s.add(0, b"a")
    s.push(0, [special(V_NAN)], special(V_INF))
    s.push(0, [special(V_DENORM)], special(V_NZERO))
    s.add(0, b"b")
    for v in [V_INF, V_NINF, V_ZERO, V_NZERO, V_MIN, V_MAX, V_NMAX, V_NDENORM]:
        s.push(0, [special(v), 1.5], special(v))
    s.push(0, [b"\x01\x00\x00\x00\x00\x00\xf0\x7f", -2.0], 3.0)  # signalling NaN
    s.push(0, [special(V_ZERO), 0.0], 0.0, null=True)
    s.discover(0, 0, 3, 20, 5, 99, "0.5")
    s.op(READ, 0)
    out["special_values"] = s.out

    for depth in [1000, 0xFFFFFFFF, 64, 65, 1, 0]:
        s = Script()  # depth budgets: huge ones are clamped
        s.new(0)
        s.add(0, b"x")
        rows(s, 0, 12, lambda i, xs: xs[0] ** 2)
        s.discover(0, 0, 0 if depth == 0 else 3, 30, depth, depth, "0.2")
        out["depth_%d" % depth] = s.out

    for tf in ["nan", "inf", "-inf", "-0.5", "1e-300", "0.9999999", "denorm", "1+ulp", "1-ulp", "0"]:
        s = Script()  # test fractions, in range and substituted
        s.new(0)
        s.add(0, b"x")
        rows(s, 0, 9, lambda i, xs: 3 - xs[0])
        s.discover(0, 0, 1, 6, 3, 5, tf)
        out["test_fraction_%s" % tf] = s.out

    s = Script()  # handles freed in every order; strings outlive reports
    s.new(0)
    s.add(0, b"x")
    rows(s, 0, 8, lambda i, xs: xs[0])
    s.discover(0, 0, 1, 5, 2, 1, "0.25")
    s.op(FREE_DATASET, 0)
    s.op(READ, 0)
    s.op(KEEP, 0, 3, 2)
    s.op(FREE_REPORT, 0)
    s.op(READ, 0)
    s.op(FREE_STRING, 3)
    s.op(FREE_REPORT, 0)
    s.op(FREE_DATASET, 0)
    s.discover(0, 1, 1, 5, 2, 1, "0.25")
    out["lifetimes"] = s.out

    s = Script()  # NULL everywhere
    s.op(NULLS)
    s.new(0, b"", null=True)
    s.push(NULL_SLOT, [1.0], 2.0)
    s.op(NROWS, NULL_SLOT)
    s.discover(NULL_SLOT, 0, 1, 1, 1, 1, "0.5")
    s.new(1)
    s.push(1, [], 1.0, null=True)
    s.op(NROWS, 1)
    out["nulls"] = s.out

    s = Script()  # a repeated discovery must give the same report
    s.new(2)
    s.add(2, b"u")
    s.add(2, b"u")  # duplicate name: the later value wins
    s.add(2, b"v")
    rows(s, 2, 14, lambda i, xs: xs[1] * xs[2])
    s.discover(2, 3, 2, 16, 4, 0xDEADBEEF, "0.25")
    s.op(REPEAT, 3)
    out["repeat_duplicates"] = s.out

    s = Script()  # no rows, one row, no features
    s.new(0)
    s.add(0, b"x")
    s.discover(0, 0, 1, 4, 3, 0, "0.2")
    s.push(0, [2.0], 4.0)
    s.discover(0, 1, 1, 4, 3, 0, "0.2")
    s.new(1)
    for i in range(6):
        s.push(1, [], float(i))
    s.discover(1, 2, 1, 4, 3, 0, "0.2")
    out["tiny"] = s.out

    s = Script()  # a line feed inside a name reaches the formula line
    s.new(0)
    s.add(0, b"a\nb")
    s.add(0, b"\t\"\\")
    rows(s, 0, 12, lambda i, xs: xs[0] + xs[1])
    s.discover(0, 0, 3, 30, 4, 11, "0.25")
    s.op(KEEP, 0, 0, 1)
    out["control_names"] = s.out
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus")
    os.makedirs(target, exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(target, name), "wb") as f:
            f.write(bytes(data))


if __name__ == "__main__":
    main()
