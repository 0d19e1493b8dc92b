"""Record and reduce in one process; run the work on Dask.

    python examples/run_on_dask.py [--size PARTITIONS] [--rows ROWS] [--threads-only]

The pipeline scores orders per partition: prices times quantities (recorded
twice, once with the arguments swapped), a discount, an identity left in by a
template, a clip, a model call, a shuffle boundary and sums. It is reduced
with tavrine_core, and an `Ops` registry (tavrine_core.execute) says how each
op, reduction, source, external payload and exchange is computed;
`to_dask` turns the reduced store into a Dask task graph (a Stage task runs
its members in order) and the output ids of the reduction name the keys to
compute. The result is checked against running the unreduced graph with
`evaluate`, within a float tolerance: the reduced graph computes the same
sums, but NumPy may add the same values in another order when an array
lands at another alignment (as arrays that cross processes can).

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
from typing import TYPE_CHECKING

import dask.threaded
import numpy as np
import numpy.typing as npt

from tavrine_core import GraphStore, PayloadDescriptor
from tavrine_core.execute import Ops, evaluate, to_dask

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import store_pickling  # noqa: E402  (lives next to this file)

if TYPE_CHECKING:
    from tavrine_core import DescriptorDict, ParamValue

Array = npt.NDArray[np.float64]
Params = Mapping[str, "ParamValue"]

# ---- what each node computes ------------------------------------------------------
# Every op name the pipeline records has an entry. The commutative names
# ("add", "mul", "maximum", "minimum", ...) must really be commutative here,
# and "add" of the scalar 0.0 / "mul" of the scalar 1.0 really identities:
# the reduction relies on both.

OPS = Ops()


def scalar_or_binary(fn: Callable[[Array, Array | float], Array], params: Params, *args: Array) -> Array:
    """An element-wise op over two inputs, or over one input and the param
    `scalar` placed on the `side` "r" (x op s) or "l" (s op x)."""
    if "scalar" in params:
        (x,) = args
        s = float(params["scalar"])
        return fn(x, s) if params.get("side", "r") == "r" else fn(np.full_like(x, s), x)
    a, b = args
    return fn(a, b)


# Worker processes receive the implementations by pickle: module-level
# functions (and partials of them) travel as references, closures would
# travel whole with every task.
for _name, _fn in [("add", np.add), ("mul", np.multiply), ("sub", np.subtract), ("maximum", np.maximum),
                   ("minimum", np.minimum)]:
    OPS.op(_name)(functools.partial(scalar_or_binary, _fn))


@OPS.op("clip")
def clip(params: Params, x: Array) -> Array:
    return np.clip(x, float(params["lo"]), float(params["hi"]))


@OPS.op("log1p")
def log1p(params: Params, x: Array) -> Array:
    return np.log1p(x)


@OPS.reduction("sum")
def total(params: Params, x: Array) -> Array:
    return np.atleast_1d(np.sum(x, axis=int(params.get("axis", 0))))


@OPS.reduction("concat")
def concat(params: Params, *xs: Array) -> Array:
    return np.concatenate(list(xs))


@OPS.source()
def load_column(name: str, params: Params) -> Array:
    """A source: a deterministic synthetic column (stands for reading a file)."""
    seed = zlib.crc32(f"{name}/{params.get('partition', 0)}".encode())
    rng = np.random.default_rng(seed)
    rows = int(params.get("rows", 1000))
    scale = {"prices": 100.0, "quantities": 20.0, "discounts": 0.3}[name]
    return rng.random(rows) * scale


@OPS.external("onnx")
def score_model(descriptor: "DescriptorDict", params: Params, feature: Array, weight: Array) -> Array:
    """An external payload, chosen by its content hash: here a fixed linear
    model standing for the ONNX file the descriptor names."""
    models = {"sha256:5c0e7a": (0.8, 3.0)}
    w, b = models[descriptor["content_hash"]]
    return w * feature + b * weight / (1.0 + weight)


@OPS.exchange()
def exchange(params: Params, x: Array) -> Array:
    """A shuffle boundary: on one machine, the data passes through."""
    return x


# ---- recording --------------------------------------------------------------------

MODEL = PayloadDescriptor(kind="onnx", content_hash="sha256:5c0e7a", framework="onnxruntime",
                          version="1.20", io_schema="f64[n], f64[n] -> f64[n]")


def record_partition(store: GraphStore, part: dict[str, int]) -> int:
    """Records one partition's work; returns the id of its total."""
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
    total = store.add_reduction("sum", [shuffled], {"axis": 0})
    store.add_reduction("sum", [gross])  # a value nobody asked for
    return total


def record(store: GraphStore, partitions: int, rows: int) -> int:
    """Records the pipeline; returns the id of the grand total."""
    totals = [record_partition(store, {"partition": p, "rows": rows}) for p in range(partitions)]
    return store.add_reduction("concat", totals)


# ---- running ----------------------------------------------------------------------


def evaluate_store(store: GraphStore) -> list[Array]:
    """Runs on a worker: the whole store arrives by pickle (copyreg recipe)."""
    result: list[Array] = evaluate(store, OPS)
    return result


def close(a: Sequence[Array], b: Sequence[Array]) -> bool:
    """Equal values within a float tolerance (sums of the same values may
    differ in their last bits with the order NumPy adds them in)."""
    return len(a) == len(b) and all(np.allclose(x, y, rtol=1e-9, atol=0.0) for x, y in zip(a, b))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=16, help="partitions (default 16)")
    parser.add_argument("--rows", type=int, default=100_000, help="rows per partition (default 100000)")
    parser.add_argument("--threads-only", action="store_true", help="skip the distributed LocalCluster")
    args = parser.parse_args()

    store = GraphStore()
    total = record(store, args.size, args.rows)
    reduced, report, output_ids = store.reduce_with_output_ids(outputs=[total])
    print(f"recorded {store.node_count()} nodes; reduced to {report['reduced_nodes']}"
          f" ({report['stages']} stages, {report['boundary_nodes']} boundary nodes)")

    t0 = time.perf_counter()
    expected = evaluate(store, OPS, [total])
    print(f"unreduced graph, run directly: {time.perf_counter() - t0:.3f} s, total {expected[0].sum():.6e}")

    graph, keys = to_dask(reduced, OPS, output_ids)
    t0 = time.perf_counter()
    got = dask.threaded.get(graph, keys)
    print(f"reduced graph on dask's threaded scheduler: {len(graph)} tasks, {time.perf_counter() - t0:.3f} s")
    assert close(got, expected), "the reduced graph computes the same values"

    store_pickling.register()
    assert close(evaluate_store(pickle.loads(pickle.dumps(reduced))), expected)

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
        assert close(got, expected)
        # Two stores in one computation: each store's keys are its own.
        other = GraphStore()
        other_total = record(other, args.size + 1, args.rows)
        other_graph, other_keys = to_dask(other, OPS, [other_total])
        assert not set(other_graph) & set(graph)
        both = client.get({**graph, **other_graph}, keys + other_keys)
        assert close(both, expected + evaluate(other, OPS, [other_total]))
        # The store itself travels: pickled through its blob, rebuilt on a worker.
        shipped = client.submit(evaluate_store, reduced).result()
        assert close(shipped, expected)
        print("a reduced store shipped to a worker computes the same total")
    print("ok: the reduced graph computes what the recorded graph computes")


if __name__ == "__main__":
    main()
