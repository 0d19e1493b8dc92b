"""The one hand encoder of blobs on the Python side.

Blob bytes spelled out field by field, independently of the writer, so tests
can forge records the writer never produces (bad tags, repeated records,
stray bytes), the writer's own bytes can be checked against an independent
encoding, and the fuzzer's seed corpus (fuzz/make_corpus.py) is built from
the same fields. Only the standard library: the corpus script imports this
without the built module.
"""
import struct

MAGIC = b"TIR1"
# The five text fields of an External record, in blob order; the optional
# preprocessing reference follows them.
DESCRIPTOR_KEYS = ("kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref")
# A descriptor for records whose descriptor does not matter.
FIELDS = dict(kind="onnx", content_hash="h0", framework="ort", version="1", io_schema="f32[]")

# Tags, as the blob writes them.
PARAM_INT, PARAM_FLOAT, PARAM_BOOL, PARAM_STR = 0, 1, 2, 3
SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE = 0, 1, 2, 3, 4, 5


# --------------------------------------------------------------------------
# floats by bit pattern

def float_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


# --------------------------------------------------------------------------
# fields

def u8(v):
    return struct.pack("<B", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def i64(v):
    return struct.pack("<q", v)


def f64(value):
    return struct.pack("<d", value)


def bstr(text):
    raw = text if isinstance(text, bytes) else text.encode("utf-8")
    return u32(len(raw)) + raw


def ids(values):
    return u32(len(values)) + b"".join(u64(v) for v in values)


def read_ids(data, at=0):
    """The id list that starts at offset `at` of `data`."""
    count = struct.unpack_from("<I", data, at)[0]
    return list(struct.unpack_from(f"<{count}Q", data, at + 4))


# --------------------------------------------------------------------------
# params

def param_entry(key, value):
    """One Params entry; `value` is a Python value, or (tag, raw bytes) for
    forging."""
    if isinstance(value, tuple):
        tag, raw = value
        return bstr(key) + u8(tag) + raw
    if type(value) is bool:
        return bstr(key) + u8(PARAM_BOOL) + u8(1 if value else 0)
    if type(value) is int:
        return bstr(key) + u8(PARAM_INT) + i64(value)
    if type(value) is float:
        return bstr(key) + u8(PARAM_FLOAT) + f64(value)
    return bstr(key) + u8(PARAM_STR) + bstr(value)


def params(entries=()):
    """`entries` is a dict or a list of (key, value) pairs, kept in the given
    order (the blob may hold them unsorted, and repeat keys)."""
    items = list(entries.items()) if isinstance(entries, dict) else list(entries)
    return u32(len(items)) + b"".join(param_entry(k, v) for k, v in items)


# --------------------------------------------------------------------------
# records and the blob

def rec_source(name, ps=()):
    return u8(SOURCE) + bstr(name) + params(ps)


def rec_op(name, inputs, ps=()):
    return u8(OP) + bstr(name) + params(ps) + ids(inputs)


def rec_reduction(name, inputs, ps=()):
    return u8(REDUCTION) + bstr(name) + params(ps) + ids(inputs)


def rec_external(inputs, ps=(), desc=None):
    """`desc` is a dict keyed by DESCRIPTOR_KEYS; preprocessing_ref may be
    missing or None (no reference)."""
    desc = dict(FIELDS, preprocessing_ref=None) if desc is None else desc
    body = b"".join(bstr(desc[k]) for k in DESCRIPTOR_KEYS[:5])
    ref = desc.get("preprocessing_ref")
    body += u8(0) if ref is None else u8(1) + bstr(ref)
    return u8(EXTERNAL) + body + params(ps) + ids(inputs)


def rec_stage(inputs, members):
    """`members` is a list of (token, [(ref tag, index), ...])."""
    body = ids(inputs) + u32(len(members))
    for token, refs in members:
        body += bstr(token) + u32(len(refs)) + b"".join(u8(t) + u32(i) for t, i in refs)
    return u8(STAGE) + body


def rec_exchange(inputs, ps=()):
    return u8(EXCHANGE) + params(ps) + ids(inputs)


def blob(records, outputs=(), count=None, magic=MAGIC):
    """A whole blob; `count` and `magic` forge the header."""
    count = len(records) if count is None else count
    return magic + u32(count) + b"".join(records) + ids(list(outputs))
