"""Record a small pipeline, look at it, store it, and reduce it.

Run with `make demo` (it builds the module first).
"""
import os
import shutil
import subprocess

import tavrine_core
from tavrine_core import GraphStore, IncrementalReducer, PayloadDescriptor

# Files the demo writes (DOT, SVG, blob) go next to the build output.
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "demo")


def record(store: GraphStore) -> int:
    """A pricing pipeline: two inputs, element-wise maths, a model call,
    a shuffle boundary and a total."""
    prices = store.add_source("prices", {"path": "prices.parquet", "column": "usd"})
    qty = store.add_source("quantities", {"path": "orders.parquet"})

    revenue = store.add_op("mul", [prices, qty])
    # "+ 0.0" is an identity: the optimizer removes it.
    revenue0 = store.add_op("add", [revenue], {"scalar": 0.0, "side": "r"})
    floor = store.add_op("maximum", [revenue0, qty])
    # The same maximum with its arguments swapped: proved equal and merged.
    floor_swapped = store.add_op("maximum", [qty, revenue0])
    scaled = store.add_op("mul", [floor], {"scalar": 1.08, "side": "r"})

    model = PayloadDescriptor(
        kind="onnx",
        content_hash="sha256:9f2c41",
        framework="onnxruntime",
        version="1.20",
        io_schema="f64[n] -> f64[n]",
    )
    scored = store.add_external(model, [scaled, floor_swapped], {"batch": 4096})
    shuffled = store.add_exchange([scored], {"scheme": "hash", "partitions": 8})
    total = store.add_reduction("sum", [shuffled], {"axis": 0})
    return total


def show_table(store: GraphStore) -> None:
    print(f"{'id':>3}  {'kind':<10} {'name':<11} {'inputs':<10} params")
    for n in store.nodes():
        extra = ""
        if n["kind"] == "external":
            d = n["descriptor"]
            extra = f"  [{d['kind']} {d['content_hash']}]"
        if n["kind"] == "stage":
            # in<k>: the stage's k-th input; m<k>: the value of member k.
            def ref(r: tuple[str, int]) -> str:
                return ("in" if r[0] == "input" else "m") + str(r[1])

            members = "; ".join(
                f"m{k}={m['name']}({', '.join(ref(r) for r in m['inputs'])})"
                + (f" {m['params']}" if m["params"] else "")
                for k, m in enumerate(n["members"])
            )
            extra = f"  members: {members}"
        print(f"{n['id']:>3}  {n['kind']:<10} {n['name']:<11} {str(n['inputs']):<10} {n['params']}{extra}")


def write_dot(store: GraphStore, name: str) -> None:
    path = os.path.relpath(os.path.join(OUT, name + ".dot"))
    with open(path, "w") as f:
        f.write(store.to_dot())
    line = f"  DOT: {path}"
    if shutil.which("dot"):
        svg = path[:-4] + ".svg"
        subprocess.run(["dot", "-Tsvg", path, "-o", svg], check=True)
        line += f"  SVG: {svg}"
    print(line)


def main() -> None:
    os.makedirs(OUT, exist_ok=True)
    print(f"tavrine_core {tavrine_core.version()}")
    store = GraphStore()
    total = record(store)
    print(f"\nrecorded {store.node_count()} nodes; output node is {total}")

    # Hash-consing: recording a node again returns its first id.
    again = store.add_source("prices", {"column": "usd", "path": "prices.parquet"})
    print(f"re-recording source 'prices' returns id {again} (node count still {store.node_count()})")

    print("\nthe recorded graph:")
    show_table(store)
    write_dot(store, "recorded")

    # The canonical blob: byte-identical for identical graphs.
    blob = store.serialize(outputs=[total])
    path = os.path.relpath(os.path.join(OUT, "recorded.tir"))
    with open(path, "wb") as f:
        f.write(blob)
    with open(path, "rb") as f:
        back = GraphStore.deserialize(f.read())
    same = back.serialize() == blob
    print(f"\nblob: {len(blob)} bytes -> {path}; read back {back.node_count()} nodes, "
          f"marks {back.outputs()}, round trip byte-identical: {same}")

    # Reduction: dead code, identities, commuted duplicates, stage fusion.
    reduced, report = store.reduce(outputs=[total])
    print("\nreduction report:")
    for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"):
        print(f"  {key:<16} {report[key]}")
    print("\nthe reduced graph:")
    show_table(reduced)
    write_dot(reduced, "reduced")

    # Incremental reduction while building: each step sees only new nodes.
    reducer = IncrementalReducer()
    live = GraphStore()
    steps = []
    a = live.add_source("a")
    steps.append(reducer.step(live))
    b = live.add_op("add", [a], {"scalar": 0.0, "side": "l"})
    c = live.add_op("neg", [b])
    steps.append(reducer.step(live))
    d = live.add_op("neg", [a])
    steps.append(reducer.step(live))
    final, rep = reducer.finalize(live, outputs=[c, d])
    print(f"\nincremental: steps consumed {steps}, total work {reducer.total_work()}, "
          f"canonical form {reducer.canonical_count()} nodes, reduced to {rep['reduced_nodes']} nodes "
          f"with marks {final.outputs()}")


if __name__ == "__main__":
    main()
