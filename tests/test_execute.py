"""The executor (tavrine_core.execute) and the output ids it relies on.

The reference semantics are graphgen.evaluate's: an `Ops` registry built
from the same functions must give the same values, in-process and on Dask,
for recorded and reduced stores, with the output ids of the reduction
naming where each requested output went.
"""
import functools
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import graphgen
from graphgen import apply_op, build, h, output_values, param_text, recipes
from tavrine_core import GraphStore, IncrementalReducer
from tavrine_core.execute import Ops, evaluate, graph_token, to_dask


def _op(prefix, name, params, *args):
    return apply_op(prefix, name, params, list(args))


def _source(name, params):
    return h("src", graphgen.op_symbol("src", name, params))


def _external(descriptor, params, *args):
    return h("ext", tuple(descriptor.items()), param_text(params), tuple(args))


def _exchange(params, *args):
    return h("exch", param_text(params), tuple(args))


def reference_ops(*stores):
    """graphgen's semantics as a registry: an entry per op and reduction
    name the stores use (stage members included), catch-alls for sources and
    externals."""
    ops = Ops()
    for store in stores:
        for n in store.nodes():
            named = [(n["kind"], n["name"])] + [(m["kind"], m["name"]) for m in n.get("members", [])]
            for kind, name in named:
                if kind == "op":
                    ops.op(name)(functools.partial(_op, "op", name))
                elif kind in ("reduction", "red"):
                    ops.reduction(name)(functools.partial(_op, "red", name))
    ops.source()(_source)
    ops.external()(_external)
    ops.exchange()(_exchange)
    return ops


@st.composite
def cases(draw):
    calls = draw(recipes(max_calls=25, rich=draw(st.booleans())))
    picks = draw(st.lists(st.integers(0, 80), max_size=5))
    return calls, picks, draw(st.booleans())


class TestOutputIds:
    @given(cases())
    @settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    def test_each_output_maps_to_the_node_carrying_its_value(self, case):
        calls, picks, maximal = case
        store, got = build(calls)
        outputs = [got[p % len(got)] for p in picks]
        reduced, report, ids = store.reduce_with_output_ids(outputs=outputs, maximal_fusion=maximal)
        plain, plain_report = store.reduce(outputs=outputs, maximal_fusion=maximal)
        assert reduced.serialize() == plain.serialize() and report == plain_report
        assert len(ids) == len(outputs)
        assert list(dict.fromkeys(ids)) == reduced.outputs()
        assert output_values(reduced, ids) == output_values(store, outputs)

        reducer = IncrementalReducer()
        reducer.step(store)
        fin, fin_report, fin_ids = reducer.finalize_with_output_ids(store, outputs=outputs, maximal_fusion=maximal)
        again, again_report = IncrementalReducer().finalize(store, outputs=outputs, maximal_fusion=maximal)
        assert fin.serialize() == again.serialize() and fin_report == again_report
        assert output_values(fin, fin_ids) == output_values(store, outputs)

    def test_marks_are_the_default_and_errors_are_those_of_reduce(self):
        store = GraphStore()
        x, y = store.add_source("x"), store.add_source("y")
        a, b = store.add_op("add", [x, y]), store.add_op("add", [y, x])
        marked = GraphStore.deserialize(store.serialize(outputs=[b, x, a]))
        assert marked.reduce_with_output_ids()[2] == [2, 0, 2]
        assert IncrementalReducer().finalize_with_output_ids(marked)[2] == [2, 0, 2]
        for call in (lambda: store.reduce_with_output_ids(outputs=[4]),
                     lambda: IncrementalReducer().finalize_with_output_ids(store, outputs=[4])):
            with pytest.raises(ValueError, match="^no node with id 4$"):
                call()
        with pytest.raises(TypeError, match=r"^GraphStore.reduce_with_output_ids\(\) takes 0 positional"):
            store.reduce_with_output_ids(True)


