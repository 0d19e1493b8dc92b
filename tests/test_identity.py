"""Hash-consing: which nodes are the same node, and the ids they get."""
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from blob_bytes import bits_of, float_from_bits
from tavrine_core import GraphStore, PayloadDescriptor

FIELDS = dict(kind="k", content_hash="c", framework="f", version="v", io_schema="i")


class TestIds:
    def test_ids_are_dense_and_repeats_return_the_first_id(self):
        store = GraphStore()
        assert store.add_source("x") == 0
        assert store.add_source("x") == 0
        assert store.node_count() == 1
        assert store.add_source("y") == 1
        assert store.add_op("add", [0, 1]) == 2
        assert store.add_op("add", [0, 1]) == 2
        assert store.add_source("x") == 0
        assert store.node_count() == 3
        assert type(store.add_source("z")) is int

    def test_stores_are_independent(self):
        a, b = GraphStore(), GraphStore()
        assert a.add_source("x") == 0
        assert b.add_source("y") == 0
        assert b.add_source("x") == 1
        assert a.node_count() == 1 and b.node_count() == 2

    def test_a_fresh_store_has_no_outputs(self):
        store = GraphStore()
        assert store.outputs() == [] and store.node_count() == 0
        store.add_source("x")
        store.add_op("f", [0])
        assert store.outputs() == []

    def test_failed_intern_hands_out_nothing(self):
        store = GraphStore()
        store.add_source("x")
        with pytest.raises(ValueError, match="^no node with id 1$"):
            store.add_op("f", [1])
        assert store.add_op("f", [0]) == 1

    def test_same_graph_same_ids(self):
        def build(store):
            s = store.add_source("s", {"p": "x"})
            t = store.add_source("t")
            o = store.add_op("mul", [s, t], {"scalar": 2.0})
            e = store.add_external(FIELDS, [o])
            return [s, t, o, e, store.add_exchange([e]), store.add_reduction("sum", [e])]

        assert build(GraphStore()) == build(GraphStore()) == [0, 1, 2, 3, 4, 5]


class TestStructure:
    def test_kinds_are_distinct(self):
        store = GraphStore()
        ids = {
            store.add_source("x"),
            store.add_op("x", []),
            store.add_reduction("x", []),
            store.add_external(FIELDS, []),
            store.add_exchange([]),
        }
        assert len(ids) == 5

    def test_input_order_and_repeats_matter(self):
        store = GraphStore()
        a, b = store.add_source("a"), store.add_source("b")
        ab = store.add_op("add", [a, b])
        assert store.add_op("add", [b, a]) != ab
        aa = store.add_op("add", [a, a])
        assert len({ab, aa, store.add_op("add", [a])}) == 3
        assert store.add_op("add", [a, a]) == aa

    def test_exchange_inputs(self):
        store = GraphStore()
        s = store.add_source("s")
        t = store.add_source("t")
        none = store.add_exchange([])
        two = store.add_exchange([s, t])
        assert none != two
        assert store.add_exchange([], {}) == none
        assert store.add_exchange([s, t], {"scheme": "hash"}) != two

    def test_names(self):
        store = GraphStore()
        assert store.add_op("f", []) != store.add_op("g", [])
        assert store.add_op("", []) != store.add_op(" ", [])
        assert store.add_op("a;b", []) != store.add_op("a%3Bb", [])

    def test_descriptor_fields_take_part(self):
        store = GraphStore()
        base = store.add_external(FIELDS, [])
        for key in FIELDS:
            assert store.add_external(dict(FIELDS, **{key: "other"}), []) != base
        absent = store.add_external(PayloadDescriptor(**FIELDS), [])
        empty = store.add_external(PayloadDescriptor(**FIELDS, preprocessing_ref=""), [])
        assert absent == base and empty != absent
        assert store.add_external(FIELDS, [], {"batch": 1}) != base

    def test_params_distinguish_value_kinds(self):
        store = GraphStore()
        ids = [store.add_source("x", {"n": v}) for v in (1, 1.0, True, "1")]
        assert len(set(ids)) == 4
        assert store.add_source("x", {"n": True}) != store.add_source("x", {"n": 1})
        assert store.add_source("x", {"n": False}) != store.add_source("x", {"n": 0})
        assert store.add_op("f", [], {"k": 1}) != store.add_op("f", [], {"k": 1.0})

    def test_float_identity_is_by_bits(self):
        store = GraphStore()

        def node(v):
            return store.add_source("x", {"v": v})

        assert node(0.0) != node(-0.0)
        assert node(0.0) == node(0.0) and node(-0.0) == node(-0.0)
        nan = node(math.nan)
        for bits in (0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0x7FF4000000000000,
                     0xFFFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF):
            value = float_from_bits(bits)
            assert math.isnan(value)
            assert node(value) == nan
        assert node(math.inf) != node(-math.inf)
        assert node(5e-324) != node(0.0)

    def test_param_keys(self):
        store = GraphStore()
        assert store.add_source("x", {"b": 1, "a": 2}) == store.add_source("x", {"a": 2, "b": 1})
        assert store.add_source("x", {"a": 1}) != store.add_source("x", {"A": 1})
        assert store.add_source("x", {"": 1}) != store.add_source("x", {" ": 1})
        assert store.add_source("x", {"a": 1}) != store.add_source("x", {"a": 1, "b": 1})
        assert store.add_source("x", {"%3B": "%3B"}) != store.add_source("x", {";": ";"})


