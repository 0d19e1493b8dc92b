"""Record and reduce in one process; run the work on Dask.

    python examples/run_on_dask.py [--size PARTITIONS] [--rows ROWS] [--threads-only]

The pipeline scores orders per partition: prices times quantities (recorded
twice, once with the arguments swapped), a discount, an identity left in by a
template, a clip, a model call, a shuffle boundary and sums. It is reduced
with tavrine_core, and the reduced store is turned into a Dask task graph:
one task per node, with a table that says how each op, reduction, source,
external payload and exchange is computed. A Stage task runs its members in
order. The result is checked against running the unreduced graph directly.

It runs on Dask's threaded scheduler, and also on a `distributed`
LocalCluster when `dask.distributed` is installed (worker processes; a
reduced store is shipped to a worker through the copyreg recipe of
store_pickling.py). Needs numpy and dask.
"""

import argparse
import functools
import os
import pickle
import sys
import time
import zlib
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import dask
import dask.threaded
import numpy as np
import numpy.typing as npt

from tavrine_core import GraphStore, PayloadDescriptor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import store_pickling  # noqa: E402  (lives next to this file)

if TYPE_CHECKING:
    from tavrine_core import DescriptorDict, NodeDict, ParamValue, StageMemberDict

Array = npt.NDArray[np.float64]
Params = Mapping[str, "ParamValue"]

# ---- what each node computes ------------------------------------------------------
# Every op name the pipeline records has an entry. The commutative names
# ("add", "mul", "maximum", "minimum", ...) must really be commutative here,
# and "add" of the scalar 0.0 / "mul" of the scalar 1.0 really identities:
# the reduction relies on both.


def scalar_or_binary(fn: Callable[[Array, Array | float], Array]) -> Callable[[Params, Sequence[Array]], Array]:
    """An element-wise op over two inputs, or over one input and the param
    `scalar` placed on the `side` "r" (x op s) or "l" (s op x)."""

    def run(params: Params, args: Sequence[Array]) -> Array:
        if "scalar" in params:
            (x,) = args
            s = float(params["scalar"])
            return fn(x, s) if params.get("side", "r") == "r" else fn(np.full_like(x, s), x)
        a, b = args
        return fn(a, b)

    return run


OPS: dict[str, Callable[[Params, Sequence[Array]], Array]] = {
    "add": scalar_or_binary(np.add),
    "mul": scalar_or_binary(np.multiply),
    "sub": scalar_or_binary(np.subtract),
    "maximum": scalar_or_binary(np.maximum),
    "minimum": scalar_or_binary(np.minimum),
    "clip": lambda p, a: np.clip(a[0], float(p["lo"]), float(p["hi"])),
    "log1p": lambda p, a: np.log1p(a[0]),
}

REDUCTIONS: dict[str, Callable[[Params, Sequence[Array]], Array]] = {
    "sum": lambda p, a: np.atleast_1d(np.sum(a[0], axis=int(p.get("axis", 0)))),
    "concat": lambda p, a: np.concatenate(list(a)),
}


def load_column(name: str, params: Params) -> Array:
    """A source: a deterministic synthetic column (stands for reading a file)."""
    seed = zlib.crc32(f"{name}/{params.get('partition', 0)}".encode())
    rng = np.random.default_rng(seed)
    rows = int(params.get("rows", 1000))
    scale = {"prices": 100.0, "quantities": 20.0, "discounts": 0.3}[name]
    return rng.random(rows) * scale


def score_model(descriptor: "DescriptorDict", params: Params, args: Sequence[Array]) -> Array:
    """An external payload, chosen by its content hash: here a fixed linear
    model standing for the ONNX file the descriptor names."""
    models = {"sha256:5c0e7a": (0.8, 3.0)}
    w, b = models[descriptor["content_hash"]]
    return w * args[0] + b * args[1] / (1.0 + args[1])


def exchange(params: Params, args: Sequence[Array]) -> Array:
    """A shuffle boundary: on one machine, the data passes through."""
    return args[0]


# ---- recording --------------------------------------------------------------------

MODEL = PayloadDescriptor(kind="onnx", content_hash="sha256:5c0e7a", framework="onnxruntime",
                          version="1.20", io_schema="f64[n], f64[n] -> f64[n]")


def record(store: GraphStore, partitions: int, rows: int) -> int:
    """Records the pipeline; returns the id of the grand total."""
    totals = []
    for p in range(partitions):
        part = {"partition": p, "rows": rows}
        prices = store.add_source("prices", part)
        qty = store.add_source("quantities", part)
        disc = store.add_source("discounts", part)
        gross = store.add_op("mul", [prices, qty])
        gross_twin = store.add_op("mul", [qty, prices])  # commuted twin
        discount = store.add_op("mul", [gross_twin, disc])
        net = store.add_op("sub", [gross, discount])
        net0 = store.add_op("add", [net], {"scalar": 0.0, "side": "l"})  # identity
        capped = store.add_op("clip", [net0], {"lo": 0.0, "hi": 1500.0})
        floor = store.add_op("maximum", [capped, store.add_op("mul", [qty], {"scalar": 1.0, "side": "r"})])
        feature = store.add_op("log1p", [floor])
        score = store.add_external(MODEL, [feature, store.add_op("maximum", [qty, capped])])
        shuffled = store.add_exchange([score], {"scheme": "hash", "partitions": 4})
        totals.append(store.add_reduction("sum", [shuffled], {"axis": 0}))
        store.add_reduction("sum", [gross])  # a value nobody asked for
    return store.add_reduction("concat", totals)


