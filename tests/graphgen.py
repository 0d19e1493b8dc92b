"""Shared helpers for the view, blob and reduction tests.

- The hand encoder of blobs (blob_bytes, whose names tests import from here
  too) and `encode_nodes`, an independent encoding of `nodes()` the writer's
  own bytes are checked against.
- The canonical parameter text and operation symbols, rebuilt in Python.
- Hypothesis strategies for random graphs ("recipes": lists of recording
  calls whose inputs name earlier calls) and a way to record them.
- An evaluator that gives every node a concrete value, so reductions can be
  checked for what they must never change: the values of the outputs.
"""
import hashlib
import math

from hypothesis import strategies as st

# What encode_nodes builds on, and the encoder's names for the tests that
# take them from here.
from blob_bytes import (
    DESCRIPTOR_KEYS, FIELDS, bits_of, blob, bstr, float_from_bits, i64, ids, param_entry, params,
    rec_exchange, rec_external, rec_op, rec_reduction, rec_source, rec_stage, u8, u32, u64,
)
from tavrine_core import GraphStore, PayloadDescriptor

COMMUTATIVE = ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")
IDENTITY_SYMBOLS = frozenset({
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
})
CANONICAL_NAN = 0x7FF8000000000000
KINDS = ("source", "op", "reduction", "external", "stage", "exchange")


# --------------------------------------------------------------------------
# floats by bit pattern

def canonical_bits(value):
    return CANONICAL_NAN if math.isnan(value) else bits_of(value)


# --------------------------------------------------------------------------
# canonical parameter text and symbols

def escape(text):
    return text.replace("%", "%25").replace(";", "%3B").replace("=", "%3D").replace("|", "%7C")


def value_text(value):
    if type(value) is bool:
        return "btrue" if value else "bfalse"
    if type(value) is int:
        return f"i{value}"
    if type(value) is float:
        return f"f{canonical_bits(value):016x}"
    assert type(value) is str, value
    return "s" + escape(value)


def param_text(params):
    """Canonical text of a params dict whose items are in stored order."""
    return ";".join(f"{escape(k)}={value_text(v)}" for k, v in params.items())


def op_symbol(prefix, name, params):
    text = f"{prefix}|{escape(name)}"
    return text + "|" + param_text(params) if params else text


def member_token(member):
    """The token a member dict of `nodes()` was read from (tokens the
    optimizer writes are always in this canonical form)."""
    return op_symbol(member["kind"], member["name"], member["params"])


def params_key(params):
    """A hashable, NaN-insensitive, -0.0-sensitive form of a params dict
    (Int 1, Float 1.0, Bool True and Str '1' all stay apart)."""
    return tuple((k, type(v).__name__, canonical_bits(v) if type(v) is float else v)
                 for k, v in params.items())


def node_key(node):
    """Everything that makes a `nodes()` entry the node it is, in a form that
    compares NaN payloads as equal and keeps -0.0 apart from 0.0."""
    key = (node["id"], node["output"], tuple(node["inputs"]), node["kind"], node["name"],
           params_key(node["params"]))
    if "descriptor" in node:
        key += (tuple(node["descriptor"].items()),)
    if "members" in node:
        key += (node["n_members"], tuple(
            (m["kind"], m["name"], params_key(m["params"]), tuple(m["inputs"]))
            for m in node["members"]))
    return key


def nodes_key(store):
    return [node_key(n) for n in store.nodes()]


# --------------------------------------------------------------------------
# an independent writer

def encode_nodes(nodes, outputs):
    """An independent writer: the blob of a `nodes()` list and an output list."""
    records = []
    for n in nodes:
        kind, ps, ins = n["kind"], n["params"], n["inputs"]
        if kind == "source":
            records.append(rec_source(n["name"], ps))
        elif kind == "op":
            records.append(rec_op(n["name"], ins, ps))
        elif kind == "reduction":
            records.append(rec_reduction(n["name"], ins, ps))
        elif kind == "external":
            records.append(rec_external(ins, ps, n["descriptor"]))
        elif kind == "stage":
            members = [(member_token(m), [(0 if t == "input" else 1, i) for t, i in m["inputs"]])
                       for m in n["members"]]
            records.append(rec_stage(ins, members))
        else:
            records.append(rec_exchange(ins, ps))
    return blob(records, outputs)


# --------------------------------------------------------------------------
# random graphs

