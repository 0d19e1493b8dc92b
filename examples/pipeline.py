"""Record a pipeline in a loop, reduce it, save the blob to a file and load it
back in a second process.

    python examples/pipeline.py [--size DAYS] [--out FILE]

Each day of sales data adds the same few steps (clean, convert currency,
aggregate). The loop records them naively: the currency conversion is
recorded once per day although it depends on nothing daily, some steps are
recorded with their arguments swapped, and a "+ 0.0" left over from a
template survives in the recording. Hash-consing merges the repeats while
recording; the reduction removes the rest and fuses each day's element-wise
work into stages.
"""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile

from tavrine_core import GraphStore


def record(store: GraphStore, days: int) -> list[int]:
    """Records `days` days of the pipeline; returns the ids of the values a
    caller wants: each day's revenue and tax, and the grand total."""
    rates = store.add_source("fx_rates", {"path": "fx.parquet"})
    wanted = []
    revenues = []
    for day in range(days):
        sales = store.add_source("sales", {"path": f"sales/{day:04d}.parquet"})
        # Recorded again every day: the same node each time (same id back).
        eur = store.add_op("take", [rates], {"currency": "EUR"})
        clean = store.add_op("maximum", [sales, store.add_source("zero")])
        converted = store.add_op("mul", [clean, eur])
        shifted = store.add_op("add", [converted], {"scalar": 0.0, "side": "r"})  # identity
        rounded = store.add_op("round", [shifted], {"decimals": 2})
        revenue = store.add_reduction("sum", [rounded], {"axis": 0})
        # The tax step was written elsewhere, with the product the other way
        # round: a commuted twin that the reduction proves equal.
        taxed = store.add_op("mul", [store.add_op("mul", [eur, clean])], {"scalar": 0.2, "side": "r"})
        tax = store.add_reduction("sum", [taxed], {"axis": 0})
        # A debugging value nobody asked for: dead code for the reduction.
        store.add_reduction("count", [sales])
        revenues.append(revenue)
        wanted += [revenue, tax]
    grand = revenues[0]
    for r in revenues[1:]:
        grand = store.add_op("add", [grand, r])
    return wanted + [grand]


def load(path: str) -> None:
    """The second process: read the blob, check it, describe it."""
    with open(path, "rb") as f:
        blob = f.read()
    store = GraphStore.deserialize(blob)
    assert store.serialize() == blob, "a round trip reproduces the bytes"
    kinds: dict[str, int] = {}
    for node in store.nodes():
        kinds[node["kind"]] = kinds.get(node["kind"], 0) + 1
    print(f"  loaded {store.node_count()} nodes {dict(sorted(kinds.items()))}, {len(store.outputs())} outputs,"
          f" sha256 {hashlib.sha256(blob).hexdigest()[:16]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=365, help="days to record (default 365)")
    parser.add_argument("--out", help="where to write the reduced blob (default: a temporary file)")
    parser.add_argument("--load", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.load:
        load(args.load)
        return

    store = GraphStore()
    wanted = record(store, args.size)
    print(f"recorded {args.size} days: {store.node_count()} distinct nodes")

    # A store filled from Python has no output marks: say what is wanted.
    reduced, report = store.reduce(outputs=wanted)
    print(f"reduced: {report['reachable_nodes']} reachable -> {report['canonical_nodes']} canonical"
          f" -> {report['reduced_nodes']} nodes ({report['stages']} stages)")
    # The reduced store carries the marks, one per distinct wanted value.
    assert len(reduced.outputs()) == len(wanted)

    blob = reduced.serialize()
    with tempfile.TemporaryDirectory() as tmp:
        path = args.out or os.path.join(tmp, "pipeline.tir")
        with open(path, "wb") as f:
            f.write(blob)
        print(f"wrote {len(blob)} bytes to {path if args.out else 'a temporary file'},"
              f" sha256 {hashlib.sha256(blob).hexdigest()[:16]}")
        # A fresh interpreter: nothing is shared but the file.
        sys.stdout.flush()
        subprocess.run([sys.executable, os.path.abspath(__file__), "--load", path], check=True)


if __name__ == "__main__":
    main()
