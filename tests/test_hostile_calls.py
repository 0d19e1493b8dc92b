"""Every callable survives every argument shape a caller can build.

Hypothesis generates batches of calls (positional/keyword mixes, unknown and
repeated names, str subclasses and non-str objects as keyword names, wrong
counts, values of every kind) in every call form the interpreter offers:
direct, through the class's method, `type.__call__`, `functools.partial`
(whose keyword dict a caller can fill with any key) and `**` of a dict
subclass. A child process makes the calls, so that a crash fails the test
instead of ending the run. Each outcome must be a result, or exactly the
binding error a Python function of the same signature would report under
the module's messages, or one of the conversion errors; a failed call must
leave the store and the reducer as they were.
"""
import json
import os
import re
import subprocess
import sys
import textwrap

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

# name -> (positional-or-keyword params, keyword-only params, required names,
#          "noargs" for methods the interpreter binds itself)
SIGNATURES = {
    "GraphStore": ([], [], set()),
    "add_source": (["name", "params"], [], {"name"}),
    "add_op": (["name", "inputs", "params"], [], {"name", "inputs"}),
    "add_reduction": (["name", "inputs", "params"], [], {"name", "inputs"}),
    "add_external": (["descriptor", "inputs", "params"], [], {"descriptor", "inputs"}),
    "add_exchange": (["inputs", "params"], [], {"inputs"}),
    "serialize": (["outputs"], [], set()),
    "deserialize": (["data"], [], {"data"}),
    "reduce": ([], ["maximal_fusion", "outputs"], set()),
    "reduce_incremental": ([], ["outputs"], set()),
    "reduction_report": ([], ["outputs"], set()),
    "PayloadDescriptor": (
        [],
        ["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"],
        {"kind", "content_hash", "framework", "version", "io_schema"},
    ),
    "IncrementalReducer": ([], [], set()),
    "step": (["store"], [], {"store"}),
    "finalize": (["store"], ["maximal_fusion", "outputs"], {"store"}),
    "reduce_with_output_ids": ([], ["maximal_fusion", "outputs"], set()),
    "finalize_with_output_ids": (["store"], ["maximal_fusion", "outputs"], {"store"}),
}
NOARGS = ["node_count", "to_dot", "nodes", "outputs", "watermark", "total_work", "canonical_count", "version"]
QUALNAME = {
    "GraphStore": "GraphStore.__new__()",
    "PayloadDescriptor": "PayloadDescriptor.__new__()",
    "IncrementalReducer": "IncrementalReducer.__new__()",
    "step": "IncrementalReducer.step()",
    "finalize": "IncrementalReducer.finalize()",
    "finalize_with_output_ids": "IncrementalReducer.finalize_with_output_ids()",
    "watermark": "IncrementalReducer.watermark()",
    "total_work": "IncrementalReducer.total_work()",
    "canonical_count": "IncrementalReducer.canonical_count()",
    "version": "tavrine_core.version()",
}
CONSTRUCTORS = {"GraphStore", "PayloadDescriptor", "IncrementalReducer"}
REDUCER_METHODS = {"step", "finalize", "finalize_with_output_ids", "watermark", "total_work", "canonical_count"}


def qualname(target):
    return QUALNAME.get(target, f"GraphStore.{target}()")


VALUES = [
    "zero", "one", "huge", "negative", "text", "text_subclass", "ids", "no_ids", "bad_id", "none",
    "true", "byte0", "real", "empty_dict", "params", "bad_params", "descriptor", "descriptor_dict",
    "partial_descriptor", "other_store", "store", "blob", "bad_blob", "raising_index", "raising_len",
    "numpy_bool",
]
PARAM_NAMES = sorted({p for pos, kw, _ in SIGNATURES.values() for p in pos + kw})
NON_STR_KEYS = ["int", "none", "tuple", "bytes", "float"]

