"""Reference balance of every callable of the module, on its success and its
failure paths.

Needs a debug interpreter (python3.14d): only there do sys.gettotalrefcount()
and sys.getallocatedblocks() count every reference and every object block.
Each case runs a few warm-up rounds (caches and free lists fill up), then
several measured rounds; a case leaks when a counter grows in every measured
round, the way the interpreter's own leak hunter judges its tests. Growth in
some rounds only is noise (a cache, a free list); growth in all of them is a
reference kept once per call. A reference total that shrinks in every round
is the opposite fault, a reference given back that was never taken.
"""
import gc
import sys

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs a debug interpreter (sys.gettotalrefcount)", allow_module_level=True)

import numpy as np

from graphgen import FIELDS, blob, rec_op, rec_source, rec_stage, u8, u32
from tavrine_core import GraphStore, IncrementalReducer, PayloadDescriptor, version

WARMUPS = 3
ROUNDS = 4


# ---- measuring ------------------------------------------------------------------

def counters():
    """(references, blocks) after a full collection, without the strings the
    interpreter interned for good meanwhile (they live until shutdown)."""
    sys._clear_internal_caches()
    gc.collect()
    interned = sys.getunicodeinternedsize(_only_immortal=True)
    return sys.gettotalrefcount(), sys.getallocatedblocks() - interned


def measure(work, rounds):
    """Per round, the growth of both counters caused by one call of `work`."""
    refs, blocks = [0] * rounds, [0] * rounds  # made up front: no growth to measure
    # Every reading must find the loop's own objects in the same state (the
    # two previous readings alive, with the same references to them); the
    # first two passes only read, to get there.
    reading = counters()
    for i in range(-2, rounds):
        if i >= 0:
            work()
        previous, reading = reading, counters()
        if i >= 0:
            refs[i] = reading[0] - previous[0]
            blocks[i] = reading[1] - previous[1]
    return refs, blocks


def unbalanced(refs, blocks):
    """What the leak hunter would report, or None."""
    found = []
    if all(d >= 1 for d in refs):
        found.append(f"references grow in every round: {refs}")
    if all(d <= -1 for d in refs):
        found.append(f"references shrink in every round: {refs}")
    if all(d >= 1 for d in blocks):
        found.append(f"memory blocks grow in every round: {blocks}")
    return "; ".join(found) or None


def balance(work, control=None):
    """Deltas of `work` per measured round, after the warm-up rounds (run
    through the same code, so that the measuring itself is warm too).

    `control` repeats whatever work of another library `work` does: NumPy is
    not a debug build, so its own references do not add up. Its deltas,
    measured in the same rounds, are subtracted and returned as the skew."""
    def rounds(n):
        if control is None:
            return measure(work, n) + ([(0, 0)] * n,)
        refs, blocks, skew = [0] * n, [0] * n, [(0, 0)] * n
        for i in range(n):
            (r,), (b,) = measure(work, 1)
            (cr,), (cb,) = measure(control, 1)
            refs[i], blocks[i], skew[i] = r - cr, b - cb, (cr, cb)
        return refs, blocks, skew

    rounds(WARMUPS)
    return rounds(ROUNDS)


# ---- helpers ----------------------------------------------------------------------

def fails(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc.__name__}")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IndexRaisesWithCause:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


class Seq:
    """A sequence that is neither a list nor a tuple: read by iteration."""

    def __init__(self, items, bad_len=False, fail_at=None):
        self.items, self.bad_len, self.fail_at = items, bad_len, fail_at

    def __len__(self):
        if self.bad_len:
            raise RuntimeError("no length")
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise RuntimeError("broken sequence")
        return self.items[i]


class StrSub(str):
    pass


class DictSub(dict):
    pass


class BytesSub(bytes):
    pass


class Grows:
    """A param value whose conversion adds a key to the dict being read."""

    def __init__(self, params):
        self.params = params

    def __index__(self):
        self.params["zz"] = 1
        return 1


class SwapsKeys:
    """A param value whose conversion swaps a key, keeping the size."""

    def __init__(self, params):
        self.params = params

    def __index__(self):
        del self.params["a"]
        self.params["c"] = 1
        return 1


