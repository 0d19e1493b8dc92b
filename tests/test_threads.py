"""One store shared by many threads."""
import random
import sys
import threading

import pytest

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


# The probes below run in a child process each: a crash or a hang there
# fails the test instead of ending the run.
def run_child(script, *args, timeout=300):
    import os
    import subprocess
    import textwrap

    env = dict(os.environ, TESTS_DIR=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                         capture_output=True, text=True, timeout=timeout, env=env)
    assert out.returncode == 0 and out.stdout.strip().endswith("ok"), (out.returncode, out.stdout + out.stderr)
    return out.stdout


# Threads that hold and threads that wait for one reducer's lock (and its
# store's), with small calls (attached) and large ones (detached), beside
# a thread that ticks every millisecond and a signal handler that runs
# every millisecond; every call must give its ordinary result.
INTERLEAVINGS = r"""
    import os, random, signal, sys, threading, time
    sys.path.insert(0, os.environ["TESTS_DIR"])
    from tavrine_core import GraphStore, IncrementalReducer
    from test_citizen import record

    size, ticker, handler = sys.argv[1], sys.argv[2] == "1", sys.argv[3] == "1"
    store = GraphStore()
    # Small stays below the size at which calls detach, yet is big enough for
    # the calls to consult their signal check.
    last = record(store, 6_000 if size == "small" else 30_000)
    reducer = IncrementalReducer()
    stop = time.perf_counter() + 1.5
    errors = []
    handled = [0]

    if handler:
        def on_alarm(signum, frame):
            handled[0] += 1
        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)

    def tick():
        while time.perf_counter() < stop:
            time.sleep(0.001)

    def work(seed):
        rnd = random.Random(seed)
        try:
            while time.perf_counter() < stop:
                pick = rnd.randrange(4)
                if pick == 0:
                    reducer.finalize(store, outputs=[last])
                elif pick == 1:
                    reducer.step(store)
                elif pick == 2:
                    reducer.watermark()
                else:
                    store.add_op("extra", [rnd.randrange(store.node_count())])
        except BaseException as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
    if ticker:
        threads.append(threading.Thread(target=tick))
    for t in threads:
        t.start()
    work(99)  # the main thread takes part: signal handlers run in it
    for t in threads:
        t.join()
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert not errors, errors
    assert reducer.step(store) >= 0 and reducer.watermark() == store.node_count()
    print("ok")
"""


@pytest.mark.parametrize("size", ["small", "large"])
@pytest.mark.parametrize("ticker,handler", [(1, 0), (0, 1), (1, 1)])
def test_threads_waiting_for_a_reducer_survive_every_interleaving(size, ticker, handler):
    run_child(INTERLEAVINGS, size, ticker, handler)


# A signal handler that calls the reducer whose finalize it interrupted: the
# inner call is refused with a RuntimeError, the reducer is not poisoned,
# and the finalize either completes (the handler caught the error) or ends
# with that error and changes nothing (the handler let it through).
REENTRY = r"""
    import os, signal, sys
    sys.path.insert(0, os.environ["TESTS_DIR"])
    from tavrine_core import GraphStore, IncrementalReducer
    from test_citizen import record

    BUSY = ("incremental reducer is busy in this thread: a signal handler or callback "
            "called it during one of its own calls")
    catch = sys.argv[1] == "catch"
    store = GraphStore()
    last = record(store, 100_000)
    reducer = IncrementalReducer()
    reducer.step(store)
    store.add_op("h", [last])
    seen = []

    def on_alarm(signum, frame):
        signal.setitimer(signal.ITIMER_REAL, 0)
        try:
            reducer.watermark()
        except RuntimeError as e:
            seen.append(str(e))
            if not catch:
                raise

    signal.signal(signal.SIGALRM, on_alarm)
    before = reducer.watermark(), reducer.total_work(), reducer.canonical_count()
    for _ in range(20):
        seen.clear()
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        try:
            reducer.finalize(store, outputs=[last])
        except RuntimeError as e:
            assert not catch and str(e) == BUSY, e
            assert (reducer.watermark(), reducer.total_work(), reducer.canonical_count()) == before
        else:
            if not seen:
                continue  # the timer fired after the call: try again
            assert catch
        assert seen == [BUSY], seen
        break
    else:
        sys.exit("the handler never ran inside a finalize")
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert reducer.finalize(store, outputs=[last])[1]["reachable_nodes"] > 0
    assert reducer.watermark() == store.node_count()
    print("ok")
"""


@pytest.mark.parametrize("how", ["catch", "raise"])
def test_a_handler_calling_a_busy_reducer_gets_a_runtime_error(how):
    run_child(REENTRY, how)


# os.fork() while a worker thread is inside a long finalize: in the child,
# that reducer refuses with a RuntimeError (it must not block for ever on a
# lock no thread there will release), while the store and other objects
# work. An alarm ends a child that blocks.
FORK = r"""
    import os, signal, sys, threading, time, warnings
    sys.path.insert(0, os.environ["TESTS_DIR"])
    from tavrine_core import GraphStore, IncrementalReducer
    from test_citizen import busy_reducer

    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
    FORKED = ("incremental reducer was locked by another thread when the process forked; "
              "it cannot be used in the child process")
    store, last, reducer, full = busy_reducer(0.2, 100_000)
    idle = IncrementalReducer()
    started = threading.Event()

    def hold():
        started.set()
        reducer.finalize(store, outputs=[last])

    worker = threading.Thread(target=hold)
    worker.start()
    started.wait()
    time.sleep(full / 4)
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)
        code = 0
        try:
            for call in (reducer.watermark, lambda: reducer.step(store), lambda: reducer.finalize(store)):
                try:
                    call()
                    code = 3
                except RuntimeError as e:
                    if str(e) != FORKED:
                        code = 4
            assert store.add_op("child", [last]) == store.node_count() - 1
            assert idle.step(store) == store.node_count()
            assert GraphStore.deserialize(store.serialize()).node_count() == store.node_count()
        except BaseException:
            code = 5
        os._exit(code)
    worker.join()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    assert reducer.watermark() == store.node_count()
    print("ok")
"""


def test_a_forked_child_refuses_a_reducer_another_thread_held():
    run_child(FORK)
