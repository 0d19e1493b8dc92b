"""IncrementalReducer: steps over the nodes recorded since the last step,
its counters, its canonical form and finalize()."""
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from graphgen import (
    COMMUTATIVE, IDENTITY_PARAMS, IDENTITY_SYMBOLS, blob, build, descriptor, op_symbol, output_values,
    params_key, rec_op, rec_source, recipes, record,
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
    def test_a_new_reducer(self):
        assert counters(IncrementalReducer()) == (0, 0, 0)

    def test_one_step_per_node_or_one_for_all(self):
        def five(store):
            x = store.add_source("x")
            y = store.add_source("y")
            a = store.add_op("f", [x, y])
            b = store.add_op("g", [a])
            store.add_exchange([b])

        store, reducer = GraphStore(), IncrementalReducer()
        calls = [lambda: store.add_source("x"), lambda: store.add_source("y"),
                 lambda: store.add_op("f", [0, 1]), lambda: store.add_op("g", [2]),
                 lambda: store.add_exchange([3])]
        for call in calls:
            call()
            assert reducer.step(store) == 1
        assert counters(reducer) == (5, 5, 5)
        assert reducer.step(store) == 0 and counters(reducer) == (5, 5, 5)

        store, reducer = GraphStore(), IncrementalReducer()
        five(store)
        assert reducer.step(store) == 5
        assert counters(reducer) == (5, 5, 5)
        assert reducer.step(store) == 0

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
    @pytest.mark.parametrize("params", IDENTITY_PARAMS)
    def test_identity_ops_are_eliminated(self, params):
        name = "add" if params["scalar"] == 0.0 else "mul"
        store, reducer = GraphStore(), IncrementalReducer()
        x = store.add_source("x")
        grows(reducer, store, 1)
        y = store.add_op(name, [x], params)
        grows(reducer, store, 0)
        store.add_op(name, [y], params)
        grows(reducer, store, 0)
        reduced, rep = reducer.finalize(store, outputs=[2])
        assert [n["kind"] for n in reduced.nodes()] == ["source"] and reduced.outputs() == [0]
        assert rep["input_nodes"] == 1

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

    @pytest.mark.parametrize("params", IDENTITY_PARAMS)
    def test_identity_symbol_with_two_inputs_is_an_ordinary_op(self, params):
        name = "add" if params["scalar"] == 0.0 else "mul"
        store, reducer = GraphStore(), IncrementalReducer()
        x, y = store.add_source("x"), store.add_source("y")
        reducer.step(store)
        two = store.add_op(name, [x, y], params)
        grows(reducer, store, 1)
        user = store.add_op("neg", [two])
        grows(reducer, store, 1)
        reduced, rep = reducer.finalize(store, outputs=[user])
        members = reduced.nodes()[2]["members"]
        assert [(m["name"], m["params"], m["inputs"]) for m in members] == [
            (name, params, [("input", 0), ("input", 1)]), ("neg", {}, [("member", 0)])]
        assert output_values(reduced) == output_values(store, [user])
        assert reduced.serialize() == store.reduce(outputs=[user])[0].serialize()

    @pytest.mark.parametrize("params", IDENTITY_PARAMS)
    def test_identity_symbol_without_inputs_is_an_ordinary_op(self, params):
        name = "add" if params["scalar"] == 0.0 else "mul"
        store, reducer = GraphStore(), IncrementalReducer()
        lone = store.add_op(name, [], params)
        grows(reducer, store, 1)
        again = store.add_op("neg", [lone])
        grows(reducer, store, 1)
        # the reducer keeps working: nothing was poisoned
        assert counters(reducer) == (2, 2, 2)
        reduced, rep = reducer.finalize(store, outputs=[again, lone])
        assert reduced.serialize() == store.reduce(outputs=[again, lone])[0].serialize()
        store.add_source("later")
        assert reducer.step(store) == 1 and counters(reducer) == (3, 3, 3)

    def test_identity_with_two_inputs_mid_graph(self):
        # the op must not stand for its first input: users of it and users of
        # that input stay different
        store, reducer = GraphStore(), IncrementalReducer()
        x, y = store.add_source("x"), store.add_source("y")
        both = store.add_op("add", [x, y], {"scalar": 0.0, "side": "l"})
        f1 = store.add_op("f", [both])
        f2 = store.add_op("f", [x])
        reducer.step(store)
        assert reducer.canonical_count() == 5
        reduced, _ = reducer.finalize(store, outputs=[f1, f2])
        assert reduced.outputs() == [2, 3]
        assert output_values(reduced) == output_values(store, [f1, f2])

    @pytest.mark.parametrize("name", COMMUTATIVE)
    def test_swapped_commutative_op_maps_to_the_first(self, name):
        store, reducer = GraphStore(), IncrementalReducer()
        a, b = store.add_source("a"), store.add_source("b")
        reducer.step(store)
        store.add_op(name, [b, a])
        grows(reducer, store, 1)
        store.add_op(name, [a, b])
        grows(reducer, store, 0)
        store.add_op(name, [a, a])
        grows(reducer, store, 1)

    @pytest.mark.parametrize("name, params", [
        ("sub", None), ("div", None), ("add", {"k": 1}), ("mul", {"scalar": 0.0, "side": "r"}),
    ])
    def test_other_swapped_ops_are_new(self, name, params):
        store, reducer = GraphStore(), IncrementalReducer()
        a, b = store.add_source("a"), store.add_source("b")
        reducer.step(store)
        store.add_op(name, [a, b], params)
        grows(reducer, store, 1)
        store.add_op(name, [b, a], params)
        grows(reducer, store, 1)

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

    def test_nodes_equal_after_mapping_share_an_id(self):
        store, reducer = GraphStore(), IncrementalReducer()
        x = store.add_source("x")
        y = store.add_op("add", [x], {"scalar": 0.0, "side": "r"})
        f1 = store.add_op("f", [x])
        f2 = store.add_op("f", [y])
        assert f1 != f2
        reducer.step(store)
        assert reducer.canonical_count() == 2
        reduced, rep = reducer.finalize(store, outputs=[f2, f1])
        assert reduced.outputs() == [1]
        assert rep["input_nodes"] == 2

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
    def marked_store(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [s])
        store.add_op("c", [a, b])
        return GraphStore.deserialize(store.serialize(outputs=[3, 1]))

    def test_marks_are_the_default_outputs(self):
        store = self.marked_store()
        reducer = IncrementalReducer()
        reduced, rep = reducer.finalize(store)
        plain, plain_rep = store.reduce()
        assert reduced.serialize() == plain.serialize()
        assert reduced.outputs() == plain.outputs() and len(reduced.outputs()) == 2
        assert rep == plain_rep
        assert counters(reducer) == (4, 4, 4)

    def test_outputs_ignore_the_marks(self):
        store = self.marked_store()
        reducer = IncrementalReducer()
        reduced, rep = reducer.finalize(store, outputs=[1])
        assert [n["kind"] for n in reduced.nodes()] == ["source", "stage"]
        assert reduced.outputs() == [1]
        # input_nodes and reachable_nodes count canonical nodes
        assert rep == dict(input_nodes=4, reachable_nodes=2, canonical_nodes=2, stages=1, reduced_nodes=2,
                           boundary_nodes=1)

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

    def test_finalize_does_not_reset(self):
        store, reducer = GraphStore(), IncrementalReducer()
        x = store.add_source("x")
        f = store.add_op("f", [x])
        r1, rep1 = reducer.finalize(store, outputs=[f])
        assert counters(reducer) == (2, 2, 2)
        g = store.add_op("g", [f])
        store.add_op("f", [x])                     # a repeat: no new node
        h = store.add_op("h", [g, x])
        r2, rep2 = reducer.finalize(store, outputs=[h])
        assert counters(reducer) == (4, 4, 4)
        assert rep2["input_nodes"] == 4
        assert r2.serialize() == store.reduce(outputs=[h])[0].serialize()
        # finalizing again consumes nothing and gives the same result
        r3, rep3 = reducer.finalize(store, outputs=[h])
        assert counters(reducer) == (4, 4, 4)
        assert (r3.serialize(), rep3) == (r2.serialize(), rep2)

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