SURROGATE = "\ud800"
DESC = PayloadDescriptor(**FIELDS)


def chain_store():
    """Every node kind, fusable chains and stage members with parameters."""
    store = GraphStore()
    s = store.add_source("s", {"n": 1, "f": 0.5, "b": True, "t": "x"})
    t = store.add_source("t")
    a = store.add_op("add", [s, t])
    b = store.add_op("add", [t, s])
    m = store.add_op("mul", [a, b], {"scalar": 1.0})
    m = store.add_op("neg", [m], {"k": "v|w;x=y%"})
    r = store.add_reduction("sum", [m], {"axis": -1})
    e = store.add_external(PayloadDescriptor(**FIELDS, preprocessing_ref="p"), [r], {"z": 2})
    x = store.add_exchange([e], {"scheme": "hash"})
    return store, [x, r]


STAGE_BLOB = blob([rec_source("s"),
                   rec_stage([0], [("op|f|a=i1;b=btrue;c=f3ff0000000000000;d=sx", [(0, 0)]),
                                   ("op|g", [(1, 0), (0, 0)])])], [1])
BAD_TOKEN_BLOB = blob([rec_source("s"), rec_stage([0], [("op|f", [(0, 0)]), ("bad|g", [(1, 0)])])])


# ---- the cases ----------------------------------------------------------------------
# One per callable; each drives its successful calls, then its failures.

def case_version():
    version()
    fails(TypeError, version, 1)


def case_graph_store_new():
    GraphStore()
    fails(TypeError, GraphStore, 1)
    fails(TypeError, GraphStore, x=1)


def case_add_source():
    store = GraphStore()
    store.add_source("x")
    store.add_source("x")
    store.add_source("\u00e9\u540d")
    store.add_source(StrSub("sub"))
    store.add_source("p", {"i": 1, "n": -5, "f": 2.5, "b": True, "s": "t", "u": "\u00fc", "x": Index(3),
                           "r": Real(), "big": 2 ** 70, "neg": -(2 ** 70), "z": False})
    store.add_source(name="kw", params=DictSub(a=1))
    store.add_source("none", None)
    fails(TypeError, store.add_source, 1)
    fails(TypeError, store.add_source, None)
    fails(UnicodeEncodeError, store.add_source, SURROGATE)
    fails(TypeError, store.add_source)
    fails(TypeError, store.add_source, "x", {}, 1)
    fails(TypeError, store.add_source, "x", name="y")
    fails(TypeError, store.add_source, "x", bogus=1)
    fails(TypeError, store.add_source, "x", [("a", 1)])
    fails(TypeError, store.add_source, "x", {1: 1})
    fails(UnicodeEncodeError, store.add_source, "x", {SURROGATE: 1})
    fails(TypeError, store.add_source, "x", {"a": 1, "b": None})
    fails(TypeError, store.add_source, "x", {"a": 2 ** 1100})
    fails(TypeError, store.add_source, "x", {"a": SURROGATE})
    fails(TypeError, store.add_source, "x", {"a": IndexRaises(ValueError("no"))})
    fails(KeyboardInterrupt, store.add_source, "x", {"a": IndexRaises(KeyboardInterrupt("no"))})
    grows = {}
    grows["a"] = Grows(grows)
    fails(RuntimeError, store.add_source, "x", grows)
    swaps = {}
    swaps["a"] = SwapsKeys(swaps)
    swaps["b"] = 2
    fails(RuntimeError, store.add_source, "x", swaps)


