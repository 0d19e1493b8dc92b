"""IncrementalReducer: steps over the nodes recorded since the last step,
its counters, its canonical form and finalize(). What a step folds into the
canonical form and what finalize gives are the C++ suite's
(tests/cpp/optimizer_incremental_test.cpp); here are the surface (argument
binding, errors, references, threads), the cases that suite does not
cover, and a model over random graphs."""
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from graphgen import (
    COMMUTATIVE, IDENTITY_SYMBOLS, op_symbol, output_values, params_key, recipes, record,
)
from tavrine_core import GraphStore, IncrementalReducer


def counters(reducer):
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


def grows(reducer, store, by):
    """Steps `reducer` over one new node of `store` and checks how much the
    canonical form grew."""
    before = reducer.canonical_count()
    assert reducer.step(store) == 1
    assert reducer.canonical_count() == before + by


class Model:
    """The canonical form a reducer keeps, rebuilt from nodes(): identity ops
    with exactly one input stand for it, commutative ops find their swapped
    twin, everything else is hash-consed on its mapped inputs."""

    def __init__(self):
        self.index = {}
        self.nodes = []        # (nodes() entry, mapped inputs)
        self.id_map = []

    @staticmethod
    def key(node, inputs):
        key = (node["kind"], node["name"], params_key(node["params"]), tuple(inputs))
        if "descriptor" in node:
            key += (tuple(node["descriptor"].items()),)
        return key

    def feed(self, node):
        inputs = [self.id_map[i] for i in node["inputs"]]
        found = None
        if node["kind"] == "op":
            symbol = op_symbol("op", node["name"], node["params"])
            if symbol in IDENTITY_SYMBOLS and len(inputs) == 1:
                found = inputs[0]
            elif len(inputs) == 2 and not node["params"] and node["name"] in COMMUTATIVE:
                found = self.index.get(self.key(node, inputs))
                if found is None:
                    found = self.index.get(self.key(node, inputs[::-1]))
        if found is None:
            key = self.key(node, inputs)
            found = self.index.get(key)
            if found is None:
                found = self.index[key] = len(self.nodes)
                self.nodes.append((node, inputs))
        self.id_map.append(found)

    def store(self):
        """The canonical form recorded into a store of its own (its nodes are
        distinct, so ids equal canonical ids)."""
        store = GraphStore()
        for i, (n, ins) in enumerate(self.nodes):
            if n["kind"] == "source":
                got = store.add_source(n["name"], n["params"])
            elif n["kind"] == "op":
                got = store.add_op(n["name"], ins, n["params"])
            elif n["kind"] == "reduction":
                got = store.add_reduction(n["name"], ins, n["params"])
            elif n["kind"] == "external":
                got = store.add_external(n["descriptor"], ins, n["params"])
            else:
                got = store.add_exchange(ins, n["params"])
            assert got == i
        return store


class TestCounters:
    def test_result_types(self):
        store, reducer = GraphStore(), IncrementalReducer()
        store.add_source("x")
        assert type(reducer.step(store)) is int
        assert all(type(v) is int for v in counters(reducer))
        result = reducer.finalize(store)
        assert type(result) is tuple and len(result) == 2
        assert type(result[0]) is GraphStore and type(result[1]) is dict

    def test_another_store_is_refused_and_the_binding_keeps_no_reference(self):
        first, other = GraphStore(), GraphStore()
        first.add_source("a")
        for name in "abc":
            other.add_source(name)
        reducer = IncrementalReducer()
        before = sys.getrefcount(first)
        reducer.step(first)
        assert sys.getrefcount(first) == before
        message = "reducer is bound to another store: an IncrementalReducer serves only the store it was first fed"
        for call in (lambda: reducer.step(other), lambda: reducer.finalize(other, outputs=[0])):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == message
        assert counters(reducer) == (1, 1, 1)
        first.add_source("b")
        assert reducer.step(first) == 1

    def test_store_argument(self):
        reducer = IncrementalReducer()
        for value, message in [
            (None, "argument 'store': 'None' is not an instance of 'GraphStore'"),
            (5, "argument 'store': 'int' object is not an instance of 'GraphStore'"),
            (IncrementalReducer(), "argument 'store': 'IncrementalReducer' object is not an instance of 'GraphStore'"),
        ]:
            with pytest.raises(TypeError) as info:
                reducer.step(value)
            assert str(info.value) == message
            with pytest.raises(TypeError) as info:
                reducer.finalize(value)
            assert str(info.value) == message
        assert counters(reducer) == (0, 0, 0)


