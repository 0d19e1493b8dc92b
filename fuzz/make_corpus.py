#!/usr/bin/env python3
"""Writes the seed corpus of the blob reader fuzzer into fuzz/corpus/.

Each seed is built field by field here, independently of the C++ writer:
valid blobs of every node kind and param tag, a forged blob that repeats a
record, and broken blobs that stop at each of the reader's errors.
Run it again after a format change; the files are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")


def u8(v):
    return struct.pack("<B", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def s(text):
    b = text.encode("utf-8") if isinstance(text, str) else text
    return u32(len(b)) + b


def ids(*xs):
    return u32(len(xs)) + b"".join(u64(x) for x in xs)


def params(*entries):
    """entries: (key, tag, value) with value already encoded."""
    return u32(len(entries)) + b"".join(s(k) + u8(t) + v for k, t, v in entries)


def p_int(k, v):
    return (k, 0, struct.pack("<q", v))


def p_float(k, v):
    return (k, 1, struct.pack("<d", v))


def p_bits(k, bits):
    return (k, 1, u64(bits))


def p_bool(k, v):
    return (k, 2, u8(v))


def p_str(k, v):
    return (k, 3, s(v))


def source(name, *ps):
    return u8(0) + s(name) + params(*ps)


def op(name, inputs, *ps):
    return u8(1) + s(name) + params(*ps) + ids(*inputs)


def reduction(name, inputs, *ps):
    return u8(2) + s(name) + params(*ps) + ids(*inputs)


def external(desc, pre, inputs, *ps):
    body = b"".join(s(f) for f in desc)
    body += u8(0) if pre is None else u8(1) + s(pre)
    return u8(3) + body + params(*ps) + ids(*inputs)


def stage(inputs, members):
    """members: (token, [(tag, index), ...])"""
    body = ids(*inputs) + u32(len(members))
    for token, refs in members:
        body += s(token) + u32(len(refs)) + b"".join(u8(t) + u32(i) for t, i in refs)
    return u8(4) + body


def exchange(inputs, *ps):
    return u8(5) + params(*ps) + ids(*inputs)


def blob(records, outputs, magic=b"TIR1"):
    return magic + u32(len(records)) + b"".join(records) + ids(*outputs)


def seeds():
    desc = ("torch", "sha256:ab", "pytorch", "2.1", "f32[3]->f32[3]")
    every_kind = [
        source("x", p_int("rows", 10), p_str("path", "a;b=c|d%")),
        source("y", p_float("scale", -0.0), p_bits("nan", 0x7FF8000000000123)),
        op("add", [0, 1]),
        op("mul", [2, 2], p_float("scalar", 1e21), p_bool("inplace", 1)),
        reduction("sum", [3], p_int("axis", -1), p_bool("keepdims", 0)),
        external(desc, None, [4], p_str("mode", "eval")),
        external(desc, "", [4]),
        stage([3, 4], [("op|neg", [(0, 0)]),
                       ("red|sum|axis=i0;keep=bfalse", [(1, 0), (0, 1)]),
                       ("op|a%7Cb|k=sx%3By", [(1, 1)])]),
        exchange([7], p_str("scheme", "shuffle")),
        exchange([]),
        source("日本 😀 é\"\\\n"),
    ]
    yield "empty", blob([], [])
    yield "source_x", blob([source("x")], [0])
    yield "every_kind", blob(every_kind, [8, 5, 8, 0])
    yield "stage_only", blob([stage([], [("op|f", []), ("op|g", [(1, 0), (0, 7)])])], [0])
    yield "params_unsorted", blob([source("x", p_int("b", 1), p_int("a", 2), p_int("a", 3),
                                          p_bool("c", 2))], [])
    yield "repeated_record", blob([source("x"), source("x"), source("y"), op("f", [2, 1]),
                                   op("f", [2, 0]), op("g", [4, 3])], [3, 4, 5])
    yield "trailing_bytes", blob([source("x")], [0]) + b"trailing"
    yield "long_chain", blob([source("s")] + [op("f", [i]) for i in range(40)], [40])

    # One seed per reader error.
    yield "err_short", b"TIR"
    yield "err_magic", blob([source("x")], [0], magic=b"TIR2")
    yield "err_header", b"TIR1\x01\x00"
    yield "err_node_tag", b"TIR1" + u32(1) + u8(6)
    yield "err_param_tag", b"TIR1" + u32(1) + u8(0) + s("x") + u32(1) + s("k") + u8(4)
    yield "err_stage_ref_tag", blob([stage([], [("op|f", [(2, 0)])])], [])
    yield "err_utf8", blob([source(b"a\xed\xa0\x80")], [])
    yield "err_self_ref", blob([source("a"), source("b"), source("c"), op("f", [3])], [])
    yield "err_member_ref", blob([stage([], [("op|f", [(1, 0)])])], [])
    yield "err_output", blob([source("a")], [1])
    yield "err_forged_count", b"TIR1" + u32(0xFFFFFFFF) + source("a")
    yield "err_forged_params", b"TIR1" + u32(1) + u8(0) + s("x") + u32(0xFFFFFFFF) + s("k")
    yield "err_truncated_str", b"TIR1" + u32(1) + u8(0) + u32(1000) + b"abc"


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(OUT, name + ".bin"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
