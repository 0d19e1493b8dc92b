"""A recorded pipeline on a distributed LocalCluster, unreduced and reduced.

    make bench            (or: python bench/dask_bench.py [--nodes N ...] [--rows R] [--repeat K])

The pipeline is examples/run_on_dask.py's (per partition: three sources, a
product and its commuted twin, a discount, an identity, a clip, a floor, a
model call, an exchange and a sum, plus a sum nobody asks for), recorded for
as many partitions as give about N nodes, the partition totals joined by a
tree of concatenations. Each graph runs on a LocalCluster of two worker
processes with one thread each; the unreduced graph is run as recorded
(to_dask already leaves out the nodes no output needs, as Dask's cull
would), the reduced one after `reduce_with_output_ids`.

Per size: tasks, the time to build the task graph (for the reduced graph
the reduction included), the wall time of `client.get`, the speed-up end
to end (build + run), and whether the results agree within a float
tolerance. The partitions are small (R rows), so the run is dominated by
the scheduler's cost per task: what the reduction saves is tasks.
"""
import argparse
import gc
import os
import sys
import time
from typing import Any

import numpy as np
from dask.distributed import Client, LocalCluster

from tavrine_core import GraphStore
from tavrine_core.execute import to_dask

import results

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import run_on_dask as pipeline  # noqa: E402

NODES_PER_PARTITION = 17  # what pipeline.record adds per partition


def record(nodes: int, rows: int) -> tuple[GraphStore, int]:
    """The pipeline at about `nodes` nodes; the grand total is a tree of
    concatenations 32 wide (one task with thousands of inputs would be a
    bottleneck of its own)."""
    store = GraphStore()
    partitions = max(1, nodes // NODES_PER_PARTITION)
    totals = []
    for p in range(partitions):
        totals.append(pipeline.record_partition(store, {"partition": p, "rows": rows}))
    while len(totals) > 1:
        totals = [store.add_reduction("concat", totals[i:i + 32]) for i in range(0, len(totals), 32)]
    return store, totals[0]


def run(client: Any, graph: dict[Any, Any], keys: list[Any]) -> tuple[float, list[Any]]:
    gc.collect()
    t0 = time.perf_counter()
    values = client.get(graph, keys)
    return time.perf_counter() - t0, list(values)


def measure(client: Any, nodes: int, rows: int, repeat: int) -> dict[str, Any]:
    store, total = record(nodes, rows)
    t0 = time.perf_counter()
    plain_graph, plain_keys = to_dask(store, pipeline.OPS, [total])
    plain_build = time.perf_counter() - t0
    t0 = time.perf_counter()
    reduced, _, ids = store.reduce_with_output_ids(outputs=[total])
    red_graph, red_keys = to_dask(reduced, pipeline.OPS, ids)
    red_build = time.perf_counter() - t0
    plain_runs, red_runs = [], []
    for _ in range(repeat):  # alternating, so both see the same machine
        t, plain_values = run(client, plain_graph, plain_keys)
        plain_runs.append(t)
        t, red_values = run(client, red_graph, red_keys)
        red_runs.append(t)
    plain_wall, red_wall = min(plain_runs), min(red_runs)
    agree = all(np.allclose(a, b, rtol=1e-9, atol=0.0) for a, b in zip(plain_values, red_values))
    return {
        "nodes": store.node_count(),
        "unreduced_tasks": len(plain_graph),
        "reduced_tasks": len(red_graph),
        "unreduced_build_s": plain_build,
        "reduced_build_s": red_build,
        "unreduced_wall_s": plain_wall,
        "reduced_wall_s": red_wall,
        "speedup_run": plain_wall / red_wall,
        "speedup_end_to_end": (plain_build + plain_wall) / (red_build + red_wall),
        "agree": agree,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--rows", type=int, default=256, help="rows per partition (default 256)")
    parser.add_argument("--repeat", type=int, default=2, help="runs of each graph; the best counts (default 2)")
    args = parser.parse_args()

    rows = []
    # (distributed's constructors carry no annotations.)
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call]
                           dashboard_address=None)
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        warm, warm_total = record(200, args.rows)
        run(client, *to_dask(warm, pipeline.OPS, [warm_total]))  # the workers import and warm up
        for n in args.nodes:
            rows.append(measure(client, n, args.rows, args.repeat))

    print("LocalCluster, 2 worker processes x 1 thread; wall = best of", args.repeat)
    head = (f"{'nodes':>8} {'graph':>10} {'tasks':>7} {'build s':>8} {'run s':>8} {'speed-up run':>13}"
            f" {'end to end':>11} {'agree':>6}")
    print(head)
    for r in rows:
        print(f"{r['nodes']:>8} {'unreduced':>10} {r['unreduced_tasks']:>7} {r['unreduced_build_s']:>8.3f}"
              f" {r['unreduced_wall_s']:>8.3f}")
        print(f"{'':>8} {'reduced':>10} {r['reduced_tasks']:>7} {r['reduced_build_s']:>8.3f}"
              f" {r['reduced_wall_s']:>8.3f} {r['speedup_run']:>12.2f}x {r['speedup_end_to_end']:>10.2f}x"
              f" {'yes' if r['agree'] else 'NO':>6}")
    results.save("dask", {"rows_per_partition": args.rows, "sizes": rows})
    if not all(r["agree"] for r in rows):
        sys.exit("the reduced graph's results differ from the unreduced graph's")


if __name__ == "__main__":
    main()