# ---- properties ----------------------------------------------------------

keys = st.text(max_size=6)
values = st.one_of(
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.text(max_size=8),
)
param_dicts = st.dictionaries(keys, values, max_size=6)


def canonical(value):
    """The identity of a parameter value as the store sees it."""
    if isinstance(value, bool):
        return ("b", value)
    if isinstance(value, int):
        return ("i", value)
    if isinstance(value, float):
        return ("f", 0x7FF8000000000000 if math.isnan(value) else bits_of(value))
    return ("s", value)


def identity(params):
    return sorted((k, canonical(v)) for k, v in params.items())


@settings(max_examples=300, deadline=None)
@given(param_dicts, st.randoms(use_true_random=False))
def test_equal_dicts_in_any_order_give_the_same_node(params, rnd):
    store = GraphStore()
    first = store.add_source("x", params)
    items = list(params.items())
    rnd.shuffle(items)
    assert store.add_source("x", dict(items)) == first
    assert store.add_op("x", [first], dict(items)) == store.add_op("x", [first], params)
    assert store.node_count() == 2


@settings(max_examples=300, deadline=None)
@given(st.lists(param_dicts, min_size=1, max_size=8))
def test_ids_follow_structural_identity(dicts):
    store = GraphStore()
    first_id = {}
    for params in dicts:
        key = repr(identity(params))
        got = store.add_source("x", params)
        assert got == first_id.setdefault(key, len(first_id))
    assert store.node_count() == len(first_id)


@settings(max_examples=200, deadline=None)
@given(st.integers(min_value=0, max_value=2**64 - 1), st.integers(min_value=0, max_value=2**64 - 1))
def test_float_bits(a, b):
    store = GraphStore()
    fa, fb = float_from_bits(a), float_from_bits(b)
    same = (math.isnan(fa) and math.isnan(fb)) or a == b
    assert (store.add_source("x", {"f": fa}) == store.add_source("x", {"f": fb})) == same


@settings(max_examples=200, deadline=None)
@given(st.integers(min_value=-(2**63), max_value=2**63 - 1))
def test_scalar_kinds_never_meet(n):
    store = GraphStore()
    variants = [n, float(n), str(n)] + ([bool(n)] if n in (0, 1) else [])
    ids = [store.add_source("x", {"n": v}) for v in variants]
    assert len(set(ids)) == len(variants)
