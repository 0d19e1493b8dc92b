#!/usr/bin/env python3
"""Writes the seed corpus of the blob reader fuzzer into fuzz/corpus/.

Each seed is built field by field by the tests' hand encoder
(tests/blob_bytes.py), independently of the C++ writer: valid blobs of every
node kind and param tag, a forged blob that repeats a record, and broken blobs
that stop at each of the reader's errors.
Run it again after a format change; the files are committed.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")
# The encoder lives with the tests; it needs nothing but the standard library.
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from blob_bytes import (
    MAGIC, PARAM_BOOL, SOURCE, blob, bstr, float_from_bits, rec_exchange, rec_external, rec_op,
    rec_reduction, rec_source, rec_stage, u8, u32,
)


def seeds():
    desc = dict(kind="torch", content_hash="sha256:ab", framework="pytorch", version="2.1",
                io_schema="f32[3]->f32[3]")
    every_kind = [
        rec_source("x", [("rows", 10), ("path", "a;b=c|d%")]),
        rec_source("y", [("scale", -0.0), ("nan", float_from_bits(0x7FF8000000000123))]),
        rec_op("add", [0, 1]),
        rec_op("mul", [2, 2], [("scalar", 1e21), ("inplace", True)]),
        rec_reduction("sum", [3], [("axis", -1), ("keepdims", False)]),
        rec_external([4], [("mode", "eval")], dict(desc, preprocessing_ref=None)),
        rec_external([4], desc=dict(desc, preprocessing_ref="")),
        rec_stage([3, 4], [("op|neg", [(0, 0)]),
                           ("red|sum|axis=i0;keep=bfalse", [(1, 0), (0, 1)]),
                           ("op|a%7Cb|k=sx%3By", [(1, 1)])]),
        rec_exchange([7], [("scheme", "shuffle")]),
        rec_exchange([]),
        rec_source("日本 😀 é\"\\\n"),
    ]
    yield "empty", blob([], [])
    yield "source_x", blob([rec_source("x")], [0])
    yield "every_kind", blob(every_kind, [8, 5, 8, 0])
    yield "stage_only", blob([rec_stage([], [("op|f", []), ("op|g", [(1, 0), (0, 7)])])], [0])
    # a Bool of value 2, which the writer never produces
    yield "params_unsorted", blob([rec_source("x", [("b", 1), ("a", 2), ("a", 3),
                                                    ("c", (PARAM_BOOL, u8(2)))])], [])
    yield "repeated_record", blob([rec_source("x"), rec_source("x"), rec_source("y"),
                                   rec_op("f", [2, 1]), rec_op("f", [2, 0]), rec_op("g", [4, 3])],
                                  [3, 4, 5])
    yield "trailing_bytes", blob([rec_source("x")], [0]) + b"trailing"
    yield "long_chain", blob([rec_source("s")] + [rec_op("f", [i]) for i in range(40)], [40])

    # One seed per reader error.
    source_head = u8(SOURCE) + bstr("x")  # a Source record up to its params
    yield "err_short", MAGIC[:3]
    yield "err_magic", blob([rec_source("x")], [0], magic=b"TIR2")
    yield "err_header", MAGIC + b"\x01\x00"
    yield "err_node_tag", MAGIC + u32(1) + u8(6)
    yield "err_param_tag", MAGIC + u32(1) + source_head + u32(1) + bstr("k") + u8(4)
    yield "err_stage_ref_tag", blob([rec_stage([], [("op|f", [(2, 0)])])], [])
    yield "err_utf8", blob([rec_source(b"a\xed\xa0\x80")], [])
    yield "err_self_ref", blob([rec_source("a"), rec_source("b"), rec_source("c"),
                                rec_op("f", [3])], [])
    yield "err_member_ref", blob([rec_stage([], [("op|f", [(1, 0)])])], [])
    yield "err_output", blob([rec_source("a")], [1])
    yield "err_forged_count", MAGIC + u32(0xFFFFFFFF) + rec_source("a")
    yield "err_forged_params", MAGIC + u32(1) + source_head + u32(0xFFFFFFFF) + bstr("k")
    yield "err_truncated_str", MAGIC + u32(1) + u8(SOURCE) + u32(1000) + b"abc"


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(OUT, name + ".bin"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
