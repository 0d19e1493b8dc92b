"""GraphStore.reduce(), reduce_incremental() and reduction_report(): what
the reduced store holds, the report, and the argument rules."""
import numpy
import pytest

from graphgen import (
    COMMUTATIVE, FIELDS, IDENTITY_PARAMS, blob, descriptor, evaluate, output_values, rec_source,
    rec_stage,
)
from tavrine_core import GraphStore

REPORT_KEYS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"}


def shape(store):
    """A compact picture of a store: sources and other boundary nodes by kind
    and name, stages by their members (name and refs as 'i0' / 'm1')."""
    out = []
    for n in store.nodes():
        if n["kind"] == "stage":
            members = [(m["name"], [f"{t[0]}{i}" for t, i in m["inputs"]]) for m in n["members"]]
            out.append(("stage", n["inputs"], members))
        else:
            out.append((n["kind"], n["name"], n["inputs"]))
    return out


def report(input_nodes, reachable, canonical, stages, boundary):
    return dict(input_nodes=input_nodes, reachable_nodes=reachable, canonical_nodes=canonical,
                stages=stages, reduced_nodes=stages + boundary, boundary_nodes=boundary)


def reduce(store, outputs, maximal=False):
    reduced, rep = store.reduce(outputs=outputs, maximal_fusion=maximal)
    assert set(rep) == REPORT_KEYS
    assert all(type(v) is int for v in rep.values())
    assert rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"] == reduced.node_count()
    assert output_values(reduced) == list(dict.fromkeys(output_values(store, outputs)))
    return reduced, rep