# The child: builds the objects a plan names, makes the call, and writes one
# line per call: the outcome and the store/reducer state before and after.
DRIVER = textwrap.dedent(
    r"""
    import functools, json, sys
    import tavrine_core
    from tavrine_core import GraphStore, IncrementalReducer, PayloadDescriptor

    class Text(str):
        pass

    class Kwargs(dict):
        pass

    class RaisingIndex:
        def __index__(self):
            raise RuntimeError("index refused")

    class RaisingLen(list):
        def __len__(self):
            raise RuntimeError("length refused")

    try:
        import numpy
        numpy_bool = numpy.bool_(True)
    except ImportError:
        numpy_bool = True

    store = GraphStore()
    a = store.add_source("a")
    b = store.add_op("f", [a])
    reducer = IncrementalReducer()
    reducer.step(store)
    blob = store.serialize()
    fields = dict(kind="k", content_hash="c", framework="f", version="v", io_schema="i")
    values = {
        "zero": 0, "one": 1, "huge": 10**30, "negative": -1, "text": "x", "text_subclass": Text("y"),
        "ids": [0, 1], "no_ids": [], "bad_id": [99], "none": None, "true": True, "byte0": b"\x00",
        "real": 1.5, "empty_dict": {}, "params": {"k": 1, "s": "v"}, "bad_params": {"k": None},
        "descriptor": PayloadDescriptor(**fields), "descriptor_dict": dict(fields),
        "partial_descriptor": {"kind": "k"}, "other_store": GraphStore(), "store": store,
        "blob": blob, "bad_blob": b"TIR2", "raising_index": [RaisingIndex()],
        "raising_len": RaisingLen([0]), "numpy_bool": numpy_bool,
    }
    non_str = {"int": 1, "none": None, "tuple": (), "bytes": b"kind", "float": 2.5}

    def key(k):
        kind, text = k
        return non_str[text] if kind == "non_str" else Text(text) if kind == "subclass" else text

    def target(name):
        if name in ("GraphStore", "IncrementalReducer", "PayloadDescriptor"):
            return getattr(tavrine_core, name)
        if name == "version":
            return tavrine_core.version
        owner = reducer if name in ("step", "finalize", "finalize_with_output_ids", "watermark", "total_work",
                                    "canonical_count") else store
        return getattr(owner, name)

    def unbound(name, f):
        # The same method reached through its class, self passed first.
        if name in ("GraphStore", "IncrementalReducer", "PayloadDescriptor"):
            return lambda *a, **k: type.__call__(f, *a, **k)
        if name in ("version", "deserialize"):
            return getattr(GraphStore, name) if name == "deserialize" else f
        owner = reducer if name in ("step", "finalize", "finalize_with_output_ids", "watermark", "total_work",
                                    "canonical_count") else store
        method = getattr(type(owner), name)
        return lambda *a, **k: method(owner, *a, **k)

    def state():
        return [store.node_count(), reducer.watermark(), reducer.canonical_count()]

    for line in sys.stdin:
        plan = json.loads(line)
        f = target(plan["target"])
        args = [values[v] for v in plan["args"]]
        pairs = [(key(k), values[v]) for k, v in plan["kwargs"]]
        form = plan["form"]
        before = state()
        try:
            if form == "partial":
                p = functools.partial(f, *args)
                p.keywords.update(pairs)   # any key a dict can hold
                p()
            else:
                kwargs = Kwargs(pairs) if form == "dict_subclass" else dict(pairs)
                call = unbound(plan["target"], f) if form == "unbound" else f
                call(*args, **kwargs)
            outcome = ["ok", ""]
        except BaseException as e:
            outcome = [type(e).__name__, str(e)]
        print(json.dumps([outcome, before, state()]), flush=True)
    """
)


def expected_binding_error(target, args, kwargs):
    """The binding error the call must raise, or None when it binds."""
    if any(kind == "non_str" for (kind, _), _ in kwargs):
        return "keywords must be strings"
    name = qualname(target)
    if target in NOARGS:
        if kwargs:
            return f"{name} takes no keyword arguments"
        if args:
            return f"{name} takes no arguments ({len(args)} given)"
        return None
    positional, keyword_only, required = SIGNATURES[target]
    if len(args) > len(positional):
        n_req = len([p for p in positional if p in required])
        verb = "was" if len(args) == 1 else "were"
        if n_req != len(positional):
            return f"{name} takes from {n_req} to {len(positional)} positional arguments but {len(args)} {verb} given"
        return f"{name} takes {len(positional)} positional arguments but {len(args)} {verb} given"
    bound = set(positional[: len(args)])
    for (_, text), _ in kwargs:
        if text not in positional + keyword_only:
            return f"{name} got an unexpected keyword argument '{text}'"
        if text in bound:
            return f"{name} got multiple values for argument '{text}'"
        bound.add(text)
    for which, params in (("positional", positional), ("keyword", keyword_only)):
        missing = [p for p in params if p in required and p not in bound]
        if missing:
            quoted = [f"'{p}'" for p in missing]
            listed = quoted[0] if len(quoted) == 1 else (
                f"{quoted[0]} and {quoted[1]}" if len(quoted) == 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1]
            )
            word = "argument" if len(missing) == 1 else "arguments"
            return f"{name} missing {len(missing)} required {which} {word}: {listed}"
    return None


