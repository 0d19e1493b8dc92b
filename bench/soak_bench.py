"""Memory of a long-running process that reduces graph after graph.

    python bench/soak_bench.py              (make bench runs it too)
    python bench/soak_bench.py --texts 1000000 --per-store 1000

Throw-away stores, each with ops whose params carry texts no store had
before (content hashes, seeds, timestamps in real pipelines), go through
`reduce` and through `IncrementalReducer.finalize`; everything is dropped
before the next store. The resident set size is sampled every tenth of the
run and printed as a curve. Target: after all the texts, RSS is within 10 MB
of its level after the first tenth (memory that never comes back would grow
linearly instead). A second curve does the same with one large (9 KB) text
per store.
"""
import argparse
import gc
import os

import tavrine_core

import results


def rss_mb():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def one_store(first_text, count, big):
    """Records `count` ops over two sources with distinct texts starting at
    `first_text`, reduces the store and finalizes a reducer over it."""
    store = tavrine_core.GraphStore()
    a = store.add_source("a")
    b = store.add_source("b")
    last = a
    for k in range(count):
        text = f"{first_text + k:032x}"
        if big:
            text = text * (9216 // len(text))
        last = store.add_op("mix", [last, b], {"seed": text})
    store.add_op("add", [last, a])
    reduced, _ = store.reduce(outputs=[store.node_count() - 1])
    reducer = tavrine_core.IncrementalReducer()
    finalized, _ = reducer.finalize(store, outputs=[store.node_count() - 1])
    del store, reduced, reducer, finalized


def curve(label, texts, per_store, big):
    samples = []
    step = texts // 10
    done = 0
    next_sample = step
    while done < texts:
        n = min(per_store, texts - done)
        one_store(done, n, big)
        done += n
        if done >= next_sample:
            gc.collect()
            samples.append((done, rss_mb()))
            next_sample += step
    base = samples[0][1]
    growth = samples[-1][1] - base
    print(f"{label}: RSS after each tenth of {texts} distinct texts ({per_store} per store)")
    for done, mb in samples:
        print(f"  {done:>9} texts  {mb:8.1f} MB  ({mb - base:+.1f})")
    verdict = "ok" if growth <= 10 else "GROWS"
    print(f"  growth after the first tenth: {growth:+.1f} MB (target <= 10 MB): {verdict}")
    return growth <= 10, {"texts": texts, "per_store": per_store, "rss_mb": samples}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--texts", type=int, default=1_000_000)
    parser.add_argument("--per-store", type=int, default=1000)
    parser.add_argument("--big-texts", type=int, default=20_000)
    args = parser.parse_args()
    ok_short, short = curve("distinct short texts", args.texts, args.per_store, big=False)
    ok_big, big = curve("distinct 9 KB texts", args.big_texts, 1, big=True)
    results.save("soak", {"short": short, "big": big})
    raise SystemExit(0 if ok_short and ok_big else 1)


if __name__ == "__main__":
    main()
