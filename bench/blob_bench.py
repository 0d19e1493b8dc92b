"""Blob, view and DOT throughput against pickle and marshal of nodes(), and
the memory deserialize needs.

    make bench            (or: python bench/blob_bench.py [nodes])
    python bench/blob_bench.py --large     (deserialize at 10^7 nodes too)

Targets: deserialize >= 10 M nodes/s at 10^6 and 10^7 nodes; serialize
>= 1 GB/s; nodes() <= 350 ns/node (the floor, the same dicts built with the
plain C API, is build/bench/nodes_floor); peak memory of deserialize <= 3x
the blob, the blob itself included, for the standard graph and for a graph
whose every node has its own params.
"""
import gc
import marshal
import os
import pickle
import random
import subprocess
import sys
import time

import tavrine_core

import graphs
import results


def timed(fn, reps=1):
    """Seconds of the best of `reps` calls, and the last call's result."""
    best = float("inf")
    for _ in range(reps):
        out = None
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main(n):
    store = tavrine_core.GraphStore()
    graphs.build(store, n)
    n = store.node_count()
    t_ser, blob = timed(store.serialize, 3)
    t_de, back = timed(lambda: tavrine_core.GraphStore.deserialize(blob), 3)
    assert back.serialize() == blob
    t_nodes, nodes = timed(store.nodes, 3)
    t_dot, dot = timed(store.to_dot, 3)
    t_pd, pblob = timed(lambda: pickle.dumps(nodes, protocol=pickle.HIGHEST_PROTOCOL))
    t_pl, _ = timed(lambda: pickle.loads(pblob))
    t_md, mblob = timed(lambda: marshal.dumps(nodes))
    t_ml, _ = timed(lambda: marshal.loads(mblob))
    mb = len(blob) / 1e6
    print(f"{n} nodes, blob {mb:.1f} MB, pickle {len(pblob) / 1e6:.1f} MB, marshal {len(mblob) / 1e6:.1f} MB, DOT {len(dot) / 1e6:.1f} MB")
    print(f"  serialize      {t_ser / n * 1e9:7.1f} ns/node {mb / t_ser:8.0f} MB/s")
    print(f"  deserialize    {t_de / n * 1e9:7.1f} ns/node {mb / t_de:8.0f} MB/s  ({n / t_de / 1e6:.2f} M nodes/s)")
    floor = nodes_floor(blob)
    ratio = f"  (the same dicts built with the plain C API: {floor:.1f} ns/node; ratio {t_nodes / n * 1e9 / floor:.2f})" \
        if floor else ""
    print(f"  nodes()        {t_nodes / n * 1e9:7.1f} ns/node{ratio}")
    print(f"  to_dot()       {t_dot / n * 1e9:7.1f} ns/node  ({n / t_dot / 1e6:.2f} M nodes/s)")
    print(f"  pickle.dumps   {t_pd / n * 1e9:7.1f} ns/node  (serialize is {t_pd / t_ser:.0f}x faster)")
    print(f"  pickle.loads   {t_pl / n * 1e9:7.1f} ns/node")
    print(f"  marshal.dumps  {t_md / n * 1e9:7.1f} ns/node")
    print(f"  marshal.loads  {t_ml / n * 1e9:7.1f} ns/node")
    memory_figures = memory_report()
    results.save("blob", {
        "deserialize_peak_memory": memory_figures,
        "nodes_floor_ns": floor,
        "nodes": n, "blob_bytes": len(blob), "pickle_bytes": len(pblob), "marshal_bytes": len(mblob),
        "dot_bytes": len(dot),
        "ns_per_node": {"serialize": t_ser / n * 1e9, "deserialize": t_de / n * 1e9, "nodes()": t_nodes / n * 1e9,
                        "to_dot()": t_dot / n * 1e9, "pickle.dumps": t_pd / n * 1e9, "pickle.loads": t_pl / n * 1e9,
                        "marshal.dumps": t_md / n * 1e9, "marshal.loads": t_ml / n * 1e9},
    })


def nodes_floor(blob):
    """build/bench/nodes_floor's ns per node for the graph of `blob`, or None
    when it was not built (it needs the interpreter's embedding library)."""
    exe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "nodes_floor")
    if not os.path.exists(exe):
        return None
    path = os.path.join(results.DIR, "nodes-floor.blob")
    os.makedirs(results.DIR, exist_ok=True)
    with open(path, "wb") as f:
        f.write(blob)
    try:
        out = subprocess.run([exe, path], check=True, capture_output=True, text=True)
    finally:
        os.unlink(path)
    return float(out.stdout.strip())


def params_heavy(store, n, seed=2):
    """n ops, each with params of its own: a seed, a path, a scale, a flag."""
    rnd = random.Random(seed)
    last = store.add_source("rows")
    for i in range(n):
        params = {"seed": rnd.getrandbits(62), "path": f"/data/part-{i:08d}.parquet", "scale": rnd.random(),
                  "exact": i % 2 == 0}
        last = store.add_op("load", [last], params)
    return last


def rss_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def memory_child(path):
    """Runs in a fresh process: the peak memory of reading the blob in
    `path` and deserializing it, as a multiple of the blob's size."""
    gc.collect()
    before = rss_now()
    with open(path, "rb") as f:
        blob = f.read()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak from here
    store = tavrine_core.GraphStore.deserialize(blob)
    assert store.node_count() > 0
    print((peak_rss() - before) / len(blob))


def memory(kind, n):
    store = tavrine_core.GraphStore()
    if kind == "standard":
        graphs.build(store, n)
    else:
        params_heavy(store, n)
    blob = store.serialize()
    path = os.path.join(results.DIR, f"memory-{kind}.blob")
    os.makedirs(results.DIR, exist_ok=True)
    with open(path, "wb") as f:
        f.write(blob)
    del store
    try:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", path],
                             check=True, capture_output=True, text=True)
    finally:
        os.unlink(path)
    return float(out.stdout.strip()), len(blob)


def memory_report():
    figures = {}
    for kind in ("standard", "params-heavy"):
        ratio, size = memory(kind, 1_000_000)
        figures[kind] = {"blob_bytes": size, "peak_over_blob": ratio}
        print(f"  deserialize peak memory, {kind} graph: {ratio:.2f}x the blob ({size / 1e6:.1f} MB)"
              f"  target <= 3x  {'ok' if ratio <= 3 else 'MISSED'}")
    return figures


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--memory-child":
        memory_child(sys.argv[2])
    elif len(sys.argv) > 1 and sys.argv[1] == "--large":
        for n in (1_000_000, 10_000_000):
            store = tavrine_core.GraphStore()
            graphs.build(store, n)
            count = store.node_count()
            blob = store.serialize()
            del store
            t = min(timed(lambda: tavrine_core.GraphStore.deserialize(blob))[0] for _ in range(3))
            print(f"  deserialize {count} nodes: {count / t / 1e6:.2f} M nodes/s  target >= 10  "
                  f"{'ok' if count / t >= 10e6 else 'MISSED'}")
            del blob
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