# Text with the four characters the canonical text escapes, the escape
# character's own sequences, quotes and backslashes (DOT escaping), and
# non-ASCII letters.
SPECIAL = ["%", ";", "=", "|", "%3B", "%25", "%7C", "\"", "\\", "-", " ", "\n", "\t"]
texts = st.one_of(
    st.sampled_from(["", "x", "add", "é", "名前", "a|b", "k=v", "%3B"]),
    st.lists(st.one_of(st.sampled_from(SPECIAL),
                       st.characters(codec="utf-8", exclude_categories=("Cs", "Cc"))),
             max_size=6).map("".join),
)

float_values = st.one_of(
    st.floats(allow_nan=False),
    st.sampled_from([0.0, -0.0, 1.0, 0.5, 1e21, math.inf, -math.inf]),
    # NaNs of either sign with arbitrary payloads, made from their bits
    st.tuples(st.booleans(), st.integers(1, (1 << 52) - 1)).map(
        lambda t: float_from_bits((t[0] << 63) | (0x7FF << 52) | t[1])),
)

param_values = st.one_of(
    st.booleans(),
    st.integers(-(1 << 63), (1 << 63) - 1),
    st.sampled_from([0, 1, -1, (1 << 63) - 1, -(1 << 63)]),
    # beyond 64 bits: recorded as the nearest float
    st.integers(1 << 63, 1 << 1000) | st.integers(-(1 << 1000), -(1 << 63) - 1),
    float_values,
    texts,
)

param_dicts = st.dictionaries(texts, param_values, max_size=3)

descriptors = st.fixed_dictionaries(
    {k: st.sampled_from(["", "a", "a|b", "a|", "|b", "-", "x;y=z"]) for k in DESCRIPTOR_KEYS[:5]},
    optional={"preprocessing_ref": st.one_of(st.none(), st.sampled_from(["", "-", "r", "|", "a|b"]))},
)

# Parameters an optimizer cares about: identity scalars, their near misses,
# and a few unrelated maps.
IDENTITY_PARAMS = [
    {"scalar": 0.0, "side": "r"}, {"scalar": 0.0, "side": "l"},
    {"scalar": 1.0, "side": "r"}, {"scalar": 1.0, "side": "l"},
]
NEAR_MISS_PARAMS = [
    {"scalar": 0, "side": "r"}, {"scalar": -0.0, "side": "l"}, {"scalar": 1, "side": "r"},
    {"scalar": 0.0, "side": "r", "extra": True}, {"scalar": 0.0, "side": "x"}, {"scalar": 0.0},
]
op_params = st.one_of(
    st.just(None), st.just(None), st.just(None),
    st.sampled_from(IDENTITY_PARAMS + NEAR_MISS_PARAMS + [{"k": 1}, {"k": 1.0}, {"k": "1"}]),
    param_dicts,
)
op_names = st.one_of(st.sampled_from(COMMUTATIVE + ("sub", "neg", "f", "g")), texts)


@st.composite
def recipes(draw, max_calls=20, sources=st.integers(1, 4), kinds=None, rich=True):
    """A list of recording calls. Each call is (kind, payload, inputs, params)
    where inputs are positions of earlier calls. `rich` draws names and params
    from the full text/param strategies; otherwise from a small, collision-
    prone alphabet that makes hash-consing and rewrites fire often."""
    kinds = kinds or ["op"] * 6 + ["reduction", "external", "exchange", "source"]
    names = op_names if rich else st.sampled_from(COMMUTATIVE[:3] + ("sub", "neg", "f"))
    src_names = texts if rich else st.sampled_from(["x", "y", "z"])
    ps = op_params if rich else st.one_of(st.just(None), st.just(None),
                                          st.sampled_from(IDENTITY_PARAMS + NEAR_MISS_PARAMS[:3] + [{"k": 1}]))
    calls = []
    for _ in range(draw(sources)):
        calls.append(("source", draw(src_names), (), draw(st.one_of(st.just(None), param_dicts)) if rich else None))
    for _ in range(draw(st.integers(0, max_calls))):
        kind = draw(st.sampled_from(kinds))
        pick = st.integers(0, len(calls) - 1)
        if kind == "source":
            calls.append(("source", draw(src_names), (), None))
            continue
        arity = draw(st.sampled_from([1, 1, 2, 2, 2, 0, 3]))
        inputs = tuple(draw(pick) for _ in range(arity))
        if kind == "op":
            name = draw(names)
            p = draw(ps)
            if p in IDENTITY_PARAMS or p in NEAR_MISS_PARAMS:
                name = draw(st.sampled_from(["add", "mul", "add", "mul", "sub"]))
                if draw(st.integers(0, 3)):
                    inputs = inputs[:1] or (draw(pick),)
            elif draw(st.integers(0, 2)) == 0 and arity == 2:
                # a swapped twin of an earlier commutative op, which rewrites merge
                twins = [c for c in calls if c[0] == "op" and len(c[2]) == 2 and c[3] is None]
                if twins:
                    twin = draw(st.sampled_from(twins))
                    name, inputs, p = twin[1], (twin[2][1], twin[2][0]), None
            calls.append(("op", name, inputs, p))
        elif kind == "reduction":
            calls.append(("reduction", draw(names), inputs, draw(ps)))
        elif kind == "external":
            calls.append(("external", draw(descriptors), inputs, draw(ps)))
        else:
            calls.append(("exchange", None, inputs, draw(ps)))
    return calls


