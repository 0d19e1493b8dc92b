"""How long calls share the interpreter: the longest pause of a ticking
thread during each call, and how soon Ctrl-C stops each call.

    make bench            (or: python bench/citizen_bench.py [nodes])

Tick gap: a thread that wakes every millisecond runs beside each call on a
graph of the standard mix; the longest time between two of its wake-ups is
reported (target: under 50 ms). Interrupt latency: a timer thread sends
SIGINT a quarter of the way into each call; the time from the signal to the
KeyboardInterrupt reaching the caller is reported (target: under 100 ms).
"""
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


def calls(store, outputs, blob):
    def finalize():
        reducer = tavrine_core.IncrementalReducer()
        reducer.step(store)
        return lambda: reducer.finalize(store, outputs=outputs)

    return {
        "reduce": lambda: store.reduce(outputs=outputs),
        "reduction_report": lambda: store.reduction_report(outputs=outputs),
        "finalize": finalize,  # a factory: the reducer is made outside the timing
        "deserialize": lambda: tavrine_core.GraphStore.deserialize(blob),
        "serialize": store.serialize,
        "to_dot": store.to_dot,
        "step": lambda: tavrine_core.IncrementalReducer().step(store),
    }


def run_call(name, fn):
    return fn()() if name == "finalize" else fn()


def interrupt_latency(name, fn):
    """Seconds from SIGINT to KeyboardInterrupt, or None when the call ended
    before the signal could matter."""
    t0 = time.perf_counter()
    run_call(name, fn)
    full = time.perf_counter() - t0
    target = fn() if name == "finalize" else fn
    sent = []

    def send():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(full / 4, send)
    timer.start()
    try:
        target()
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
    for name, fn in table.items():
        with Ticker() as ticker:
            t0 = time.perf_counter()
            run_call(name, fn)
            took = time.perf_counter() - t0
        latency = interrupt_latency(name, fn) if name not in ("to_dot", "step") else None
        figures[name] = {"ms": took * 1e3, "tick_gap_ms": ticker.longest * 1e3,
                         "interrupt_ms": None if latency is None else latency * 1e3}
        lat = "-" if latency is None else f"{latency * 1e3:.1f}"
        print(f"{name:>18} {took * 1e3:12.1f} {ticker.longest * 1e3:20.1f} {lat:>18}")
    print("targets: tick gap < 50 ms; Ctrl-C latency < 100 ms")
    results.save("citizen", {"nodes": store.node_count(), "calls": figures})


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
