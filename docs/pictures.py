"""Draws the pictures of the docs from real stores (make docs runs it).

    python docs/pictures.py [OUT_DIR]      (default: docs/img)

Each picture is a graph recorded here and rendered with Graphviz `dot`: the
module's own `to_dot()` text for recorded and reduced stores (with the font
of the other pictures and outputs as double ellipses, see `drawn`), and a
"stages opened" drawing (below) that shows what each Stage holds. Without
`dot` the DOT texts are written instead (.dot files).
"""

import os
import shutil
import subprocess
import sys

from tavrine_core import GraphStore

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import quickstart  # noqa: E402


def quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def params_text(params: dict[str, object]) -> str:
    return "" if not params else " {" + ", ".join(f"{k}={v}" for k, v in params.items()) + "}"


def drawn(dot_text: str) -> str:
    """The module's own DOT text, drawn for a page: its font, and outputs as
    double ellipses. `to_dot()` marks outputs as double circles, which
    Graphviz sizes to the label's width, so a long label turns the output
    into the largest shape of the picture."""
    head, sep, rest = dot_text.partition("{\n")
    text = head + sep + "  node [fontname=Helvetica, fontsize=11];\n" + rest
    return text.replace("shape=doublecircle", "shape=ellipse, peripheries=2")


def stages_dot(store: GraphStore) -> str:
    """A reduced store with every Stage drawn as a box of its members: member
    references as edges inside the box, input references as edges from the
    node (or the last member of the stage) that carries the input's value."""
    nodes = store.nodes()

    def value_of(i: int) -> str:
        n = nodes[i]
        return f"n{i}m{len(n['members']) - 1}" if n["kind"] == "stage" else f"n{i}"

    out = ["digraph stages {", "  node [fontname=Helvetica, fontsize=11];", "  compound=true;"]
    edges = []
    for n in nodes:
        i = n["id"]
        if n["kind"] == "stage":
            out.append(f"  subgraph cluster_{i} {{")
            out.append(f"    label={quote(f'Stage n{i}')}; style=rounded; color=steelblue; fontname=Helvetica;")
            last = len(n["members"]) - 1
            for k, m in enumerate(n["members"]):
                shape = "box, peripheries=2" if n["output"] and k == last else "box"
                out.append(f"    n{i}m{k} [label={quote(m['name'] + params_text(dict(m['params'])))}, shape={shape}];")
                for where, j in m["inputs"]:
                    src = f"n{i}m{j}" if where == "member" else value_of(n["inputs"][j])
                    edges.append(f"  {src} -> n{i}m{k};")
            out.append("  }")
        else:
            if n["kind"] == "external":
                label = f"External {n['descriptor']['kind']}"
            elif n["kind"] == "exchange":
                label = "Exchange"
            else:
                label = f"{n['kind'].capitalize()} {n['name']}"
            label += params_text(dict(n["params"]))
            shape = "ellipse, peripheries=2" if n["output"] else "ellipse"
            out.append(f"  n{i} [label={quote(label)}, shape={shape}, style=filled, fillcolor=gray95];")
            for j in n["inputs"]:
                edges.append(f"  {value_of(j)} -> n{i};")
    return "\n".join(out + edges + ["}"]) + "\n"


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