class TestEvaluate:
    @given(cases())
    @settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    def test_recorded_and_reduced_stores_compute_the_reference_values(self, case):
        calls, picks, maximal = case
        store, got = build(calls)
        outputs = [got[p % len(got)] for p in picks]
        reduced, _, ids = store.reduce_with_output_ids(outputs=outputs, maximal_fusion=maximal)
        ops = reference_ops(store, reduced)
        want = output_values(store, outputs)
        assert evaluate(store, ops, outputs) == want
        assert evaluate(reduced, ops, ids) == want
        assert evaluate(reduced, ops) == output_values(reduced)

    def store_with_everything(self):
        store = GraphStore()
        x = store.add_source("x", {"n": 3})
        y = store.add_source("y")
        s = store.add_op("mul", [store.add_op("add", [x, y]), x])
        e = store.add_external({"kind": "model", "content_hash": "h", "framework": "f", "version": "1",
                                "io_schema": "s"}, [s], {"w": 2})
        t = store.add_reduction("sum", [store.add_exchange([e], {"scheme": "hash"})])
        return store, t

    def plain_ops(self, calls=None):
        ops = Ops()
        log = calls if calls is not None else []
        ops.source()(lambda name, params: log.append(name) or 10)
        ops.source("x")(lambda name, params: log.append("x!") or params["n"])
        ops.op("add")(lambda params, a, b: a + b)
        ops.op("mul")(lambda params, a, b: a * b)
        ops.external()(lambda d, params, v: (d["kind"], v * params["w"]))
        ops.external("model")(lambda d, params, v: v * params["w"])
        ops.exchange()(lambda params, v: v)
        ops.reduction("sum")(lambda params, v: v + 1)
        return ops

    def test_named_entries_win_and_each_kind_gets_its_arguments(self):
        store, t = self.store_with_everything()
        calls = []
        assert evaluate(store, self.plain_ops(calls), [t, t]) == [(3 + 10) * 3 * 2 + 1] * 2
        assert calls == ["x!", "y"]  # each node once, in id order
        reduced, _, ids = store.reduce_with_output_ids(outputs=[t])
        assert evaluate(reduced, self.plain_ops(), ids) == [79]

    def test_a_missing_implementation_is_a_key_error_before_anything_runs(self):
        store, t = self.store_with_everything()
        for kind, drop, text in [("op", "mul", "op 'mul'"), ("reduction", "sum", "reduction 'sum'"),
                                 ("external", "model", "external 'model'"), ("exchange", None, "exchange")]:
            ops, calls = self.plain_ops(), []
            ops.source()(lambda name, params: calls.append(name) or 1)
            ops.source("x")(lambda name, params: calls.append(name) or 1)
            table = {"op": ops._ops, "reduction": ops._reductions, "external": ops._externals}
            if kind == "exchange":
                ops._exchange = None
            else:
                del table[kind][drop]
                if kind == "external":
                    del table[kind][None]
            with pytest.raises(KeyError, match=f"no implementation for {text}"):
                evaluate(store, ops, [t])
            assert calls == []
        # A stage's member is looked up the same way.
        reduced, _ = store.reduce(outputs=[t])
        ops = self.plain_ops()
        del ops._ops["add"]
        with pytest.raises(KeyError, match="no implementation for op 'add'"):
            evaluate(reduced, ops)

    def test_values_are_dropped_once_nothing_needs_them(self):
        import weakref

        class Box:
            pass

        store = GraphStore()
        v = store.add_source("s")
        for k in range(5):
            v = store.add_op("next", [v], {"k": k})
        alive = []
        ops = Ops()
        ops.source()(lambda name, params: Box())

        @ops.op("next")
        def step(params, box):
            alive.append(sum(r() is not None for r in refs))
            out = Box()
            refs.append(weakref.ref(out))
            return out

        refs = []
        evaluate(store, ops, [v])
        assert max(alive) <= 1
        # Inside a stage too: the same chain fused.
        reduced, _ = store.reduce(outputs=[v])
        refs.clear()
        alive.clear()
        evaluate(reduced, ops)
        assert len(alive) == 5 and max(alive) <= 1

    def test_bad_outputs(self):
        store, t = self.store_with_everything()
        with pytest.raises(ValueError, match="^no node with id 99$"):
            evaluate(store, self.plain_ops(), [99])
        with pytest.raises(TypeError):
            evaluate(store, self.plain_ops(), ["1"])
        assert evaluate(store, self.plain_ops(), []) == []
        with pytest.raises(TypeError):
            Ops().op(3)