def inputs_cases(add):
    """The ids argument of add_op / add_reduction, every way it converts and
    fails."""
    add("f", [0])
    add("f", (0, 0))
    add("f", range(1))
    add("f", b"\x00")
    add("f", [Index(0), True])
    add("f", list(range(1)) * 20)
    add("f", Seq([0, 0]))
    add("f", Seq([0], bad_len=True))
    add("f", [0], {"k": 1})
    add(name="f", inputs=[0], params=None)
    fails(TypeError, add, "f", "ab")
    fails(TypeError, add, "f", 5)
    fails(TypeError, add, "f", None)
    fails(TypeError, add, "f", {0: 1})
    fails(OverflowError, add, "f", [0, -1])
    fails(OverflowError, add, "f", [2 ** 64])
    fails(OverflowError, add, "f", [Index(-1)])
    fails(TypeError, add, "f", [1.5])
    fails(TypeError, add, "f", (0, 1.5))
    fails(TypeError, add, "f", [IndexRaisesWithCause()])
    fails(ValueError, add, "f", [IndexRaises(ValueError("no"))])
    fails(RuntimeError, add, "f", Seq([0, 0], fail_at=1))
    fails(ValueError, add, "f", [0, 99])
    fails(ValueError, add, "f", [2 ** 63])
    fails(TypeError, add, 1, [0])
    fails(TypeError, add, "f", [0], [1])
    fails(TypeError, add, "f")
    fails(TypeError, add)
    fails(TypeError, add, "f", [0], None, 1)
    fails(TypeError, add, "f", [0], inputs=[0])


def case_add_op():
    store = GraphStore()
    store.add_source("s")
    inputs_cases(store.add_op)


def case_add_reduction():
    store = GraphStore()
    store.add_source("s")
    inputs_cases(store.add_reduction)


def case_add_external():
    store = GraphStore()
    store.add_source("s")
    store.add_external(DESC, [0])
    store.add_external(PayloadDescriptor(**FIELDS, preprocessing_ref="p"), [0], {"a": 1})
    store.add_external(dict(FIELDS), [])
    store.add_external(dict(FIELDS, preprocessing_ref="p", extra=1), (0,))
    store.add_external(DictSub(FIELDS, preprocessing_ref=None), [0])
    store.add_external(descriptor=dict(FIELDS), inputs=[0], params={"k": "v"})
    fails(TypeError, store.add_external, 5, [0])
    fails(TypeError, store.add_external, None, [0])
    fails(ValueError, store.add_external, {"kind": "k"}, [0])
    fails(ValueError, store.add_external, {}, [0])
    fails(TypeError, store.add_external, dict(FIELDS, kind=1), [0])
    fails(TypeError, store.add_external, {"preprocessing_ref": 1}, [0])
    fails(UnicodeEncodeError, store.add_external, dict(FIELDS, version=SURROGATE), [0])
    fails(TypeError, store.add_external, DESC, "ab")
    fails(ValueError, store.add_external, DESC, [9])
    fails(TypeError, store.add_external, DESC, [0], [1])
    fails(TypeError, store.add_external, DESC)


def case_add_exchange():
    store = GraphStore()
    store.add_source("s")
    store.add_exchange([0])
    store.add_exchange([0], {"scheme": "hash"})
    store.add_exchange(inputs=(0,), params=None)
    fails(TypeError, store.add_exchange, "ab")
    fails(TypeError, store.add_exchange, 1)
    fails(ValueError, store.add_exchange, [9])
    fails(OverflowError, store.add_exchange, [-1])
    fails(TypeError, store.add_exchange, [0], [1])
    fails(TypeError, store.add_exchange)


def case_views():
    store, outputs = chain_store()
    reduced, _ = store.reduce(outputs=outputs)
    marked = GraphStore.deserialize(STAGE_BLOB)
    for s in (store, reduced, marked, GraphStore()):
        s.node_count()
        s.outputs()
        s.nodes()
        s.to_dot()
    fails(TypeError, store.node_count, 1)
    fails(TypeError, store.nodes, 1)
    fails(TypeError, store.outputs, 1)
    fails(TypeError, store.to_dot, 1)
    fails(ValueError, GraphStore.deserialize(BAD_TOKEN_BLOB).nodes)


def case_serialize():
    store, outputs = chain_store()
    store.serialize()
    store.serialize(outputs=None)
    store.serialize([0, 0])
    store.serialize(outputs=tuple(outputs))
    store.serialize(outputs=range(2))
    GraphStore.deserialize(STAGE_BLOB).serialize()
    fails(TypeError, store.serialize, "ab")
    fails(TypeError, store.serialize, 5)
    fails(ValueError, store.serialize, [99])
    fails(OverflowError, store.serialize, [-1])
    fails(TypeError, store.serialize, [1.5])
    fails(TypeError, store.serialize, None, 1)
    fails(TypeError, store.serialize, bogus=1)