class TestFusion:
    def chain(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [a])
        c = store.add_op("c", [b])
        return store, c

    def fan_out(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [a])
        c = store.add_op("c", [a])
        d = store.add_op("d", [b, c])
        return store, d

    def test_chain(self):
        store, c = self.chain()
        for maximal in (False, True):
            reduced, rep = reduce(store, [c], maximal)
            assert shape(reduced) == [
                ("source", "s", []),
                ("stage", [0], [("a", ["i0"]), ("b", ["m0"]), ("c", ["m1"])]),
            ]
            assert reduced.outputs() == [1]
            assert rep == report(4, 4, 4, 1, 1)

    def test_fan_out_default_rule(self):
        store, d = self.fan_out()
        reduced, rep = reduce(store, [d])
        assert shape(reduced) == [
            ("source", "s", []),
            ("stage", [0], [("a", ["i0"])]),
            ("stage", [1], [("b", ["i0"]), ("c", ["i0"]), ("d", ["m0", "m1"])]),
        ]
        assert reduced.outputs() == [2]
        assert rep == report(5, 5, 5, 2, 1)

    def test_fan_out_maximal_rule(self):
        store, d = self.fan_out()
        reduced, rep = reduce(store, [d], maximal=True)
        assert shape(reduced) == [
            ("source", "s", []),
            ("stage", [0], [("a", ["i0"]), ("b", ["m0"]), ("c", ["m0"]), ("d", ["m1", "m2"])]),
        ]
        assert rep == report(5, 5, 5, 1, 1)

    def test_an_op_read_twice_by_one_op(self):
        store = GraphStore()
        s = store.add_source("s")
        x = store.add_op("neg", [s])
        m = store.add_op("mul", [x, x])
        reduced, rep = reduce(store, [m])
        assert shape(reduced) == [
            ("source", "s", []),
            ("stage", [0], [("neg", ["i0"])]),
            ("stage", [1], [("mul", ["i0", "i0"])]),
        ]
        assert rep["stages"] == 2
        reduced, rep = reduce(store, [m], maximal=True)
        assert shape(reduced) == [
            ("source", "s", []),
            ("stage", [0], [("neg", ["i0"]), ("mul", ["m0", "m0"])]),
        ]
        assert rep["stages"] == 1

    def test_fan_out_into_different_groups_stays_apart_under_both_rules(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [a])
        c = store.add_op("c", [a])
        for maximal in (False, True):
            reduced, rep = reduce(store, [b, c], maximal)
            assert shape(reduced) == [
                ("source", "s", []),
                ("stage", [0], [("a", ["i0"])]),
                ("stage", [1], [("b", ["i0"])]),
                ("stage", [1], [("c", ["i0"])]),
            ]
            assert reduced.outputs() == [2, 3]

    def test_a_marked_op_mid_chain_is_not_fused(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [a])
        for maximal in (False, True):
            reduced, rep = reduce(store, [b, a], maximal)
            assert shape(reduced) == [
                ("source", "s", []),
                ("stage", [0], [("a", ["i0"])]),
                ("stage", [1], [("b", ["i0"])]),
            ]
            assert reduced.outputs() == [2, 1]
            assert rep == report(3, 3, 3, 2, 1)

    @pytest.mark.parametrize("consumer", ["reduction", "external", "exchange"])
    def test_ops_consumed_by_a_boundary_node(self, consumer):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [a])
        if consumer == "reduction":
            r = store.add_reduction("sum", [b])
        elif consumer == "external":
            r = store.add_external(descriptor(), [b])
        else:
            r = store.add_exchange([b])
        top = store.add_op("top", [r])
        for maximal in (False, True):
            reduced, rep = reduce(store, [top], maximal)
            kinds = shape(reduced)
            assert kinds[:2] == [("source", "s", []), ("stage", [0], [("a", ["i0"]), ("b", ["m0"])])]
            assert kinds[2][0] == consumer and kinds[2][2] == [1]
            assert kinds[3] == ("stage", [2], [("top", ["i0"])])
            assert rep == report(5, 5, 5, 2, 2)

    def test_a_lone_marked_op(self):
        store = GraphStore()
        s = store.add_source("s", {"k": 1})
        f = store.add_op("f", [s], {"p": "q|r"})
        reduced, rep = reduce(store, [f])
        assert reduced.nodes()[1]["members"] == [
            {"kind": "op", "name": "f", "params": {"p": "q|r"}, "inputs": [("input", 0)]}]
        assert reduced.nodes()[0]["params"] == {"k": 1}
        assert rep == report(2, 2, 2, 1, 1)

    def test_stage_inputs_in_order_of_first_use(self):
        store = GraphStore()
        s = store.add_source("s")
        t = store.add_source("t")
        u = store.add_source("u")
        a = store.add_op("a", [u, s])
        b = store.add_op("b", [t, a, u])
        reduced, _ = reduce(store, [b])
        assert shape(reduced)[3:] == [("stage", [2, 0, 1], [("a", ["i0", "i1"]), ("b", ["i2", "m0", "i0"])])]

    def test_reducing_a_reduced_store(self):
        store, d = self.fan_out()
        once, _ = reduce(store, [d])
        for maximal in (False, True):
            twice, rep = reduce(once, None, maximal)
            assert rep == report(3, 3, 3, 0, 3)
            assert twice.serialize() == once.serialize()
            assert twice.nodes() == once.nodes()

    def test_reducing_a_reduced_store_with_new_ops(self):
        store, c = self.chain()
        once, _ = reduce(store, [c])
        before = shape(once)
        top = once.add_op("top", [1])
        twice, rep = reduce(once, [top])
        assert shape(twice) == before + [("stage", [1], [("top", ["i0"])])]
        assert rep == report(3, 3, 3, 1, 2)


