"""Blob, view and DOT throughput against pickle and marshal of nodes().

    make bench            (or: python bench/blob_bench.py [nodes])
"""
import gc
import marshal
import pickle
import sys
import time

import tavrine_core

import graphs
import results


def timed(fn):
    gc.collect()
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def main(n):
    store = tavrine_core.GraphStore()
    graphs.build(store, n)
    n = store.node_count()
    t_ser, blob = timed(store.serialize)
    t_de, back = timed(lambda: tavrine_core.GraphStore.deserialize(blob))
    assert back.serialize() == blob
    t_nodes, nodes = timed(store.nodes)
    t_dot, dot = timed(store.to_dot)
    t_pd, pblob = timed(lambda: pickle.dumps(nodes, protocol=pickle.HIGHEST_PROTOCOL))
    t_pl, _ = timed(lambda: pickle.loads(pblob))
    t_md, mblob = timed(lambda: marshal.dumps(nodes))
    t_ml, _ = timed(lambda: marshal.loads(mblob))
    mb = len(blob) / 1e6
    print(f"{n} nodes, blob {mb:.1f} MB, pickle {len(pblob) / 1e6:.1f} MB, marshal {len(mblob) / 1e6:.1f} MB, DOT {len(dot) / 1e6:.1f} MB")
    print(f"  serialize      {t_ser / n * 1e9:7.1f} ns/node {mb / t_ser:8.0f} MB/s")
    print(f"  deserialize    {t_de / n * 1e9:7.1f} ns/node {mb / t_de:8.0f} MB/s  ({n / t_de / 1e6:.2f} M nodes/s)")
    print(f"  nodes()        {t_nodes / n * 1e9:7.1f} ns/node")
    print(f"  to_dot()       {t_dot / n * 1e9:7.1f} ns/node  ({n / t_dot / 1e6:.2f} M nodes/s)")
    print(f"  pickle.dumps   {t_pd / n * 1e9:7.1f} ns/node  (serialize is {t_pd / t_ser:.0f}x faster)")
    print(f"  pickle.loads   {t_pl / n * 1e9:7.1f} ns/node")
    print(f"  marshal.dumps  {t_md / n * 1e9:7.1f} ns/node")
    print(f"  marshal.loads  {t_ml / n * 1e9:7.1f} ns/node")
    results.save("blob", {
        "nodes": n, "blob_bytes": len(blob), "pickle_bytes": len(pblob), "marshal_bytes": len(mblob),
        "dot_bytes": len(dot),
        "ns_per_node": {"serialize": t_ser / n * 1e9, "deserialize": t_de / n * 1e9, "nodes()": t_nodes / n * 1e9,
                        "to_dot()": t_dot / n * 1e9, "pickle.dumps": t_pd / n * 1e9, "pickle.loads": t_pl / n * 1e9,
                        "marshal.dumps": t_md / n * 1e9, "marshal.loads": t_ml / n * 1e9},
    })


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
