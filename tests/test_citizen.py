"""Long calls let other threads run, answer Ctrl-C, and wait for locks
without holding up the interpreter.

The signal tests run in a child process, so that a stray KeyboardInterrupt
can never reach the test runner.
"""
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tavrine_core import GraphStore, IncrementalReducer

BIG = 1_000_000


def record(store, n, seed=1):
    """n two-input ops over recent values, all live below the last one."""
    import random

    rnd = random.Random(seed)
    x = store.add_source("x")
    y = store.add_source("y")
    last = y
    add = store.add_op
    names = ("add", "mul", "f", "g")
    for k in range(n):
        last = add(names[k % 4], [rnd.randrange(max(x, last - 16), last + 1), last])
    return last


def busy_reducer(seconds, n):
    """A store and a stepped reducer whose finalize takes more than `seconds`
    (the graph doubles until it does): (store, last node, reducer, time of
    one finalize)."""
    while True:
        store = GraphStore()
        last = record(store, n)
        reducer = IncrementalReducer()
        reducer.step(store)
        t0 = time.perf_counter()
        reducer.finalize(store, outputs=[last])
        full = time.perf_counter() - t0
        if full > seconds:
            return store, last, reducer, full
        n *= 2


@pytest.fixture(scope="module")
def big():
    store = GraphStore()
    last = record(store, BIG)
    return store, last, store.serialize(outputs=[last])


# The longest another thread may have to wait. Under AddressSanitizer (its
# runtime preloaded, as `make asan` runs this suite) every copy the
# interpreter makes of a large result, and every allocation, is checked as
# it goes, which stretches the short attached moments of a long call about
# threefold; the bound stretches with them.
LONGEST_WAIT = 0.15 if "asan" in os.environ.get("LD_PRELOAD", "") else 0.05


class Ticker:
    """A thread that wakes every millisecond and records the longest gap."""

    def __init__(self):
        self.longest = 0.0
        self.stop = False
        self.thread = threading.Thread(target=self.run)

    def run(self):
        last = time.perf_counter()
        while not self.stop:
            time.sleep(0.001)
            now = time.perf_counter()
            self.longest = max(self.longest, now - last)
            last = now

    def __enter__(self):
        self.thread.start()
        time.sleep(0.01)
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()


def test_other_threads_keep_running_during_long_calls(big):
    store, last, blob = big
    with Ticker() as ticker:
        store.reduce(outputs=[last])
        store.reduction_report(outputs=[last])
        GraphStore.deserialize(blob)
        store.serialize()
        store.to_dot()
        reducer = IncrementalReducer()
        reducer.step(store)
        reducer.finalize(store, outputs=[last])
    assert ticker.longest < LONGEST_WAIT, f"a thread waited {ticker.longest * 1000:.0f} ms"


def test_other_threads_keep_running_while_nodes_builds_its_dicts(big):
    # The collector stays off around the call: a million new containers make
    # its next collection (whenever it comes) walk them all, which is the
    # collector's own pause, not the call's; and the result is freed after
    # the ticker stops, a pause of the caller's own.
    store, _, _ = big
    gc.disable()
    try:
        with Ticker() as ticker:
            kept = store.nodes()
        del kept
    finally:
        gc.enable()
    assert ticker.longest < LONGEST_WAIT, f"a thread waited {ticker.longest * 1000:.0f} ms"


def test_a_thread_waiting_for_a_busy_reducer_does_not_hold_the_interpreter(big):
    store, last, _ = big
    reducer = IncrementalReducer()
    reducer.step(store)
    done = []

    def finalize():
        reducer.finalize(store, outputs=[last])
        done.append("finalize")

    with Ticker() as ticker:
        worker = threading.Thread(target=finalize)
        worker.start()
        time.sleep(0.02)
        # Waits for the reducer's lock while the finalize works under it.
        assert reducer.watermark() == store.node_count()
        worker.join()
    assert done == ["finalize"]
    assert ticker.longest < LONGEST_WAIT, f"a thread waited {ticker.longest * 1000:.0f} ms"