# ---- running ----------------------------------------------------------------------


def run_node(node: "NodeDict", args: Sequence[Array]) -> Array:
    """Computes one node of a store from its input values."""
    if node["kind"] == "source":
        return load_column(node["name"], node["params"])
    if node["kind"] == "op":
        return OPS[node["name"]](node["params"], args)
    if node["kind"] == "reduction":
        return REDUCTIONS[node["name"]](node["params"], args)
    if node["kind"] == "external":
        return score_model(node["descriptor"], node["params"], args)
    if node["kind"] == "exchange":
        return exchange(node["params"], args)
    return run_stage(node["members"], *args)


def run_stage(members: Sequence["StageMemberDict"], *inputs: Array) -> Array:
    """A Stage: its members in order; ("input", k) is the stage's k-th input,
    ("member", j) the value of member j; the stage's value is the last one."""
    values: list[Array] = []
    for m in members:
        args = [inputs[i] if where == "input" else values[i] for where, i in m["inputs"]]
        table = OPS if m["kind"] == "op" else REDUCTIONS
        values.append(table[m["name"]](m["params"], args))
    return values[-1]


def interpret(store: GraphStore, outputs: Sequence[int]) -> list[Array]:
    """Runs a store directly, node by node in id order (the reference)."""
    values: list[Array] = []
    for node in store.nodes():
        values.append(run_node(node, [values[i] for i in node["inputs"]]))
    return [values[i] for i in outputs]


def node_task(node: "NodeDict", *args: Array) -> Array:
    return run_node(node, args)


def to_dask(store: GraphStore) -> tuple[dict[str, Any], list[str]]:
    """The Dask task graph of a (reduced) store: key "n<id>" per node, its
    inputs as dependencies; the store's marks are the keys to compute."""
    graph: dict[str, Any] = {}
    for node in store.nodes():
        # The node dict rides inside the partial, so Dask never searches it for keys.
        task = functools.partial(node_task, node)
        graph[f"n{node['id']}"] = (task, *(f"n{i}" for i in node["inputs"]))
    return graph, [f"n{i}" for i in store.outputs()]


def evaluate_store(store: GraphStore) -> list[Array]:
    """Runs on a worker: the whole store arrives by pickle (copyreg recipe)."""
    return interpret(store, store.outputs())


def same(a: Sequence[Array], b: Sequence[Array]) -> bool:
    return len(a) == len(b) and all(np.array_equal(x, y) for x, y in zip(a, b))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=16, help="partitions (default 16)")
    parser.add_argument("--rows", type=int, default=100_000, help="rows per partition (default 100000)")
    parser.add_argument("--threads-only", action="store_true", help="skip the distributed LocalCluster")
    args = parser.parse_args()

    store = GraphStore()
    total = record(store, args.size, args.rows)
    reduced, report = store.reduce(outputs=[total])
    print(f"recorded {store.node_count()} nodes; reduced to {report['reduced_nodes']}"
          f" ({report['stages']} stages, {report['boundary_nodes']} boundary nodes)")

    t0 = time.perf_counter()
    (expected,) = interpret(store, [total])
    print(f"unreduced graph, run directly: {time.perf_counter() - t0:.3f} s, total {expected.sum():.6e}")

    graph, keys = to_dask(reduced)
    t0 = time.perf_counter()
    got = dask.threaded.get(graph, keys)
    print(f"reduced graph on dask's threaded scheduler: {len(graph)} tasks, {time.perf_counter() - t0:.3f} s")
    assert same(got, [expected]), "the reduced graph computes the same values"

    store_pickling.register()
    assert same(interpret(pickle.loads(pickle.dumps(reduced)), [reduced.outputs()[0]]), [expected])

    if args.threads_only:
        return
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("dask.distributed is not installed: skipping the LocalCluster run")
        return
    # (distributed's constructors carry no annotations.)
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call]
                           dashboard_address=None)
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        t0 = time.perf_counter()
        got = client.get(graph, keys)
        print(f"reduced graph on a LocalCluster (2 worker processes): {time.perf_counter() - t0:.3f} s")
        assert same(got, [expected])
        # The store itself travels: pickled through its blob, rebuilt on a worker.
        shipped = client.submit(evaluate_store, reduced).result()
        assert same(shipped, [expected])
        print("a reduced store shipped to a worker computes the same total")
    print("ok: the reduced graph computes what the recorded graph computes")


if __name__ == "__main__":
    main()
