"""Draws the pictures of the docs from real stores (make docs runs it).

    python docs/pictures.py [OUT_DIR]      (default: docs/img)

Each picture is a graph recorded here and rendered with Graphviz `dot`: the
module's own `to_dot()` text for recorded and reduced stores (with the font
of the other pictures and outputs as double ellipses, see `drawn`), and a
"stages opened" drawing (`python -m tavrine_core dot --open-stages`) that
shows what each Stage holds. Without
`dot` the DOT texts are written instead (.dot files).
"""

import os
import shutil
import subprocess
import sys

from tavrine_core import GraphStore
from tavrine_core.cli import stages_dot

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import quickstart  # noqa: E402


def drawn(dot_text: str) -> str:
    """The module's own DOT text, drawn for a page: its font, and outputs as
    double ellipses. `to_dot()` marks outputs as double circles, which
    Graphviz sizes to the label's width, so a long label turns the output
    into the largest shape of the picture."""
    head, sep, rest = dot_text.partition("{\n")
    text = head + sep + "  node [fontname=Helvetica, fontsize=11];\n" + rest
    return text.replace("shape=doublecircle", "shape=ellipse, peripheries=2")


def chain() -> tuple[GraphStore, list[int]]:
    """A source and a chain of three ops; only the last is wanted."""
    store = GraphStore()
    s = store.add_source("s")
    a = store.add_op("a", [s])
    b = store.add_op("b", [a])
    c = store.add_op("c", [b])
    return store, [c]


def fan_out() -> tuple[GraphStore, list[int]]:
    """An op whose value two ops use, joined again by a last op."""
    store = GraphStore()
    s = store.add_source("s")
    a = store.add_op("a", [s])
    b = store.add_op("b", [a])
    c = store.add_op("c", [a])
    d = store.add_op("d", [b, c])
    return store, [d]


def pictures() -> dict[str, str]:
    """Name -> DOT text of every picture."""
    out: dict[str, str] = {}
    store = GraphStore()
    total = quickstart.record(store)
    out["quickstart-recorded"] = drawn(store.to_dot())
    reduced, _ = store.reduce(outputs=[total])
    out["quickstart-reduced"] = drawn(reduced.to_dot())
    out["quickstart-stages"] = stages_dot(reduced)

    store, wanted = chain()
    out["fusion-chain-recorded"] = drawn(store.to_dot())
    out["fusion-chain-stages"] = stages_dot(store.reduce(outputs=wanted)[0])

    store, wanted = fan_out()
    out["fusion-fanout-recorded"] = drawn(store.to_dot())
    out["fusion-fanout-default"] = stages_dot(store.reduce(outputs=wanted)[0])
    out["fusion-fanout-maximal"] = stages_dot(store.reduce(outputs=wanted, maximal_fusion=True)[0])
    return out


def main() -> None:
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "img")
    os.makedirs(out_dir, exist_ok=True)
    dot = shutil.which("dot")
    drawn = pictures()
    for name, text in drawn.items():
        path = os.path.join(out_dir, name)
        if dot:
            subprocess.run([dot, "-Tsvg", "-o", path + ".svg"], input=text, text=True, check=True)
        else:
            with open(path + ".dot", "w") as f:
                f.write(text)
    print(f"pictures: {len(drawn)} graphs in {out_dir}" + ("" if dot else " (DOT only: graphviz is missing)"))


if __name__ == "__main__":
    main()
