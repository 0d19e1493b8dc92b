"""How long calls share the interpreter: the longest pause of a ticking
thread during each call, and how soon Ctrl-C stops each call.

    make bench            (or: python bench/citizen_bench.py [nodes])

Tick gap: a thread that wakes every millisecond runs beside each call on a
graph of the standard mix; the longest time between two of its wake-ups is
reported (target: under 50 ms). Interrupt latency: a timer thread sends
SIGINT a quarter of the way into each call; the time from the signal to the
KeyboardInterrupt reaching the caller is reported (target: under 100 ms).
`wait_for_reducer` is the main thread waiting for a reducer's lock while
another thread holds it through a long finalize (a short `step` is not
interrupted: it ends first).
"""
import contextlib
import gc
import os
import signal
import sys
import threading
import time

import tavrine_core

import graphs
import results

# The ticking thread the tests use.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from test_citizen import Ticker  # noqa: E402


class Held:
    """A worker thread holding `reducer` through a finalize of `store`, for
    the wait it makes: started before the timing, joined after."""

    def __init__(self, reducer, store, outputs):
        self.holding = threading.Event()

        def hold():
            self.holding.set()
            reducer.finalize(store, outputs=outputs)

        self.worker = threading.Thread(target=hold)

    def __enter__(self):
        self.worker.start()
        self.holding.wait()
        time.sleep(0.02)  # the worker has the lock by now
        return self

    def __exit__(self, *exc):
        self.worker.join()


class CollectorOff:
    def __enter__(self):
        gc.disable()

    def __exit__(self, *exc):
        gc.enable()


def calls(store, outputs, blob):
    """name -> a factory that prepares the call outside the timing and
    returns (the call, a context that the call runs in)."""
    def plain(fn):
        return lambda: (fn, contextlib.nullcontext())

    def finalize():
        reducer = tavrine_core.IncrementalReducer()
        reducer.step(store)
        return lambda: reducer.finalize(store, outputs=outputs), contextlib.nullcontext()

    def nodes():
        # With the collector off around the call (the caller's choice): its
        # next collection after a million new containers walks them all, a
        # pause of the collector's own, wherever it falls.
        return store.nodes, CollectorOff()

    def wait_for_reducer():
        # The main thread asks a reducer for its watermark while another
        # thread holds it through a long finalize.
        reducer = tavrine_core.IncrementalReducer()
        reducer.step(store)
        return reducer.watermark, Held(reducer, store, outputs)

    return {
        "reduce": plain(lambda: store.reduce(outputs=outputs)),
        "reduction_report": plain(lambda: store.reduction_report(outputs=outputs)),
        "finalize": finalize,
        "deserialize": plain(lambda: tavrine_core.GraphStore.deserialize(blob)),
        "serialize": plain(store.serialize),
        "to_dot": plain(store.to_dot),
        "nodes": nodes,
        "step": plain(lambda: tavrine_core.IncrementalReducer().step(store)),
        "wait_for_reducer": wait_for_reducer,
    }


def timed(prepare):
    """Seconds the prepared call takes, and its result (for the caller to
    drop: freeing a million dicts is a pause of the caller's own)."""
    fn, context = prepare()
    with context:
        t0 = time.perf_counter()
        result = fn()
        return time.perf_counter() - t0, result


def interrupt_latency(prepare, full):
    """Seconds from SIGINT to KeyboardInterrupt, or None when the call ended
    before the signal could matter."""
    fn, context = prepare()
    sent = []

    def send():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    with context:
        timer = threading.Timer(full / 4, send)
        timer.start()
        try:
            fn()
        except KeyboardInterrupt:
            return time.perf_counter() - sent[0]
        finally:
            timer.join()
    return None


def main(n):
    # Python's own handler, even when started with SIGINT ignored (a background
    # job of a non-interactive shell is).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    store = tavrine_core.GraphStore()
    outputs, _ = graphs.build(store, n)
    blob = store.serialize(outputs=outputs)
    table = calls(store, outputs, blob)
    print(f"{store.node_count()} nodes of the standard mix")
    print(f"{'call':>18} {'duration ms':>12} {'longest tick gap ms':>20} {'Ctrl-C latency ms':>18}")
    figures = {}
    for name, prepare in table.items():
        with Ticker() as ticker:
            took, result = timed(prepare)
        del result
        latency = interrupt_latency(prepare, took) if name != "step" else None
        figures[name] = {"ms": took * 1e3, "tick_gap_ms": ticker.longest * 1e3,
                         "interrupt_ms": None if latency is None else latency * 1e3}
        lat = "-" if latency is None else f"{latency * 1e3:.1f}"
        print(f"{name:>18} {took * 1e3:12.1f} {ticker.longest * 1e3:20.1f} {lat:>18}")
    print("targets: tick gap < 50 ms; Ctrl-C latency < 100 ms")
    results.save("citizen", {"nodes": store.node_count(), "calls": figures})


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