class TestOutputs:
    def graph(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [a])
        store.add_op("dead", [s])
        return GraphStore.deserialize(store.serialize(outputs=[2, 3]))

    def test_dead_nodes(self):
        store = GraphStore()
        s = store.add_source("s")
        d1 = store.add_source("unused")
        store.add_op("dead", [s, d1])
        a = store.add_op("a", [s])
        reduced, rep = reduce(store, [a])
        assert shape(reduced) == [("source", "s", []), ("stage", [0], [("a", ["i0"])])]
        assert rep == report(4, 2, 2, 1, 1)

    def test_no_marks(self):
        store = GraphStore()
        store.add_source("s")
        store.add_op("a", [0])
        for call in (lambda: store.reduce(), lambda: store.reduce(outputs=None), lambda: store.reduce_incremental()):
            reduced, rep = call()
            assert rep == report(2, 0, 0, 0, 0)
            assert reduced.node_count() == 0 and reduced.outputs() == []
        assert store.reduction_report() == report(2, 0, 0, 0, 0)

    def test_empty_outputs_ignore_the_marks(self):
        store = self.graph()
        reduced, rep = store.reduce(outputs=[])
        assert rep == report(4, 0, 0, 0, 0) and reduced.node_count() == 0
        assert store.reduction_report(outputs=()) == rep

    def test_marks_are_the_default(self):
        store = self.graph()
        reduced, rep = reduce(store, None)
        assert shape(reduced) == [
            ("source", "s", []),
            ("stage", [0], [("a", ["i0"]), ("b", ["m0"])]),
            ("stage", [0], [("dead", ["i0"])]),
        ]
        assert reduced.outputs() == [1, 2]
        assert rep == report(4, 4, 4, 2, 1)

    def test_explicit_outputs_drop_unlisted_marks(self):
        store = self.graph()
        reduced, rep = reduce(store, [1])
        assert shape(reduced) == [("source", "s", []), ("stage", [0], [("a", ["i0"])])]
        assert reduced.outputs() == [1]
        assert rep == report(4, 2, 2, 1, 1)
        assert store.outputs() == [2, 3]

    def test_output_order_and_repeats(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [s])
        reduced, rep = reduce(store, [b, s, b, a, s])
        assert shape(reduced) == [("source", "s", []), ("stage", [0], [("a", ["i0"])]),
                                  ("stage", [0], [("b", ["i0"])])]
        assert reduced.outputs() == [2, 0, 1]
        assert rep == report(3, 3, 3, 2, 1)

    def test_merged_outputs_are_marked_once(self):
        store = GraphStore()
        a = store.add_source("a")
        b = store.add_source("b")
        ab = store.add_op("add", [a, b])
        ba = store.add_op("add", [b, a])
        reduced, rep = reduce(store, [ba, ab, ba])
        assert shape(reduced) == [("source", "a", []), ("source", "b", []),
                                  ("stage", [0, 1], [("add", ["i0", "i1"])])]
        assert reduced.outputs() == [2]
        assert rep == report(4, 4, 3, 1, 2)

    def test_unknown_output_id(self):
        store = self.graph()
        before = store.serialize()
        for call in (store.reduce, store.reduce_incremental, store.reduction_report):
            with pytest.raises(ValueError, match="^no node with id 4$"):
                call(outputs=[0, 4, 9])
        with pytest.raises(ValueError, match="^no node with id 0$"):
            GraphStore().reduce(outputs=[0])
        assert store.serialize() == before

    def test_bad_outputs_arguments(self):
        store = self.graph()
        with pytest.raises(TypeError, match="^argument 'outputs': Can't extract `str` to `Vec`$"):
            store.reduce(outputs="01")
        with pytest.raises(TypeError, match="^argument 'outputs': 'int' object is not an instance of 'Sequence'$"):
            store.reduction_report(outputs=1)
        with pytest.raises(TypeError, match="^argument 'outputs': "):
            store.reduce_incremental(outputs=[0.0])
        with pytest.raises(OverflowError):
            store.reduce(outputs=[-1])
        assert reduce(store, range(2))[0].outputs() == [0, 1]
        assert reduce(store, numpy.array([2, 1]))[0].outputs() == [2, 1]


