"""The command line: ``python -m tavrine_core inspect|dot|reduce FILE ...``.

Each command reads a blob file (as `GraphStore.serialize` writes it):

- ``inspect FILE``: one line per node (id, kind, name, params, inputs, a mark
  for outputs), the members of a stage indented under it;
- ``dot FILE [--open-stages] [-o OUT]``: the DOT text of `GraphStore.to_dot`,
  or with ``--open-stages`` every stage drawn as a cluster of its members;
- ``reduce FILE [-o OUT] [--outputs ID,...] [--maximal-fusion]``: reduces the
  graph, writes the reduced blob (to OUT, by default FILE with ".reduced"
  before its suffix) and prints the report and the output ids.

A failure (a missing or malformed file, a bad argument) prints one line on
standard error and exits with status 1 (2 for bad usage), never a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, NoReturn

from tavrine_core._core import GraphStore

if TYPE_CHECKING:
    from tavrine_core._core import NodeDict, ParamValue, StageRef

__all__ = ["listing", "main", "stages_dot"]

PROG = "python -m tavrine_core"


class Failure(Exception):
    """A failure the command line reports in one line."""


def _params_text(params: dict[str, ParamValue]) -> str:
    return "" if not params else " {" + ", ".join(f"{k}={v}" for k, v in params.items()) + "}"


def _ref_text(ref: StageRef) -> str:
    where, i = ref
    return f"in{i}" if where == "input" else f"m{i}"


def _label(node: NodeDict) -> str:
    if node["kind"] == "external":
        d = node["descriptor"]
        return f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]"
    if node["kind"] == "stage":
        return f"[{node['n_members']} members]"
    if node["kind"] == "exchange":
        return ""
    return node["name"]


def listing(store: GraphStore) -> str:
    """A readable listing of a store.

    Args:
        store: the store to list.

    Returns:
        One line per node, in id order: the id, the kind, the name (for an
        external node its descriptor), the params in braces, the inputs after
        "<-", and "[output]" for a marked node. A stage's members follow it,
        indented, each as its index ("m0", "m1", ...), kind, name, params and
        references ("in<k>": the stage's k-th input, "m<j>": member j).
    """
    nodes = store.nodes()
    width = len(str(len(nodes) - 1)) if nodes else 1
    lines = []
    for n in nodes:
        text = f"{n['id']:>{width}}  {n['kind']:<9}"
        label = (_label(n) + _params_text(dict(n["params"]))).strip()
        if label:
            text += f" {label}"
        if n["inputs"]:
            text += "  <- " + ", ".join(map(str, n["inputs"]))
        if n["output"]:
            text += "  [output]"
        lines.append(text)
        if n["kind"] == "stage":
            for k, m in enumerate(n["members"]):
                refs = ", ".join(_ref_text(r) for r in m["inputs"])
                lines.append(f"{'':>{width}}    m{k}  {m['kind']:<3} {m['name']}{_params_text(dict(m['params']))}"
                             f"  <- {refs}")
    return "\n".join(lines) + ("\n" if lines else "")


def _quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def stages_dot(store: GraphStore) -> str:
    """DOT text of a store with every Stage drawn as a cluster of its members.

    Member references are edges inside the cluster; an input reference is an
    edge from the node (or the last member of the stage) that carries the
    input's value. Outputs are drawn with a double border.

    Args:
        store: the store to draw.

    Returns:
        The DOT text (a ``digraph stages``), ending with a newline.
    """
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
            out.append(f"    label={_quote(f'Stage n{i}')}; style=rounded; color=steelblue; fontname=Helvetica;")
            last = len(n["members"]) - 1
            for k, m in enumerate(n["members"]):
                shape = "box, peripheries=2" if n["output"] and k == last else "box"
                label = _quote(m["name"] + _params_text(dict(m["params"])))
                out.append(f"    n{i}m{k} [label={label}, shape={shape}];")
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
            label += _params_text(dict(n["params"]))
            shape = "ellipse, peripheries=2" if n["output"] else "ellipse"
            out.append(f"  n{i} [label={_quote(label)}, shape={shape}, style=filled, fillcolor=gray95];")
            for j in n["inputs"]:
                edges.append(f"  {value_of(j)} -> n{i};")
    return "\n".join(out + edges + ["}"]) + "\n"


def _read(path: str) -> GraphStore:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Failure(f"cannot read {path}: {e.strerror or e}") from e
    try:
        return GraphStore.deserialize(data)
    except ValueError as e:
        raise Failure(f"{path} is not a graph blob: {e}") from e


def _write(path: str, data: bytes | str) -> None:
    try:
        if isinstance(data, bytes):
            with open(path, "wb") as f:
                f.write(data)
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(data)
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror or e}") from e


def _ids(text: str) -> list[int]:
    try:
        ids = [int(t) for t in text.split(",") if t.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of node ids: {text!r}") from None
    if any(i < 0 for i in ids):
        raise argparse.ArgumentTypeError(f"node ids are not negative: {text!r}")
    return ids


def _default_out(path: str) -> str:
    root, ext = os.path.splitext(path)
    return f"{root}.reduced{ext or '.tir'}"


class _Parser(argparse.ArgumentParser):
    """argparse, with usage errors in one line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Inspect, draw and reduce graph blob files.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    p = sub.add_parser("inspect", help="list the nodes of a blob file")
    p.add_argument("file", metavar="FILE")
    p = sub.add_parser("dot", help="print or write the DOT text of a blob file")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--open-stages", action="store_true", help="draw each stage as a cluster of its members")
    p.add_argument("-o", "--out", metavar="OUT", help="write the DOT text to OUT instead of printing it")
    p = sub.add_parser("reduce", help="reduce a blob file and write the reduced blob")
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--out", metavar="OUT", help="where to write the reduced blob"
                   " (default: FILE with .reduced before its suffix)")
    p.add_argument("--outputs", type=_ids, metavar="ID,...", help="reduce against these ids instead of the marks")
    p.add_argument("--maximal-fusion", action="store_true", help="also fuse fan-out ops (see GraphStore.reduce)")
    return parser


def _run(args: argparse.Namespace) -> None:
    store = _read(args.file)
    if args.command == "inspect":
        sys.stdout.write(listing(store))
    elif args.command == "dot":
        text = stages_dot(store) if args.open_stages else store.to_dot()
        if args.out:
            _write(args.out, text)
        else:
            sys.stdout.write(text)
    else:
        try:
            reduced, report, ids = store.reduce_with_output_ids(maximal_fusion=args.maximal_fusion,
                                                                outputs=args.outputs)
        except ValueError as e:
            raise Failure(f"{args.file}: {e}") from e
        out = args.out or _default_out(args.file)
        _write(out, reduced.serialize())
        print(f"wrote {out}: {reduced.node_count()} nodes")
        for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
                    "boundary_nodes"):
            print(f"  {key:<16}{report[key]}")
        print("output ids: " + ", ".join(map(str, ids)))


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line.

    Args:
        argv: the arguments after the program name; None reads ``sys.argv``.

    Returns:
        The exit status: 0 on success, 1 when a file cannot be read, parsed
        or written, 130 when interrupted (each after one line on standard
        error). Bad usage exits with status 2 through ``SystemExit``, after
        one line on standard error.
    """
    args = _parser().parse_args(argv)
    try:
        _run(args)
    except Failure as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`... | head`): nothing is left to tell it,
        # and the interpreter's last flush must not fail on the pipe again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    return 0