READER_ERRORS = [
    b"",                                                          # truncated
    b"TIR1\x00\x00",                                              # truncated count
    b"XXXX" + bytes(8),                                           # bad magic
    b"TIR1" + u32(1) + u8(6),                                     # node tag
    b"TIR1" + u32(1) + u8(0) + u32(1) + b"x" + u32(1) + u32(1) + b"k" + u8(4),  # param tag
    blob([rec_source("s"), rec_stage([0], [("op|f", [(2, 0)])])]),  # stage-ref tag
    blob([rec_source(b"\xc3\x28")]),                              # UTF-8
    blob([rec_source("a"), rec_op("f", [0, 3])]),                 # input reference
    blob([rec_source("a")], [1]),                                 # output reference
    b"TIR1" + u32(0xFFFFFFFF) + rec_source("x"),                  # forged count
]


def case_deserialize():
    store, _ = chain_store()
    data = store.serialize()
    GraphStore.deserialize(data)
    store.deserialize(data)
    GraphStore.deserialize(BytesSub(data))
    GraphStore.deserialize(data=STAGE_BLOB)
    GraphStore.deserialize(b"TIR1" + bytes(8))
    for bad in READER_ERRORS:
        fails(ValueError, GraphStore.deserialize, bad)
    fails(TypeError, GraphStore.deserialize, bytearray(data))
    fails(TypeError, GraphStore.deserialize, memoryview(data))
    fails(TypeError, GraphStore.deserialize, None)
    fails(TypeError, GraphStore.deserialize)
    fails(TypeError, GraphStore.deserialize, data, 1)


def outputs_failures(call):
    fails(TypeError, call, outputs="ab")
    fails(TypeError, call, outputs=5)
    fails(ValueError, call, outputs=[99])
    fails(OverflowError, call, outputs=[-1])
    fails(TypeError, call, outputs=[0.5])
    fails(TypeError, call, bogus=1)


def case_reduce():
    store, outputs = chain_store()
    store.reduce()
    store.reduce(outputs=outputs)
    store.reduce(maximal_fusion=True, outputs=tuple(outputs))
    store.reduce(maximal_fusion=False, outputs=[outputs[0]] * 3)
    GraphStore().reduce()
    GraphStore.deserialize(STAGE_BLOB).reduce()
    fails(TypeError, store.reduce, True)
    fails(TypeError, store.reduce, maximal_fusion=1)
    fails(TypeError, store.reduce, maximal_fusion=None)
    outputs_failures(store.reduce)


def case_reduce_incremental():
    store, outputs = chain_store()
    store.reduce_incremental()
    store.reduce_incremental(outputs=outputs)
    fails(TypeError, store.reduce_incremental, outputs)
    fails(TypeError, store.reduce_incremental, maximal_fusion=True)
    outputs_failures(store.reduce_incremental)


def case_reduction_report():
    store, outputs = chain_store()
    store.reduction_report()
    store.reduction_report(outputs=outputs)
    fails(TypeError, store.reduction_report, outputs)
    outputs_failures(store.reduction_report)


def case_output_ids():
    store, outputs = chain_store()
    store.reduce_with_output_ids()
    store.reduce_with_output_ids(maximal_fusion=True, outputs=outputs + outputs)
    GraphStore().reduce_with_output_ids()
    fails(TypeError, store.reduce_with_output_ids, True)
    outputs_failures(store.reduce_with_output_ids)
    reducer = IncrementalReducer()
    reducer.finalize_with_output_ids(store, outputs=outputs)
    reducer.finalize_with_output_ids(store)
    fails(TypeError, reducer.finalize_with_output_ids, store, True)
    fails(ValueError, reducer.finalize_with_output_ids, store, outputs=[99])