class TestCanonicalForm:
    @pytest.mark.parametrize("name, params", [
        ("add", {"scalar": 1.0, "side": "r"}),
        ("mul", {"scalar": 0.0, "side": "l"}),
        ("add", {"scalar": 0, "side": "r"}),
        ("add", {"scalar": -0.0, "side": "r"}),
        ("mul", {"scalar": 1.0, "side": "l", "x": 1}),
        ("add", {"scalar": 0.0}),
        ("sub", {"scalar": 0.0, "side": "r"}),
    ])
    def test_near_misses_are_kept(self, name, params):
        store, reducer = GraphStore(), IncrementalReducer()
        x = store.add_source("x")
        store.add_op(name, [x], params)
        reducer.step(store)
        assert reducer.canonical_count() == 2

    def test_commutative_ops_need_exactly_two_inputs(self):
        store, reducer = GraphStore(), IncrementalReducer()
        a, b = store.add_source("a"), store.add_source("b")
        reducer.step(store)
        store.add_op("add", [a, b, a])
        grows(reducer, store, 1)
        store.add_op("add", [b, a, a])
        grows(reducer, store, 1)
        store.add_reduction("add", [a, b])
        grows(reducer, store, 1)
        store.add_reduction("add", [b, a])
        grows(reducer, store, 1)

    def test_commutation_under_mapped_inputs(self):
        store, reducer = GraphStore(), IncrementalReducer()
        a, b = store.add_source("a"), store.add_source("b")
        ab = store.add_op("maximum", [a, b])
        b1 = store.add_op("mul", [b], {"scalar": 1.0, "side": "r"})
        store.add_op("maximum", [b1, a])
        ab2 = store.add_op("minimum", [ab, b])
        store.add_op("minimum", [b, store.add_op("maximum", [b, a])])
        assert store.node_count() == 8
        reducer.step(store)
        assert reducer.canonical_count() == 4
        assert reducer.watermark() == 8


class TestFinalize:
    def test_no_marks_and_no_outputs(self):
        store, reducer = GraphStore(), IncrementalReducer()
        x = store.add_source("x")
        store.add_op("add", [x], {"scalar": 0.0, "side": "r"})
        reduced, rep = reducer.finalize(store)
        assert reduced.node_count() == 0 and reduced.outputs() == []
        assert rep == dict(input_nodes=1, reachable_nodes=0, canonical_nodes=0, stages=0, reduced_nodes=0,
                           boundary_nodes=0)
        assert counters(reducer) == (2, 2, 1)
        reduced, rep = reducer.finalize(store, outputs=[])
        assert rep["input_nodes"] == 1 and reduced.node_count() == 0

    def test_unknown_output_changes_nothing(self):
        store, reducer = GraphStore(), IncrementalReducer()
        store.add_source("x")
        reducer.step(store)
        store.add_source("y")
        with pytest.raises(ValueError, match="^no node with id 2$"):
            reducer.finalize(store, outputs=[1, 2])
        assert counters(reducer) == (1, 1, 1)
        with pytest.raises(TypeError, match="^argument 'outputs': Can't extract `str` to `Vec`$"):
            reducer.finalize(store, outputs="0")
        with pytest.raises(OverflowError):
            reducer.finalize(store, outputs=[-1])
        assert counters(reducer) == (1, 1, 1)

    def test_arguments(self):
        store, reducer = GraphStore(), IncrementalReducer()
        with pytest.raises(TypeError, match=r"^IncrementalReducer\.finalize\(\) takes 1 positional arguments but 2 were given$"):
            reducer.finalize(store, True)
        with pytest.raises(TypeError, match=r"^argument 'maximal_fusion': 'int' object is not an instance of 'bool'$"):
            reducer.finalize(store, maximal_fusion=1)
        with pytest.raises(TypeError, match=r"^IncrementalReducer\.step\(\) missing 1 required positional argument: 'store'$"):
            reducer.step()
        import numpy
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b, c = store.add_op("b", [a]), store.add_op("c", [a])
        d = store.add_op("d", [b, c])
        assert reducer.finalize(store, outputs=[d], maximal_fusion=numpy.bool_(True))[1]["stages"] == 1
        assert reducer.finalize(store, outputs=[d], maximal_fusion=False)[1]["stages"] == 2
        assert reducer.finalize(store, outputs=[d])[1]["stages"] == 2

    def test_stages_read_from_a_blob(self):
        # a reducer fed a store that already holds stages copies them through
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        once, _ = store.reduce(outputs=[store.add_op("b", [a])])
        reducer = IncrementalReducer()
        twice, rep = reducer.finalize(once)
        assert twice.serialize() == once.serialize()
        assert rep["stages"] == 0