CONVERSION_ERRORS = {
    "TypeError": [
        r"argument '\w+': .+",
        r"params must be a dict or None",
        r"param values must be int, float, bool, or str",
        r"descriptor must be a PayloadDescriptor or dict",
        r"('.+' object|'None') is not an instance of 'str'",
    ],
    "ValueError": [
        r"no node with id \d+",
        r"descriptor missing required field '\w+'",
        r"not a tavrine IR blob \(bad magic/version\)",
        r"truncated tavrine IR blob",
        r"reducer is bound to another store: an IncrementalReducer serves only the store it was first fed",
    ],
    "OverflowError": [r".+"],
    # Raised by the caller's own objects (__index__, __len__ is only a hint).
    "RuntimeError": [r"index refused"],
}


def check(plan, result):
    (kind, message), before, after = result
    wanted = expected_binding_error(plan["target"], plan["args"], plan["kwargs"])
    if wanted is not None:
        assert (kind, message) == ("TypeError", wanted), plan
    elif kind != "ok":
        patterns = CONVERSION_ERRORS.get(kind, [])
        assert any(re.fullmatch(p, message) for p in patterns), (plan, kind, message)
    if kind != "ok":
        assert after == before, (plan, "a failed call changed the store or reducer")


keyword_names = st.one_of(
    st.tuples(st.just("str"), st.sampled_from(PARAM_NAMES + ["bogus", ""])),
    st.tuples(st.just("subclass"), st.sampled_from(PARAM_NAMES)),
    st.tuples(st.just("non_str"), st.sampled_from(NON_STR_KEYS)),
)
plans = st.fixed_dictionaries(
    {
        "target": st.sampled_from(sorted(SIGNATURES) + NOARGS),
        "form": st.sampled_from(["direct", "unbound", "partial", "dict_subclass"]),
        "args": st.lists(st.sampled_from(VALUES), max_size=4),
        "kwargs": st.lists(st.tuples(keyword_names, st.sampled_from(VALUES)), max_size=4,
            # A str subclass equals its text as a dict key: one entry.
            unique_by=lambda kv: (kv[0][0] == "non_str", kv[0][1]),
        ),
    }
)


def run_child(batch):
    proc = subprocess.run(
        [sys.executable, "-c", DRIVER],
        input="".join(json.dumps(p) + "\n" for p in batch),
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONHASHSEED="0"),
    )
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0 and len(lines) == len(batch), (
        f"child ended with {proc.returncode} after {len(lines)} of {len(batch)} calls; "
        f"last call: {batch[len(lines)] if len(lines) < len(batch) else None}\n{proc.stderr[-2000:]}"
    )
    return [json.loads(line) for line in lines]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.lists(plans, min_size=1, max_size=40))
def test_every_call_shape_gives_a_result_or_a_specified_error(batch):
    for plan, result in zip(batch, run_child(batch)):
        check(plan, result)


def test_non_str_keyword_names_reach_the_binders_and_are_refused():
    # The shapes that reach the module's binders with such a name: a class
    # called with a dict, and the keyword dict of a partial.
    forms = [(t, f) for t in ("GraphStore", "IncrementalReducer", "PayloadDescriptor") for f in ("direct", "unbound")]
    forms += [(t, "partial") for t in ("GraphStore", "add_op", "step", "finalize", "reduce", "deserialize")]
    batch = [
        {"target": target, "form": form, "args": [], "kwargs": [[["str", "bogus"], "one"], [["non_str", key], "one"]]}
        for target, form in forms
        for key in NON_STR_KEYS
    ]
    for plan, (outcome, before, after) in zip(batch, run_child(batch)):
        assert outcome == ["TypeError", "keywords must be strings"], (plan, outcome)
        assert before == after


def test_str_subclass_keyword_names_act_as_their_text():
    plan = {
        "target": "add_op", "form": "unbound", "args": [],
        "kwargs": [[["subclass", "name"], "text"], [["subclass", "inputs"], "ids"]],
    }
    [(outcome, before, after)] = run_child([plan])
    assert outcome == ["ok", ""]
    assert after[0] == before[0] + 1
