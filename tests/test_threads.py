"""One store shared by many threads."""
import random
import sys
import threading

from tavrine_core import GraphStore, PayloadDescriptor

FIELDS = dict(kind="k", content_hash="c", framework="f", version="v", io_schema="i")


def graph_spec(n_sources=20, n_ops=200, seed=7):
    """A random layered graph as a list of (kind, name, input positions,
    params), each input referring to an earlier position."""
    rnd = random.Random(seed)
    plan = [("source", f"s{i % 15}", (), {"i": i % 15}) for i in range(n_sources)]  # with duplicates
    for i in range(n_ops):
        kind = rnd.choice(["op", "op", "op", "reduction", "external", "exchange"])
        inputs = tuple(rnd.randrange(len(plan)) for _ in range(rnd.randrange(0, 4)))
        plan.append((kind, rnd.choice(["add", "mul", "neg"]), inputs, {"k": rnd.randrange(3)}))
    return plan


def record(store, plan, order):
    """Records the nodes of `plan`; `order` may visit them in any order that
    keeps inputs before their consumers (a shuffled topological order)."""
    ids = {}
    for pos in order:
        kind, name, inputs, params = plan[pos]
        in_ids = [ids[p] for p in inputs]
        if kind == "source":
            ids[pos] = store.add_source(name, params)
        elif kind == "op":
            ids[pos] = store.add_op(name, in_ids, params)
        elif kind == "reduction":
            ids[pos] = store.add_reduction(name, in_ids, params)
        elif kind == "external":
            ids[pos] = store.add_external(PayloadDescriptor(**FIELDS), in_ids, params)
        else:
            ids[pos] = store.add_exchange(in_ids, params)
    return ids


def topological_orders(plan, count, seed):
    """Random orders of the positions in which every input comes first."""
    rnd = random.Random(seed)
    consumers = {i: [] for i in range(len(plan))}
    pending = []
    for i, (_, _, inputs, _) in enumerate(plan):
        pending.append(len(set(inputs)))
        for p in set(inputs):
            consumers[p].append(i)
    orders = []
    for _ in range(count):
        waiting = list(pending)
        ready = [i for i, n in enumerate(waiting) if n == 0]
        order = []
        while ready:
            i = ready.pop(rnd.randrange(len(ready)))
            order.append(i)
            for c in consumers[i]:
                waiting[c] -= 1
                if waiting[c] == 0:
                    ready.append(c)
        assert len(order) == len(plan)
        orders.append(order)
    return orders


def test_threads_agree_on_ids():
    plan = graph_spec()
    n_threads = 16
    orders = topological_orders(plan, n_threads, seed=11)
    store = GraphStore()
    results = [None] * n_threads
    errors = []
    barrier = threading.Barrier(n_threads)

    def work(t):
        try:
            barrier.wait()
            for _ in range(3):  # repeats must return the same ids
                got = record(store, plan, orders[t])
                if results[t] is not None and got != results[t]:
                    raise AssertionError("a repeat returned a different id")
                results[t] = got
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors

    # Every thread saw the same id for the same position.
    for r in results[1:]:
        assert r == results[0]
    # The same node got one id, different nodes different ids, and the ids are
    # exactly 0..count-1.
    reference = record(GraphStore(), plan, range(len(plan)))
    distinct = len(set(reference.values()))
    assert store.node_count() == distinct
    assert sorted(set(results[0].values())) == list(range(distinct))
    by_identity = {}
    for pos, got in results[0].items():
        by_identity.setdefault(reference[pos], set()).add(got)
    assert all(len(ids) == 1 for ids in by_identity.values())
    assert len({next(iter(v)) for v in by_identity.values()}) == distinct
    # Each node's inputs were recorded before it: a consumer's id is larger.
    for pos, (_, _, inputs, _) in enumerate(plan):
        assert all(results[0][p] < results[0][pos] for p in inputs)


def test_many_threads_one_node():
    store = GraphStore()
    n_threads = 32
    got = []
    barrier = threading.Barrier(n_threads)

    def work():
        barrier.wait()
        got.append([store.add_source(f"x{i}") for i in range(100)])

    threads = [threading.Thread(target=work) for _ in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert len(got) == n_threads
    assert all(g == got[0] for g in got)
    assert sorted(got[0]) == list(range(100))
    assert store.node_count() == 100
