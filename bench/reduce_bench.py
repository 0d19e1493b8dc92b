"""Reduction throughput against a peer: dask's cull + fuse on the same graph.

    make bench            (or: python bench/reduce_bench.py [sizes...])
    python bench/reduce_bench.py --huge          also 10^7 nodes (no peer run there)
    python bench/reduce_bench.py --determinism   10^7 nodes reduced by two processes
                                                 at once must give the same bytes
    python bench/reduce_bench.py --shapes [sizes...]
                                                 time per node of graphs shaped to stress
                                                 one part of the reduction each, against
                                                 the standard mix (default 10^5 and 10^6)

Times are wall-clock; "cpu s" is the process's CPU time for the same call,
steadier on a shared machine.
"""
import gc
import hashlib
import resource
import subprocess
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


HUGE = 10_000_000


def cpu_of(fn):
    """CPU seconds of one call (best of none: the caller repeats)."""
    c0 = time.process_time()
    fn()
    return time.process_time() - c0


def huge(n):
    """Records and reduces n nodes once; reports times and the process's peak RSS."""
    t0, c0 = time.perf_counter(), time.process_time()
    store = tavrine_core.GraphStore()
    outputs = graphs.build(store, n)[0]
    t_rec, c_rec = time.perf_counter() - t0, time.process_time() - c0
    rss_rec = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    gc.collect()
    t0, c0 = time.perf_counter(), time.process_time()
    reduced, report = store.reduce(outputs=outputs)
    t_red, c_red = time.perf_counter() - t0, time.process_time() - c0
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{n:>9} reduce {t_red:.2f} s (cpu {c_red:.2f} s, {c_red / n * 1e9:.0f} ns/node); recording "
          f"{t_rec:.1f} s (cpu {c_rec:.1f} s); peak RSS {rss_rec:.0f} MB after recording, {rss:.0f} MB after "
          f"reducing  {dict(sorted(report.items()))}")


def digest(n):
    """Prints the SHA-256 of the serialized reduction of the n-node graph."""
    store = tavrine_core.GraphStore()
    outputs, _ = graphs.build(store, n)
    t0 = time.perf_counter()
    reduced, _ = store.reduce(outputs=outputs)
    took = time.perf_counter() - t0
    print(hashlib.sha256(reduced.serialize()).hexdigest(), f"{took:.2f}", flush=True)


def determinism(n):
    """Two processes record and reduce the same n-node graph at the same time,
    competing for the cores; their reduced stores must serialize to the same bytes."""
    procs = [subprocess.Popen([sys.executable, __file__, "--digest", str(n)], stdout=subprocess.PIPE, text=True)
             for _ in range(2)]
    outs = [p.communicate()[0].split() for p in procs]
    if any(p.returncode != 0 or len(o) != 2 for p, o in zip(procs, outs)):
        print("determinism: a reducing process failed")
        return False
    same = outs[0][0] == outs[1][0]
    print(f"determinism at {n} nodes, two processes at once: reduce {outs[0][1]} s and {outs[1][1]} s; "
          f"results {'identical' if same else 'DIFFER'} (sha256 {outs[0][0][:16]}...)")
    return same


def main(sizes, with_huge=False):
    rows = []
    print(f"{'nodes':>9} {'reduce s':>9} {'ns/node':>8} {'cpu s':>7} {'maximal s':>9} {'dask cull+fuse s':>16} "
          f"{'speed-up':>8}  report")
    for n in sizes:
        store = tavrine_core.GraphStore()
        outputs, _ = graphs.build(store, n)
        repeat = 3 if n <= 100_000 else 1
        ours = 3 if n <= 1_000_000 else 1  # cheap enough to take the best of three up to 10^6
        t_red, (reduced, report) = best(lambda: store.reduce(outputs=outputs), ours)
        c_red = min(cpu_of(lambda: store.reduce(outputs=outputs)) for _ in range(ours))
        t_max, _ = best(lambda: store.reduce(maximal_fusion=True, outputs=outputs), ours)
        dsk, keys = graphs.dask_graph(store.nodes(), outputs)

        def peer():
            culled, deps = cull(dsk, keys)
            return fuse(culled, keys, deps)

        t_dask, _ = best(peer, repeat)
        print(f"{n:>9} {t_red:>9.3f} {t_red / n * 1e9:>8.0f} {c_red:>7.3f} {t_max:>9.3f} {t_dask:>16.3f} "
              f"{t_dask / t_red:>7.1f}x  {dict(sorted(report.items()))}")

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
    if with_huge:
        # In a fresh process, so that its peak RSS is the 10^7 graph's alone.
        subprocess.run([sys.executable, __file__, "--huge-only"], check=True)


def shapes(sizes):
    """Reduction time per node of each shape, and its ratio to the standard mix's."""
    rows = []
    print(f"{'shape':<38} {'nodes':>9} {'reduce s':>9} {'ns/node':>8} {'vs mix':>7}  digest")
    for n in sizes:
        mix_ns = None
        for name, make in graphs.SHAPES.items():
            store = tavrine_core.GraphStore()
            outputs = make(store, n)
            nodes = store.node_count()
            t, (reduced, _) = best(lambda: store.reduce(outputs=outputs), 3)
            ns = t / nodes * 1e9
            mix_ns = mix_ns or ns
            sha = hashlib.sha256(reduced.serialize()).hexdigest()[:16]
            print(f"{name:<38} {nodes:>9} {t:>9.3f} {ns:>8.0f} {ns / mix_ns:>6.2f}x  {sha}", flush=True)
            rows.append({"shape": name, "nodes": nodes, "reduce_s": t, "ns_per_node": ns,
                         "vs_mix": ns / mix_ns, "digest": sha})
            del store, reduced
    results.save("reduce_shapes", {"rows": rows})


if __name__ == "__main__":
    args = sys.argv[1:]
    if args[:1] == ["--digest"]:
        digest(int(args[1]))
    elif args[:1] == ["--huge-only"]:
        huge(HUGE)
    elif args[:1] == ["--shapes"]:
        shapes([int(a) for a in args[1:]] or [100_000, 1_000_000])
    elif args[:1] == ["--determinism"]:
        sys.exit(0 if determinism(int(args[1]) if len(args) > 1 else HUGE) else 1)
    else:
        with_huge = "--huge" in args
        main([int(a) for a in args if a != "--huge"] or [10_000, 100_000, 1_000_000], with_huge)