class TestArguments:
    def store(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        store.add_op("b", [a])
        store.add_op("c", [a])
        store.add_op("d", [2, 3])
        return store

    def test_flag_is_keyword_only(self):
        store = self.store()
        with pytest.raises(TypeError, match=r"^GraphStore\.reduce\(\) takes 0 positional arguments but 1 was given$"):
            store.reduce(True)
        with pytest.raises(TypeError, match=r"^GraphStore\.reduction_report\(\) got an unexpected keyword argument 'maximal_fusion'$"):
            store.reduction_report(maximal_fusion=True)
        with pytest.raises(TypeError, match=r"^GraphStore\.reduce_incremental\(\) got an unexpected keyword argument 'maximal_fusion'$"):
            store.reduce_incremental(maximal_fusion=False)

    def test_flag_types(self):
        store = self.store()
        plain = store.reduce(outputs=[4])[1]["stages"]
        fused = store.reduce(outputs=[4], maximal_fusion=True)[1]["stages"]
        assert (plain, fused) == (2, 1)
        assert store.reduce(outputs=[4], maximal_fusion=numpy.bool_(True))[1]["stages"] == 1
        assert store.reduce(outputs=[4], maximal_fusion=numpy.True_)[1]["stages"] == 1
        assert store.reduce(outputs=[4], maximal_fusion=numpy.bool_(False))[1]["stages"] == 2
        assert store.reduce(outputs=[4], maximal_fusion=False)[1]["stages"] == 2
        for value, shown in [(1, "int"), (None, "None"), ("yes", "str"), (numpy.int64(1), "numpy.int64")]:
            with pytest.raises(TypeError) as info:
                store.reduce(outputs=[4], maximal_fusion=value)
            if value is None:
                assert str(info.value) == "argument 'maximal_fusion': 'None' is not an instance of 'bool'"
            else:
                assert str(info.value).startswith("argument 'maximal_fusion': ")

    def test_three_methods_agree(self):
        store = self.store()
        for outputs in ([4], [3, 2], []):
            reduced, rep = store.reduce(outputs=outputs)
            again, rep2 = store.reduce_incremental(outputs=outputs)
            assert type(store.reduce(outputs=outputs)) is tuple
            assert rep == rep2 == store.reduction_report(outputs=outputs)
            assert reduced.serialize() == again.serialize()
            assert reduced.nodes() == again.nodes()
        # reduce_incremental never applies the fan-out rule
        assert store.reduce_incremental(outputs=[4])[1]["stages"] == 2

    def test_reduce_leaves_the_store_alone_and_results_are_independent(self):
        store = self.store()
        before = store.serialize(outputs=[4])
        reduced, _ = store.reduce(outputs=[4])
        reduced2, _ = store.reduce(outputs=[4])
        assert store.serialize(outputs=[4]) == before and store.outputs() == []
        store.add_op("late", [4])
        assert reduced.node_count() == 3
        assert reduced.add_op("extra", [2]) == 3
        assert reduced2.node_count() == 3


class TestRewrites:
    def pair(self, name, params=None, swapped_params="same"):
        store = GraphStore()
        a = store.add_source("a")
        b = store.add_source("b")
        ab = store.add_op(name, [a, b], params)
        ba = store.add_op(name, [b, a], params if swapped_params == "same" else swapped_params)
        return store, ab, ba

    @pytest.mark.parametrize("name", COMMUTATIVE)
    def test_commutative_ops_merge(self, name):
        store, ab, ba = self.pair(name)
        reduced, rep = reduce(store, [ba, ab])
        # the earlier node represents the class, inputs in its recorded order
        assert shape(reduced)[2:] == [("stage", [0, 1], [(name, ["i0", "i1"])])]
        assert reduced.outputs() == [2]
        assert rep["canonical_nodes"] == 3

    @pytest.mark.parametrize("name", ["sub", "div", "Add", "add ", "maximum2", "concat"])
    def test_other_ops_keep_their_order(self, name):
        store, ab, ba = self.pair(name)
        reduced, rep = reduce(store, [ba, ab])
        assert rep["canonical_nodes"] == 4 and reduced.outputs() == [3, 2]

    @pytest.mark.parametrize("params", [{"k": 1}, {"scalar": 0.0, "side": "r"}, {"": ""}])
    def test_commutative_ops_with_params_keep_their_order(self, params):
        store, ab, ba = self.pair("add", params)
        assert reduce(store, [ab, ba])[1]["canonical_nodes"] == 4

    def test_commutativity_needs_exactly_two_inputs(self):
        store = GraphStore()
        a, b, c = (store.add_source(n) for n in "abc")
        f = store.add_op("add", [a, b, c])
        g = store.add_op("add", [b, a, c])
        h = store.add_op("add", [c, b, a])
        assert reduce(store, [f, g, h])[1]["canonical_nodes"] == 6

    def test_reductions_named_like_commutative_ops_do_not_commute(self):
        store = GraphStore()
        a, b = store.add_source("a"), store.add_source("b")
        r1 = store.add_reduction("add", [a, b])
        r2 = store.add_reduction("add", [b, a])
        assert reduce(store, [r1, r2])[1]["canonical_nodes"] == 4

    def test_a_lone_commutative_op_keeps_its_input_order(self):
        store = GraphStore()
        a, b = store.add_source("a"), store.add_source("b")
        ba = store.add_op("mul", [b, a])
        reduced, _ = reduce(store, [ba])
        assert shape(reduced)[2] == ("stage", [1, 0], [("mul", ["i0", "i1"])])

    def test_merging_reaches_users(self):
        store = GraphStore()
        a, b = store.add_source("a"), store.add_source("b")
        ab = store.add_op("add", [a, b])
        ba = store.add_op("add", [b, a])
        f1 = store.add_op("f", [ab])
        f2 = store.add_op("f", [ba])
        g = store.add_op("g", [f1, f2])
        reduced, rep = reduce(store, [g])
        assert rep["canonical_nodes"] == 5
        assert shape(reduced)[2:] == [("stage", [0, 1], [("add", ["i0", "i1"]), ("f", ["m0"])]),
                                      ("stage", [2], [("g", ["i0", "i0"])])]

    @pytest.mark.parametrize("params", IDENTITY_PARAMS)
    def test_identity_ops_are_their_input(self, params):
        name = "add" if params["scalar"] == 0.0 else "mul"
        store = GraphStore()
        x = store.add_source("x")
        y = store.add_op(name, [x], params)
        user = store.add_op("neg", [y])
        reduced, rep = reduce(store, [y])
        assert shape(reduced) == [("source", "x", [])] and reduced.outputs() == [0]
        assert rep == report(3, 2, 1, 0, 1)
        reduced, rep = reduce(store, [user])
        assert shape(reduced) == [("source", "x", []), ("stage", [0], [("neg", ["i0"])])]

    def test_identity_chain(self):
        store = GraphStore()
        x = store.add_source("x")
        y = store.add_op("mul", [x], {"scalar": 1.0, "side": "r"})
        z = store.add_op("mul", [y], {"scalar": 1.0, "side": "r"})
        w = store.add_op("add", [z], {"side": "l", "scalar": 0.0})
        reduced, rep = reduce(store, [w, z])
        assert shape(reduced) == [("source", "x", [])] and reduced.outputs() == [0]
        assert rep == report(4, 4, 1, 0, 1)

    @pytest.mark.parametrize("name, params", [
        ("add", {"scalar": 0, "side": "r"}),
        ("add", {"scalar": -0.0, "side": "r"}),
        ("mul", {"scalar": 1, "side": "l"}),
        ("mul", {"scalar": True, "side": "l"}),
        ("add", {"scalar": 0.0, "side": "r", "extra": 1}),
        ("add", {"scalar": 0.0, "side": "x"}),
        ("add", {"scalar": 0.0}),
        ("add", {"scalar": 1.0, "side": "r"}),
        ("mul", {"scalar": 0.0, "side": "r"}),
        ("sub", {"scalar": 0.0, "side": "r"}),
        ("add", {"scalar": 0.0, "side": "R"}),
        ("add", None),
    ])
    def test_identity_near_misses(self, name, params):
        store = GraphStore()
        x = store.add_source("x")
        y = store.add_op(name, [x], params)
        reduced, rep = reduce(store, [y])
        assert rep == report(2, 2, 2, 1, 1)

    @pytest.mark.parametrize("params", IDENTITY_PARAMS)
    def test_identity_symbol_with_other_arity_is_an_ordinary_op(self, params):
        name = "add" if params["scalar"] == 0.0 else "mul"
        store = GraphStore()
        x, y = store.add_source("x"), store.add_source("y")
        two = store.add_op(name, [x, y], params)
        none = store.add_op(name, [], params)
        reduced, rep = reduce(store, [two, none])
        assert rep == report(4, 4, 4, 2, 2)
        assert [n["kind"] for n in reduced.nodes()] == ["source", "source", "stage", "stage"]
        assert reduced.nodes()[3]["inputs"] == [] and reduced.nodes()[3]["members"][0]["inputs"] == []

    def test_identity_reduction_is_not_eliminated(self):
        store = GraphStore()
        x = store.add_source("x")
        r = store.add_reduction("add", [x], {"scalar": 0.0, "side": "r"})
        assert reduce(store, [r])[1] == report(2, 2, 2, 0, 2)

    def test_congruence_after_identity(self):
        store = GraphStore()
        x = store.add_source("x")
        y = store.add_op("add", [x], {"scalar": 0.0, "side": "r"})
        n1 = store.add_op("neg", [x])
        n2 = store.add_op("neg", [y])
        reduced, rep = reduce(store, [n2, n1])
        assert shape(reduced) == [("source", "x", []), ("stage", [0], [("neg", ["i0"])])]
        assert reduced.outputs() == [1]
        assert rep == report(4, 4, 2, 1, 1)

    def test_congruence_after_commutation(self):
        store = GraphStore()
        a, b = store.add_source("a"), store.add_source("b")
        ab = store.add_op("maximum", [a, b])
        ba = store.add_op("maximum", [b, a])
        x = store.add_op("sub", [ab, a])
        y = store.add_op("sub", [ba, a])
        z = store.add_op("eq", [y, x])
        reduced, rep = reduce(store, [z])
        assert rep["canonical_nodes"] == 5
        # eq reads the merged sub twice, so the default rule leaves it alone
        assert shape(reduced)[2:] == [("stage", [0, 1], [("maximum", ["i0", "i1"]), ("sub", ["m0", "i0"])]),
                                      ("stage", [2], [("eq", ["i0", "i0"])])]

    def test_commutation_under_an_identity(self):
        store = GraphStore()
        a, b = store.add_source("a"), store.add_source("b")
        ab = store.add_op("add", [a, b])
        b1 = store.add_op("mul", [b], {"scalar": 1.0, "side": "l"})
        ba = store.add_op("add", [b1, a])
        reduced, rep = reduce(store, [ba, ab])
        assert reduced.outputs() == [2] and rep["canonical_nodes"] == 3


class TestBoundarySymbols:
    """Nodes that are not ops merge only when they are the same node up to
    the identities of their inputs."""

    def externals(self, *descs):
        store = GraphStore()
        x = store.add_source("x")
        ids = [store.add_external(d, [x]) for d in descs]
        assert len(set(ids)) == len(ids)
        return store, ids

    @pytest.mark.parametrize("first, second", [
        (dict(kind="a|b", content_hash="c"), dict(kind="a", content_hash="b|c")),
        (dict(io_schema="s", preprocessing_ref=None), dict(io_schema="s", preprocessing_ref="-")),
        (dict(io_schema="s|-"), dict(io_schema="s", preprocessing_ref="-|-")),
        (dict(preprocessing_ref=None), dict(preprocessing_ref="")),
        (dict(kind="a%7Cb"), dict(kind="a|b")),
        (dict(version="1|x"), dict(version="1", io_schema="x|" + FIELDS["io_schema"])),
    ])
    def test_externals_with_different_descriptors_stay_apart(self, first, second):
        store, ids = self.externals(dict(FIELDS, **first), dict(FIELDS, **second))
        reduced, rep = reduce(store, ids)
        assert rep["canonical_nodes"] == 3
        assert [n["descriptor"] for n in reduced.nodes()[1:]] == [
            n["descriptor"] for n in store.nodes()[1:]]

    def test_equal_externals_over_merged_inputs_merge(self):
        store = GraphStore()
        a, b = store.add_source("a"), store.add_source("b")
        e1 = store.add_external(descriptor(), [store.add_op("add", [a, b])], {"p": 1})
        e2 = store.add_external(descriptor(), [store.add_op("add", [b, a])], {"p": 1})
        reduced, rep = reduce(store, [e1, e2])
        assert rep["canonical_nodes"] == 4 and reduced.outputs() == [3]

    def test_boundary_nodes_are_copied_from_their_first_occurrence(self):
        store = GraphStore()
        x = store.add_source("x", {"nan": float("nan"), "z": -0.0})
        e = store.add_exchange([x], {"scheme": "a|b"})
        r = store.add_reduction("sum", [e], {"axis": 1})
        reduced, rep = reduce(store, [r])
        want = [(n["kind"], n["name"], n["params"].get("scheme"), n["inputs"]) for n in store.nodes()]
        got = [(n["kind"], n["name"], n["params"].get("scheme"), n["inputs"]) for n in reduced.nodes()]
        assert got == want
        assert str(reduced.nodes()[0]["params"]) == str(store.nodes()[0]["params"])

    def test_stages_with_equal_member_counts_stay_apart(self):
        store = GraphStore()
        s = store.add_source("s")
        f = store.add_op("f", [s])
        g = store.add_op("g", [s])
        once, _ = reduce(store, [f, g])
        assert shape(once) == [("source", "s", []), ("stage", [0], [("f", ["i0"])]),
                               ("stage", [0], [("g", ["i0"])])]
        twice, rep = reduce(once, None)
        assert rep == report(3, 3, 3, 0, 3)
        assert twice.nodes() == once.nodes()

    def test_stages_differing_only_in_refs_or_params_stay_apart(self):
        store = GraphStore.deserialize(blob([
            rec_source("s"), rec_source("t"),
            rec_stage([0, 1], [("op|h", [(0, 0), (0, 1)])]),
            rec_stage([0, 1], [("op|h", [(0, 1), (0, 0)])]),
            rec_stage([0, 1], [("op|h|k=i1", [(0, 0), (0, 1)])]),
            rec_stage([0, 1], [("op|h|k=i2", [(0, 0), (0, 1)])]),
            rec_stage([0, 1], [("op|h", [(0, 0)]), ("op|h", [(1, 0), (0, 1)])]),
            rec_stage([0, 1], [("op|h", [(0, 1)]), ("op|h", [(1, 0), (0, 1)])]),
            rec_stage([0, 1], [("op|h", [(0, 0)]), ("op|h", [(0, 1), (1, 0)])]),
        ], [2, 3, 4, 5, 6, 7, 8]))
        twice, rep = reduce(store, None)
        assert rep == report(9, 9, 9, 0, 9)
        assert twice.serialize() == store.serialize()

    def test_stages_hide_their_members_from_the_rewrites(self):
        store = GraphStore.deserialize(blob([
            rec_source("a"), rec_source("b"),
            rec_stage([0, 1], [("op|add", [(0, 0), (0, 1)])]),
            rec_stage([1, 0], [("op|add", [(0, 0), (0, 1)])]),
            rec_stage([2], [("op|f", [(0, 0)])]),
            rec_stage([3], [("op|f", [(0, 0)])]),
        ], [4, 5]))
        # the two adds compute the same value, but inside stages no rule sees them
        twice, rep = store.reduce()
        assert rep["canonical_nodes"] == 6 and twice.outputs() == [4, 5]


class TestDeterminism:
    def test_repeated_reductions_give_identical_bytes(self):
        store = GraphStore()
        srcs = [store.add_source(f"s{i}") for i in range(6)]
        ids = list(srcs)
        for i in range(60):
            a, b = ids[(i * 7) % len(ids)], ids[(i * 3 + 1) % len(ids)]
            name = COMMUTATIVE[i % 4] if i % 3 else "f"
            ids.append(store.add_op(name, [a, b]))
            ids.append(store.add_op(name, [b, a]))
        outs = ids[-10:]
        first = [store.reduce(outputs=outs, maximal_fusion=m)[0].serialize() for m in (False, True)]
        for _ in range(3):
            assert [store.reduce(outputs=outs, maximal_fusion=m)[0].serialize() for m in (False, True)] == first