def case_payload_descriptor():
    for d in (PayloadDescriptor(**FIELDS), PayloadDescriptor(**FIELDS, preprocessing_ref="p"),
              PayloadDescriptor(**FIELDS, preprocessing_ref=None),
              PayloadDescriptor(**dict(FIELDS, kind="\u00e9"))):
        (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref)
    fails(TypeError, PayloadDescriptor)
    fails(TypeError, PayloadDescriptor, "k")
    fails(TypeError, PayloadDescriptor, kind="k")
    for key in FIELDS:
        fails(TypeError, PayloadDescriptor, **dict(FIELDS, **{key: 1}))
    fails(TypeError, PayloadDescriptor, **FIELDS, preprocessing_ref=1)
    fails(UnicodeEncodeError, PayloadDescriptor, **dict(FIELDS, kind=SURROGATE))
    fails(TypeError, PayloadDescriptor, **FIELDS, bogus=1)
    fails(AttributeError, setattr, DESC, "kind", "x")


def case_incremental_reducer():
    store, outputs = chain_store()
    reducer = IncrementalReducer()
    reducer.step(store)
    store.add_op("late", [0])
    reducer.step(store=store)
    reducer.step(store)
    fails(ValueError, reducer.step, GraphStore())
    fails(ValueError, reducer.finalize, GraphStore())
    reducer.watermark()
    reducer.total_work()
    reducer.canonical_count()
    reducer.finalize(store)
    reducer.finalize(store, maximal_fusion=True, outputs=outputs)
    IncrementalReducer().finalize(store, outputs=range(3))
    fails(TypeError, IncrementalReducer, 1)
    fails(TypeError, reducer.step, 5)
    fails(TypeError, reducer.step, None)
    fails(TypeError, reducer.step)
    fails(TypeError, reducer.step, store, 1)
    fails(TypeError, reducer.watermark, 1)
    fails(TypeError, reducer.finalize, 5)
    fails(TypeError, reducer.finalize, store, True)
    fails(TypeError, reducer.finalize, store, maximal_fusion=1)
    fails(TypeError, reducer.finalize, store, outputs="ab")
    fails(ValueError, reducer.finalize, store, outputs=[99])
    fails(OverflowError, reducer.finalize, store, outputs=[-1])
    fails(TypeError, reducer.finalize)


CASES = {name[len("case_"):]: fn for name, fn in list(globals().items()) if name.startswith("case_")}


@pytest.mark.parametrize("name", CASES)
def test_balanced(name):
    refs, blocks, _ = balance(CASES[name])
    assert unbalanced(refs, blocks) is None, unbalanced(refs, blocks)


# ---- NumPy scalars ---------------------------------------------------------------
# The flag also accepts NumPy's boolean scalar, and ids may be NumPy integers.
# Making and dropping those objects moves the totals by itself, since NumPy
# is not a debug build: the same NumPy work without the module is the
# control, and its deltas are subtracted.

def with_numpy_values(use):
    for flag in (np.True_, np.False_, np.bool_(1), np.array([False, True])[1], np.int64(1), np.float64(0.0)):
        use("reduce", maximal_fusion=flag)
        use("finalize", maximal_fusion=flag)
    for ids in (np.array([8, 6]), np.array([8], dtype=np.uint64), np.array([0.5]), np.array([99]),
                np.array([-1])):
        use("reduce", outputs=ids)
        use("serialize", ids)
        use("add_op", "f", ids)


def numpy_work():
    store, _ = chain_store()
    reducer = IncrementalReducer()
    targets = {"reduce": store.reduce, "serialize": store.serialize, "add_op": store.add_op,
               "finalize": lambda *args, **kwargs: reducer.finalize(store, *args, **kwargs)}

    def use(name, *args, **kwargs):
        try:
            targets[name](*args, **kwargs)
        except (TypeError, ValueError, OverflowError):
            pass

    with_numpy_values(use)


def numpy_control():
    with_numpy_values(lambda name, *args, **kwargs: None)


def test_balanced_with_numpy_values():
    refs, blocks, skew = balance(numpy_work, numpy_control)
    assert unbalanced(refs, blocks) is None, f"{unbalanced(refs, blocks)} (NumPy's own deltas: {skew})"
