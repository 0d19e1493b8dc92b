"""Reduction throughput against a peer: dask's cull + fuse on the same graph.

    make bench            (or: python bench/reduce_bench.py [sizes...])
"""
import gc
import sys
import time

import tavrine_core
from dask.optimization import cull, fuse

import graphs
import results


def best(fn, repeat):
    t = float("inf")
    out = None
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        t = min(t, time.perf_counter() - t0)
    return t, out


def main(sizes):
    rows = []
    print(f"{'nodes':>9} {'reduce s':>9} {'ns/node':>8} {'maximal s':>9} {'dask cull+fuse s':>16} {'speed-up':>8}  report")
    for n in sizes:
        store = tavrine_core.GraphStore()
        outputs, _ = graphs.build(store, n)
        repeat = 3 if n <= 100_000 else 1
        t_red, (reduced, report) = best(lambda: store.reduce(outputs=outputs), repeat)
        t_max, _ = best(lambda: store.reduce(maximal_fusion=True, outputs=outputs), repeat)
        dsk, keys = graphs.dask_graph(store.nodes(), outputs)

        def peer():
            culled, deps = cull(dsk, keys)
            return fuse(culled, keys, deps)

        t_dask, _ = best(peer, repeat)
        print(f"{n:>9} {t_red:>9.3f} {t_red / n * 1e9:>8.0f} {t_max:>9.3f} {t_dask:>16.3f} {t_dask / t_red:>7.1f}x  {dict(sorted(report.items()))}")

        # The incremental reducer: per-node step cost, and chunks of 1,000.
        big = tavrine_core.IncrementalReducer()
        t0 = time.perf_counter()
        big.step(store)
        t_big = time.perf_counter() - t0
        chunked_store = tavrine_core.GraphStore()
        chunked = tavrine_core.IncrementalReducer()
        t_chunks = 0.0
        for node in store.nodes():
            kind = node["kind"]
            if kind == "source":
                chunked_store.add_source(node["name"], node["params"])
            elif kind == "op":
                chunked_store.add_op(node["name"], node["inputs"], node["params"])
            elif kind == "reduction":
                chunked_store.add_reduction(node["name"], node["inputs"], node["params"])
            elif kind == "external":
                chunked_store.add_external(node["descriptor"], node["inputs"], node["params"])
            else:
                chunked_store.add_exchange(node["inputs"], node["params"])
            if chunked_store.node_count() % 1000 == 0:
                t0 = time.perf_counter()
                chunked.step(chunked_store)
                t_chunks += time.perf_counter() - t0
        t0 = time.perf_counter()
        chunked.step(chunked_store)
        t_chunks += time.perf_counter() - t0
        print(f"{'':>9} IncrementalReducer.step: one step {t_big / n * 1e9:.0f} ns/node, "
              f"chunks of 1000 {t_chunks / n * 1e9:.0f} ns/node ({t_chunks / t_big:.2f}x)")
        rows.append({"nodes": n, "reduce_s": t_red, "maximal_s": t_max, "dask_cull_fuse_s": t_dask,
                     "report": dict(sorted(report.items())), "step_ns_per_node": t_big / n * 1e9,
                     "step_chunks_ns_per_node": t_chunks / n * 1e9})
    results.save("reduce", {"sizes": rows})


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [10_000, 100_000, 1_000_000])
