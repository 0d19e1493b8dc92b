"""A failed allocation raises MemoryError and leaves every object as it was.

Each case runs in a child process whose address space is limited to a little
more than it already uses, for a range of margins, so that the allocation
that fails falls in turn while converting arguments, while copying a payload
into the store, and while the store's tables grow; and likewise for every
other long call. After each failure the limit is lifted and the child
checks that the store serializes to the bytes it had (or, for recording, to
the bytes of a store given the same successful calls) and still records.
"""
import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    r"""
    import resource, sys
    from tavrine_core import GraphStore, IncrementalReducer

    SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)

    def vm():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    class Limit:
        def __init__(self, extra):
            self.extra = extra
        def __enter__(self):
            resource.setrlimit(resource.RLIMIT_AS, (vm() + self.extra, HARD))
        def __exit__(self, *exc):
            resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))

    def build(store, n, start=0):
        for k in range(start, n):
            store.add_op(f"op{k % 97}", [k % 2, max(1, k + 1)] if k else [0], {"k": k})

    def fresh(n):
        s = GraphStore()
        s.add_source("a")
        s.add_source("b")
        build(s, n)
        return s

    MB = 1 << 20
    margins = [m * MB // 4 for m in range(1, 65, 3)]
    failures = 0
    case = sys.argv[1]

    if case == "convert":
        # Converting: a long input list and a large params dict.
        store = fresh(100)
        before = store.serialize()
        ids = [0] * 3_000_000
        params = {f"k{i}": i for i in range(300_000)}
        for extra in margins:
            for call in (lambda: store.add_op("f", ids), lambda: store.add_source("p", params)):
                try:
                    with Limit(extra):
                        call()
                except MemoryError:
                    failures += 1
                    assert store.serialize() == before
        store.add_op("after", [0])

    elif case == "copy":
        # Copying into the store: a payload too large to copy.
        store = fresh(100)
        before = store.serialize()
        name = "n" * (48 * MB)
        for extra in margins:
            try:
                with Limit(extra):
                    store.add_source(name)
            except MemoryError:
                failures += 1
                assert store.serialize() == before
            else:
                break
        store.add_op("after", [0])

    elif case == "grow":
        # Growing the tables: distinct nodes until memory runs out.
        for extra in margins:
            store = fresh(0)
            n = 0
            try:
                with Limit(extra):
                    while True:
                        build(store, n + 1, n)
                        n += 1
            except MemoryError:
                failures += 1
            count = store.node_count() - 2
            assert store.serialize() == fresh(count).serialize(), extra
            build(store, count + 50, count)
            assert store.serialize() == fresh(count + 50).serialize()

    else:
        store = fresh(200_000)
        blob = store.serialize(outputs=[store.node_count() - 1])
        reducer = IncrementalReducer()
        build(store, 210_000, 200_000)
        calls = {
            "deserialize": lambda: GraphStore.deserialize(blob),
            "serialize": lambda: store.serialize(),
            "nodes": lambda: store.nodes(),
            "to_dot": lambda: store.to_dot(),
            "reduce": lambda: store.reduce(outputs=[store.node_count() - 1]),
            "reduction_report": lambda: store.reduction_report(outputs=[store.node_count() - 1]),
            "step": lambda: reducer.step(store),
            "finalize": lambda: reducer.finalize(store, outputs=[store.node_count() - 1]),
        }
        before = store.serialize()
        for extra in margins:
            state = (reducer.watermark(), reducer.total_work(), reducer.canonical_count())
            try:
                with Limit(extra):
                    calls[case]()
            except MemoryError:
                failures += 1
                assert (reducer.watermark(), reducer.total_work(), reducer.canonical_count()) == state
            assert store.serialize() == before
        if case in ("step", "finalize"):
            reducer.finalize(store, outputs=[store.node_count() - 1])
            assert reducer.watermark() == store.node_count()
    print("ok", failures)
    """
)

CASES = ["convert", "copy", "grow", "deserialize", "serialize", "nodes", "to_dot", "reduce", "reduction_report",
         "step", "finalize"]


@pytest.mark.parametrize("case", CASES)
def test_a_failed_allocation_raises_memory_error_and_changes_nothing(case):
    out = subprocess.run([sys.executable, "-c", CHILD, case], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    word, failures = out.stdout.split()
    assert word == "ok"
    # The margins start below what every case needs, so at least one fails.
    assert int(failures) > 0
