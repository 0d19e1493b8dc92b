"""Random graph generator shared by the Python benchmarks.

The mix: every node kind; about 30% commutative two-input ops, a third of
them also recorded with swapped inputs; about 5% identity ops (+0.0 / *1.0);
repeated subgraphs (the same chain recorded twice); about 20% of the nodes
dead (nothing marked depends on them). Deterministic for a given seed.
"""
import random
from array import array

COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
IDENTITY = [("add", 0.0, "r"), ("add", 0.0, "l"), ("mul", 1.0, "r"), ("mul", 1.0, "l")]
OTHER = ["neg", "exp", "sub", "div", "where", "cast"]


def build(store, n, seed=1):
    """Records about n nodes into store; returns (outputs, dead_ids)."""
    rng = random.Random(seed)
    # Ids are kept in arrays, not lists: at 10^7 nodes a list would hold ten
    # million int objects, scattered through the heap, that outweigh the graph
    # and stay resident through the reduction being measured.
    live = array("q")
    dead = array("q")
    n_live = int(n * 0.8)
    # Which ids some node reads (kept here rather than read back with
    # store.nodes(), whose dicts would dwarf the graph at 10^7 nodes).
    used = bytearray(n + 1)

    def add_op(name, inputs, params):
        for i in inputs:
            used[i] = 1
        return store.add_op(name, inputs, params)

    def pick(pool):
        # Mostly recent nodes: deep chains with some long edges.
        if len(pool) > 64 and rng.random() < 0.8:
            return pool[-1 - rng.randrange(64)]
        return pool[rng.randrange(len(pool))]

    for i in range(16):
        live.append(store.add_source(f"col{i}", {"path": f"part-{i}.parquet"}))
    desc = {"kind": "onnx", "content_hash": "sha256:00ff", "framework": "ort", "version": "1", "io_schema": "f64"}
    count = len(live)
    while count < n_live:
        r = rng.random()
        if r < 0.30:
            name = rng.choice(COMMUTATIVE)
            a, b = pick(live), pick(live)
            live.append(add_op(name, [a, b], None))
            count += 1
            if rng.random() < 0.33:
                live.append(add_op(name, [b, a], None))
                count += 1
        elif r < 0.35:
            name, scalar, side = rng.choice(IDENTITY)
            live.append(add_op(name, [pick(live)], {"scalar": scalar, "side": side}))
            count += 1
        elif r < 0.80:
            name = rng.choice(OTHER)
            k = 1 if name in ("neg", "exp", "cast") else 2
            live.append(add_op(name, [pick(live) for _ in range(k)], {"k": rng.randrange(4)}))
            count += 1
        elif r < 0.86:
            # A repeated subgraph: the same short chain recorded twice.
            x = pick(live)
            for _ in range(2):
                y = add_op("neg", [x], None)
                z = add_op("exp", [y], None)
            live.extend([y, z])
            count += 2
        elif r < 0.92:
            x = pick(live)
            used[x] = 1
            live.append(store.add_reduction("sum", [x], {"axis": rng.randrange(2)}))
            count += 1
        elif r < 0.96:
            x = pick(live)
            used[x] = 1
            live.append(store.add_external(desc, [x], {"batch": 1024}))
            count += 1
        else:
            x = pick(live)
            used[x] = 1
            live.append(store.add_exchange([x], {"scheme": "hash"}))
            count += 1
    # Dead nodes: built on live ones, never used by an output.
    while count < n:
        # Chains hanging off random live nodes: distinct by construction.
        if dead and rng.random() < 0.7:
            src = dead[-1]
        else:
            src = live[rng.randrange(len(live))]
        dead.append(add_op(rng.choice(OTHER), [src], {"dead": 1}))
        count += 1
    # Outputs: every live node nothing else uses, so that exactly the live
    # part of the graph is reachable. In order of first recording, each once.
    seen = bytearray(n + 1)
    outputs = []
    for i in live:
        if not used[i] and not seen[i]:
            seen[i] = 1
            outputs.append(i)
    return outputs, dead


def _run(kind_and_name, *args):
    """Stands for a node's computation in the dask task graph."""
    return (kind_and_name, args)


def dask_graph(nodes, outputs):
    """The equivalent dask task graph of a store's nodes() list: one task per
    node, a callable with the node's kind and name and its inputs as keys."""
    dsk = {}
    for node in nodes:
        dsk[f"n{node['id']}"] = (_run, node["kind"] + ":" + node["name"]) + tuple(f"n{i}" for i in node["inputs"])
    return dsk, [f"n{i}" for i in outputs]


# ---- shapes that stress one part of the reduction each ---------------------------
# Each records about n nodes into store and returns the outputs to reduce.


def columns(store, k, name="col"):
    return [store.add_source(f"{name}{i}") for i in range(k)]


def twins_under_wide_node(store, n):
    """A chain v0 -> v1 -> ...; each neighbour pair added twice, commuted; one wide
    node over all the adds. Every merge of a twin pair touches the wide node."""
    k = max(1, (n - 2) // 3)
    v = [store.add_source("col")]
    for _ in range(k):
        v.append(store.add_op("exp", [v[-1]]))
    adds = []
    for i in range(k):
        adds.append(store.add_op("add", [v[i], v[i + 1]]))
        adds.append(store.add_op("add", [v[i + 1], v[i]]))
    return [store.add_op("cat", adds)]


def commuted_identity_chain(store, n):
    """One deep chain: x + c and c + x (twins), the second times 1.0 (an identity),
    which the next link reads."""
    cols = columns(store, 16)
    x = cols[0]
    count = len(cols)
    i = 0
    while count < n:
        c = cols[i % len(cols)]
        store.add_op("add", [x, c])
        b = store.add_op("add", [c, x])
        x = store.add_op("mul", [b], {"scalar": 1.0, "side": "r"})
        count += 3
        i += 1
    return [x]


def fan_out_pairwise(store, n):
    """One hot node read by many: h + c_i and c_i + h for distinct c_i, each pair
    merging into one reader; every reader is an output."""
    cols = columns(store, 16)
    h = store.add_op("exp", [cols[0]])
    outs = []
    count = len(cols) + 1
    i = 0
    while count < n:
        c = store.add_op("shift", [cols[i % len(cols)]], {"k": i})
        outs.append(store.add_op("add", [h, c]))
        outs.append(store.add_op("add", [c, h]))
        count += 3
        i += 1
    return outs


def equal_fusable_groups(store, n):
    """Pairs of chains neg(exp(x + y)) and neg(exp(y + x)): after the twins merge,
    the two fusable groups of each pair are the same group."""
    cols = columns(store, 16)
    outs = []
    count = len(cols)
    i = 0
    while count < n:
        x = store.add_op("shift", [cols[i % len(cols)]], {"k": i})
        y = store.add_op("shift", [cols[(i + 1) % len(cols)]], {"k": i})
        for a, b in ((x, y), (y, x)):
            outs.append(store.add_op("neg", [store.add_op("exp", [store.add_op("add", [a, b])])]))
        count += 8
        i += 1
    return outs


SHAPES = {
    "standard mix": lambda store, n: build(store, n)[0],
    "twins under a wide node": twins_under_wide_node,
    "commuted adds and identities, deep": commuted_identity_chain,
    "fan-out, readers merge pairwise": fan_out_pairwise,
    "equal fusable groups": equal_fusable_groups,
}