class TestThreads:
    def test_stepping_while_another_thread_records(self):
        store, reducer = GraphStore(), IncrementalReducer()
        done = threading.Event()

        def produce():
            x = store.add_source("x")
            prev = x
            for i in range(2000):
                prev = store.add_op(("add", "f", "mul")[i % 3], [prev, x] if i % 2 else [x, prev])
                if i % 5 == 0:
                    store.add_op("add", [prev], {"scalar": 0.0, "side": "r"})
            done.set()

        thread = threading.Thread(target=produce)
        thread.start()
        steps = 0
        while not done.is_set():
            steps += reducer.step(store)
            assert reducer.total_work() == reducer.watermark() <= store.node_count()
        thread.join()
        steps += reducer.step(store)
        assert steps == store.node_count() == reducer.watermark() == reducer.total_work()
        reduced, _ = reducer.finalize(store, outputs=[store.node_count() - 1])
        assert reduced.serialize() == store.reduce(outputs=[store.node_count() - 1])[0].serialize()

    def test_many_threads_on_one_reducer(self):
        store, reducer = GraphStore(), IncrementalReducer()
        x = store.add_source("x")
        for i in range(500):
            store.add_op("f", [x], {"i": i})
        steps, sizes = [], []

        def worker():
            steps.append(reducer.step(store))
            sizes.append(reducer.finalize(store, outputs=[x])[1]["input_nodes"])

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sum(steps) <= 501 and sizes == [501] * 4
        assert counters(reducer) == (501, 501, 501)


# --------------------------------------------------------------------------
# against the model, over random graphs fed in random chunks

@st.composite
def fed_graphs(draw):
    calls = draw(recipes(max_calls=25, rich=draw(st.booleans())))
    cuts = sorted(draw(st.lists(st.integers(0, len(calls)), max_size=6)))
    return calls, cuts, draw(st.lists(st.integers(0, 60), max_size=4)), draw(st.booleans())


class TestAgainstModel:
    @given(fed_graphs())
    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    def test_canonical_form_and_finalize(self, case):
        calls, cuts, picks, maximal = case
        store, reducer, model = GraphStore(), IncrementalReducer(), Model()
        got, start = [], 0
        for cut in cuts + [len(calls)]:
            record(store, calls[start:cut], got)
            start = cut
            before = reducer.watermark()
            assert reducer.step(store) == store.node_count() - before
            for node in store.nodes()[before:]:
                model.feed(node)
            assert counters(reducer) == (store.node_count(), store.node_count(), len(model.nodes))
        outputs = [got[p % len(got)] for p in picks]
        reduced, rep = reducer.finalize(store, outputs=outputs, maximal_fusion=maximal)
        canonical = model.store()
        expected, expected_rep = canonical.reduce(outputs=[model.id_map[o] for o in outputs],
                                                  maximal_fusion=maximal)
        assert reduced.serialize() == expected.serialize()
        assert rep == expected_rep
        assert output_values(reduced) == output_values(expected)
        assert counters(reducer) == (store.node_count(), store.node_count(), len(model.nodes))