def record(store, calls, got=None):
    """Records `calls` and returns the id each call got; `got` holds the ids of
    calls recorded before (inputs are positions in the whole call list)."""
    got = [] if got is None else got
    for kind, payload, inputs, ps in calls:
        ins = [got[i] for i in inputs]
        if kind == "source":
            got.append(store.add_source(payload, ps))
        elif kind == "op":
            got.append(store.add_op(payload, ins, ps))
        elif kind == "reduction":
            got.append(store.add_reduction(payload, ins, ps))
        elif kind == "external":
            got.append(store.add_external(payload, ins, ps))
        else:
            got.append(store.add_exchange(ins, ps))
    return got


def build(calls):
    store = GraphStore()
    return store, record(store, calls)


def sinks(store):
    """Ids no other node reads: marking them all makes every node reachable."""
    used = set()
    for n in store.nodes():
        used.update(n["inputs"])
    return [i for i in range(store.node_count()) if i not in used]


# --------------------------------------------------------------------------
# the evaluator

MOD = (1 << 61) - 1


def h(*parts):
    digest = hashlib.blake2b(repr(parts).encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little") % MOD


def apply_op(prefix, name, ps, args):
    """The value of one operation. Commutative ops (two inputs, no params)
    are commutative functions, identity ops pass their input through, and
    everything else is an uninterpreted function of its symbol and its
    argument values in order."""
    symbol = op_symbol(prefix, name, ps)
    if prefix == "op":
        if len(args) == 1 and symbol in IDENTITY_SYMBOLS:
            return args[0]
        if len(args) == 2 and not ps and name in COMMUTATIVE:
            # a hash of the unordered pair rather than a + b: sums would also
            # equate associated forms, which the rewrites rightly never merge
            return h("comm", name, *sorted(args))
    return h(prefix, symbol, tuple(args))


def evaluate(store):
    """The value of every node of `store`, by id."""
    values = []
    for n in store.nodes():
        args = [values[i] for i in n["inputs"]]
        kind = n["kind"]
        if kind == "source":
            v = h("src", op_symbol("src", n["name"], n["params"]))
        elif kind == "op":
            v = apply_op("op", n["name"], n["params"], args)
        elif kind == "reduction":
            v = apply_op("red", n["name"], n["params"], args)
        elif kind == "external":
            v = h("ext", tuple(n["descriptor"].items()), param_text(n["params"]), tuple(args))
        elif kind == "exchange":
            v = h("exch", param_text(n["params"]), tuple(args))
        else:
            inner = []
            for m in n["members"]:
                margs = [args[i] if t == "input" else inner[i] for t, i in m["inputs"]]
                inner.append(apply_op(m["kind"], m["name"], m["params"], margs))
            v = inner[-1] if inner else h("stage", tuple(args))
        values.append(v)
    return values


def output_values(store, outputs=None):
    values = evaluate(store)
    return [values[i] for i in (store.outputs() if outputs is None else outputs)]


def first_occurrences(values):
    seen, out = set(), []
    for v in values:
        if v not in seen:
            seen.add(v)
            out.append(v)
    return out


def descriptor(**overrides):
    return PayloadDescriptor(**dict(FIELDS, **overrides))