# Each call is interrupted by a SIGINT that a timer thread sends a quarter of
# the way through a run that takes long enough; the child checks that
# KeyboardInterrupt arrived early, and that the store and the reducer are as
# they were and still work.
CHILD = textwrap.dedent(
    r"""
    import os, signal, sys, threading, time
    sys.path.insert(0, os.environ["TESTS_DIR"])
    from tavrine_core import GraphStore, IncrementalReducer
    from test_citizen import record

    # Python's own handler, even when started with SIGINT ignored (a
    # background job of a non-interactive shell is).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    which = sys.argv[1]
    n = 200_000
    while True:
        store = GraphStore()
        last = record(store, n)
        blob = store.serialize(outputs=[last])
        reducer = IncrementalReducer()
        reducer.step(store)
        store.add_op("h", [last])
        calls = {
            "reduce": lambda: store.reduce(outputs=[last]),
            "reduction_report": lambda: store.reduction_report(outputs=[last]),
            "finalize": lambda: reducer.finalize(store, outputs=[last]),
            "deserialize": lambda: GraphStore.deserialize(blob),
            "serialize": lambda: store.serialize(),
            "nodes": store.nodes,
            "to_dot": store.to_dot,
        }
        t0 = time.perf_counter()
        calls[which]()
        full = time.perf_counter() - t0
        if full > 0.15:
            break
        n *= 2
    # `finalize` above consumed the extra node; give the next one its own.
    reducer = IncrementalReducer()
    reducer.step(store)
    store.add_op("h2", [last])
    before = store.serialize()
    watermark = reducer.watermark(), reducer.total_work(), reducer.canonical_count()
    threading.Timer(full / 4, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    t0 = time.perf_counter()
    try:
        calls[which]()
    except KeyboardInterrupt:
        took = time.perf_counter() - t0
    else:
        sys.exit(f"{which}: no KeyboardInterrupt")
    assert took < full * 3 / 4, (which, took, full)
    assert store.serialize() == before
    assert (reducer.watermark(), reducer.total_work(), reducer.canonical_count()) == watermark
    assert store.add_op("after", [last]) == store.node_count() - 1
    assert reducer.step(store) == 2
    print("ok")
    """
)


@pytest.mark.parametrize(
    "which", ["reduce", "reduction_report", "finalize", "deserialize", "serialize", "nodes", "to_dot"])
def test_ctrl_c_interrupts_a_long_call_and_leaves_everything_as_it_was(which):
    env = dict(os.environ, TESTS_DIR=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", CHILD, which], capture_output=True, text=True, timeout=300, env=env)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stdout + out.stderr


# The main thread waits for the reducer's lock while a worker holds it
# through a long finalize; SIGINT comes a quarter of the way through the
# finalize. The wait ends with KeyboardInterrupt long before the worker is
# done, and neither the wait nor the finalize changed what they must not.
WAIT_CHILD = textwrap.dedent(
    r"""
    import os, signal, sys, threading, time
    sys.path.insert(0, os.environ["TESTS_DIR"])
    from test_citizen import busy_reducer

    signal.signal(signal.SIGINT, signal.default_int_handler)
    call = sys.argv[1]
    store, last, reducer, full = busy_reducer(0.3, 200_000)
    result = []
    holding = threading.Event()

    def hold():
        holding.set()
        result.append(reducer.finalize(store, outputs=[last])[1])

    worker = threading.Thread(target=hold)
    worker.start()
    holding.wait()
    time.sleep(full / 8)  # the worker has the lock by now
    threading.Timer(full / 8, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    t0 = time.perf_counter()
    try:
        if call == "watermark":
            reducer.watermark()
        else:
            reducer.step(store)
    except KeyboardInterrupt:
        took = time.perf_counter() - t0
    else:
        sys.exit("no KeyboardInterrupt")
    alive = worker.is_alive()
    worker.join()
    assert alive, "the wait ended only with the holder"
    assert took < full / 2, (took, full)
    assert result, "the holder finished its finalize"
    assert reducer.watermark() == store.node_count()
    print("ok")
    """
)


@pytest.mark.parametrize("call", ["watermark", "step"])
def test_ctrl_c_reaches_a_thread_waiting_for_a_busy_reducer(call):
    env = dict(os.environ, TESTS_DIR=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", WAIT_CHILD, call], capture_output=True, text=True, timeout=300, env=env)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stdout + out.stderr