@pytest.mark.skipif(importlib.util.find_spec("dask") is None, reason="dask is not installed")
class TestDask:
    def test_threaded_and_synchronous_schedulers_compute_the_reference_values(self):
        import dask
        import dask.threaded

        store = GraphStore()
        x, y = store.add_source("x"), store.add_source("y")
        a, b = store.add_op("add", [x, y]), store.add_op("add", [y, x])
        c = store.add_op("f", [a], {"k": 1})
        total = store.add_reduction("sum", [c, b])
        outputs = [total, b, a, c]
        reduced, _, ids = store.reduce_with_output_ids(outputs=outputs)
        ops = reference_ops(store, reduced)
        want = output_values(store, outputs)
        for s, outs in ((store, outputs), (reduced, ids)):
            graph, keys = to_dask(s, ops, outs)
            assert list(dask.threaded.get(graph, keys)) == want
            assert list(dask.get(graph, keys)) == want  # the synchronous scheduler

    def test_keys_come_from_the_blob_digest(self):
        store, other = GraphStore(), GraphStore()
        store.add_op("f", [store.add_source("x")])
        other.add_op("g", [other.add_source("x")])
        ops = reference_ops(store, other)
        graph, keys = to_dask(store, ops, [1, 1])
        twin = GraphStore.deserialize(store.serialize())
        assert to_dask(twin, ops, [1])[1] == keys[:1]
        assert keys == [(graph_token(store), 1)] * 2
        assert set(graph) == {(graph_token(store), 0), (graph_token(store), 1)}
        assert not set(graph) & set(to_dask(other, ops, [1])[0])
        assert set(to_dask(store, ops, [1], key_prefix="p")[0]) == {("p", 0), ("p", 1)}
        # Only what the outputs need becomes a task.
        assert set(to_dask(store, ops, [0])[0]) == {(graph_token(store), 0)}

    def test_a_local_cluster_runs_two_stores_on_one_client(self):
        if importlib.util.find_spec("distributed") is None:
            pytest.skip("distributed is not installed")
        # In a child: a cluster's processes and threads stay out of this run.
        code = textwrap.dedent("""
            import sys
            sys.path.insert(0, sys.argv[1])
            from distributed import Client, LocalCluster
            import test_execute as t
            from graphgen import output_values
            from tavrine_core import GraphStore
            from tavrine_core.execute import to_dask
            stores = []
            for name in ("f", "g"):
                s = GraphStore()
                x, y = s.add_source("x"), s.add_source("y")
                s.add_op(name, [s.add_op("add", [y, x]), s.add_op("add", [x, y])])
                stores.append(s)
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c, \\
                    Client(c) as client:
                for s in stores:
                    reduced, _, ids = s.reduce_with_output_ids(outputs=[4, 3, 2])
                    graph, keys = to_dask(reduced, t.reference_ops(s, reduced), ids)
                    assert client.get(graph, keys) == output_values(s, [4, 3, 2])
            print("ok")
        """)
        here = os.path.dirname(os.path.abspath(__file__))
        out = subprocess.run([sys.executable, "-c", code, here], capture_output=True, text=True, timeout=300)
        assert out.returncode == 0 and out.stdout.split()[-1:] == ["ok"], out.stdout + out.stderr

    def test_without_dask_to_dask_says_so(self):
        code = textwrap.dedent("""
            import sys
            sys.modules["dask"] = None
            from tavrine_core import GraphStore
            from tavrine_core.execute import Ops, evaluate, to_dask
            s = GraphStore(); s.add_source("x")
            ops = Ops(); ops.source()(lambda n, p: 1)
            assert evaluate(s, ops, [0]) == [1]
            try:
                to_dask(s, ops, [0])
            except ImportError as e:
                print(e)
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert out.stdout == "tavrine_core.execute.to_dask needs Dask (the package 'dask'), which is not installed\n"
