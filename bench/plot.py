"""Plots of the Python benchmarks' results, for docs/performance.md.

    python bench/plot.py            (make bench runs it last)

Reads build/bench/results/*.json (written by the *_bench.py scripts), draws
docs/img/bench-*.png with matplotlib, and rewrites the generated part of
docs/performance.md (between its "bench:begin" and "bench:end" markers) with
the figures and the setting they were measured in (a benchmark without a
result file is left out of that section).
"""

import json
import os
import sys
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
RESULTS = os.path.join(ROOT, "build", "bench", "results")
IMG = os.path.join(ROOT, "docs", "img")
PAGE = os.path.join(ROOT, "docs", "performance.md")
BEGIN = "<!-- bench:begin (written by bench/plot.py from `make bench`; do not edit) -->"
END = "<!-- bench:end -->"


def load(name: str) -> dict[str, Any] | None:
    path = os.path.join(RESULTS, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        doc: dict[str, Any] = json.load(f)
    return doc


def save(fig: Any, name: str) -> None:
    fig.tight_layout()
    # Fixed metadata so an unchanged plot gives unchanged bytes.
    fig.savefig(os.path.join(IMG, name), dpi=100, metadata={"Software": None})
    plt.close(fig)


def plot_record(doc: dict[str, Any]) -> list[str]:
    rows = doc["figures"]["sizes"]
    sizes = [r["nodes"] for r in rows]
    fig, ax = plt.subplots(figsize=(7, 4))
    for key, label in (("new", "add_op, new node"), ("repeat", "add_op, repeated node"),
                       ("floor", "floor: a builtin C call with the same arguments"),
                       ("py_new", "hash-consing in plain Python, new"), ("py_repeat", "plain Python, repeated")):
        ax.plot(sizes, [r["ns_per_call"][key] for r in rows], marker="o", label=label)
    ax.set_xscale("log")
    ax.set_xlabel("nodes in the store")
    ax.set_ylabel("ns per call")
    ax.set_title("Recording add_op(\"add\", [a, b])")
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)
    save(fig, "bench-record.png")
    lines = ["| nodes | new (ns) | repeat (ns) | floor (ns) | plain Python new (ns) |", "|---:|---:|---:|---:|---:|"]
    for r in rows:
        c = r["ns_per_call"]
        lines.append(f"| {r['nodes']:,} | {c['new']:.0f} | {c['repeat']:.0f} | {c['floor']:.0f} | {c['py_new']:.0f} |")
    lines.append("")
    lines.append(f"Memory: {doc['figures']['bytes_per_node']:.0f} bytes per node (RSS growth over "
                 f"{doc['figures']['memory_nodes']:,} two-input ops).")
    return lines


def plot_blob(doc: dict[str, Any]) -> list[str]:
    f = doc["figures"]
    ops = f["ns_per_node"]
    names = list(ops)
    fig, ax = plt.subplots(figsize=(7, 4))
    colors = ["tab:blue" if not n.startswith(("pickle", "marshal")) else "tab:gray" for n in names]
    ax.barh(names[::-1], [ops[n] for n in names][::-1], color=colors[::-1])
    ax.set_xlabel("ns per node")
    # The title stays short enough for the figure; what the colours mean goes
    # into a legend, in the corner of the short bars (the module's own, first).
    ax.set_title(f"Whole-store operations, {f['nodes']:,} nodes")
    ax.legend(handles=[Patch(color="tab:blue", label="tavrine_core"),
                       Patch(color="tab:gray", label="pickle / marshal of nodes()")],
              loc="upper right", fontsize=8)
    save(fig, "bench-blob.png")
    n = f["nodes"]
    lines = ["| operation | ns per node | throughput |", "|---|---:|---:|"]
    for name, ns in ops.items():
        extra = ""
        if name == "serialize":
            extra = f"{f['blob_bytes'] / (ns * n / 1e9) / 1e9:.2f} GB/s"
        elif name in ("deserialize", "to_dot()"):
            extra = f"{1e3 / ns:.1f} M nodes/s"
        lines.append(f"| {name} | {ns:.0f} | {extra} |")
    lines.append("")
    lines.append(f"Sizes: blob {f['blob_bytes'] / n:.0f} bytes per node, pickle of nodes() "
                 f"{f['pickle_bytes'] / n:.0f}, DOT {f['dot_bytes'] / n:.0f}.")
    if f.get("nodes_floor_ns"):
        lines.append("")
        lines.append(f"The floor of nodes(), the same dicts built with the plain C API "
                     f"(`build/bench/nodes_floor`): {f['nodes_floor_ns']:.0f} ns per node.")
    memory = f.get("deserialize_peak_memory", {})
    if memory:
        lines.append("")
        lines.append("Peak memory of `deserialize`, the blob itself included: " + "; ".join(
            f"{kind} graph {m['peak_over_blob']:.2f}x the blob ({m['blob_bytes'] / 1e6:.0f} MB)"
            for kind, m in memory.items()) + ".")
    return lines


def plot_reduce(doc: dict[str, Any]) -> list[str]:
    rows = doc["figures"]["sizes"]
    sizes = [r["nodes"] for r in rows]
    fig, ax = plt.subplots(figsize=(7, 4))
    for key, label in (("reduce_s", "reduce()"), ("maximal_s", "reduce(maximal_fusion=True)"),
                       ("dask_cull_fuse_s", "dask cull + fuse of the same graph")):
        ax.plot(sizes, [r[key] for r in rows], marker="o", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("nodes in the store")
    ax.set_ylabel("seconds")
    ax.set_title("Reduction time")
    ax.legend(fontsize=8)
    save(fig, "bench-reduce.png")
    lines = ["| nodes | reduce (s) | maximal (s) | dask cull+fuse (s) | speed-up | step (ns/node) |",
             "|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['nodes']:,} | {r['reduce_s']:.3f} | {r['maximal_s']:.3f} | {r['dask_cull_fuse_s']:.3f} "
                     f"| {r['dask_cull_fuse_s'] / r['reduce_s']:.1f}x | {r['step_ns_per_node']:.0f} |")
    return lines


def plot_citizen(doc: dict[str, Any]) -> list[str]:
    calls = doc["figures"]["calls"]
    names = list(calls)
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.barh(names[::-1], [calls[n]["tick_gap_ms"] for n in names][::-1], color="tab:blue")
    ax.axvline(50, color="tab:red", linestyle="--", linewidth=1)
    ax.text(49, 0.98, "target: under 50 ms", transform=ax.get_xaxis_transform(), ha="right", va="top",
            color="tab:red", fontsize=8)
    ax.set_xlabel("longest pause of a thread that ticks every millisecond (ms)")
    ax.set_title(f"Other threads during long calls, {doc['figures']['nodes']:,} nodes")
    save(fig, "bench-citizen.png")
    lines = ["| call | duration (ms) | longest tick gap (ms) | Ctrl-C latency (ms) |", "|---|---:|---:|---:|"]
    for name in names:
        c = calls[name]
        latency = "-" if c["interrupt_ms"] is None else f"{c['interrupt_ms']:.1f}"
        lines.append(f"| {name} | {c['ms']:.0f} | {c['tick_gap_ms']:.1f} | {latency} |")
    return lines


def plot_soak(doc: dict[str, Any]) -> list[str]:
    fig, ax = plt.subplots(figsize=(7, 4))
    lines = ["| run | texts | RSS after the first tenth (MB) | RSS at the end (MB) |", "|---|---:|---:|---:|"]
    top = 0.0
    for key, label in (("short", "distinct short texts"), ("big", "distinct 9 KB texts")):
        run = doc["figures"][key]
        done = [d for d, _ in run["rss_mb"]]
        mb = [m for _, m in run["rss_mb"]]
        top = max(top, *mb)
        ax.plot([d / run["texts"] for d in done], mb, marker="o", label=f"{label} ({run['texts']:,})")
        lines.append(f"| {label} | {run['texts']:,} | {mb[0]:.1f} | {mb[-1]:.1f} |")
    ax.set_xlabel("share of the run done")
    ax.set_ylabel("RSS (MB)")
    ax.set_ylim(0, top * 1.15)  # room above the highest curve for its markers
    ax.set_title("A process reducing throw-away stores with ever new texts")
    # Below the plot: flat curves run along the top and growing ones across
    # any corner, so inside the axes a legend would cover some curve.
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=2, fontsize=8, frameon=False)
    save(fig, "bench-soak.png")
    return lines


def plot_dask(doc: dict[str, Any]) -> list[str]:
    rows = doc["figures"]["sizes"]
    fig, ax = plt.subplots(figsize=(7, 4))
    labels = [f"{r['nodes']:,} nodes" for r in rows]
    xs = range(len(rows))
    ax.bar([x - 0.2 for x in xs], [r["unreduced_build_s"] + r["unreduced_wall_s"] for r in rows], 0.4,
           label="unreduced")
    ax.bar([x + 0.2 for x in xs], [r["reduced_build_s"] + r["reduced_wall_s"] for r in rows], 0.4,
           label="reduced (reduction included)")
    ax.set_xticks(list(xs), labels)
    ax.set_ylabel("seconds, graph building + run")
    ax.set_title("A recorded pipeline on a LocalCluster of two worker processes")
    ax.legend(fontsize=8)
    save(fig, "bench-dask.png")
    lines = ["| nodes | graph | tasks | build (s) | run (s) | speed-up, run | speed-up, end to end | agree |",
             "|---:|---|---:|---:|---:|---:|---:|---|"]
    for r in rows:
        lines.append(f"| {r['nodes']:,} | unreduced | {r['unreduced_tasks']:,} | {r['unreduced_build_s']:.3f}"
                     f" | {r['unreduced_wall_s']:.2f} | | | |")
        lines.append(f"| | reduced | {r['reduced_tasks']:,} | {r['reduced_build_s']:.3f} | {r['reduced_wall_s']:.2f}"
                     f" | {r['speedup_run']:.2f}x | {r['speedup_end_to_end']:.2f}x | {'yes' if r['agree'] else 'NO'} |")
    return lines


def main() -> None:
    os.makedirs(IMG, exist_ok=True)
    sections: list[str] = []
    for name, title, plot in (("record", "Recording", plot_record), ("blob", "Blob, views and DOT", plot_blob),
                              ("reduce", "Reduction", plot_reduce), ("citizen", "Long calls and other threads", plot_citizen),
                              ("soak", "Memory of a long-running process", plot_soak),
                              ("dask", "Running on a LocalCluster", plot_dask)):
        doc = load(name)
        if doc is None:
            print(f"plot: no results for {name} (run make bench)", file=sys.stderr)
            continue
        lines = plot(doc)
        sections.append(f"### {title}\n\n![{title}](img/bench-{name}.png)\n\n" + "\n".join(lines) +
                        f"\n\nMeasured {doc['date']} by `{doc['command']}` (Python {doc['python']},"
                        f" {doc['machine']}).\n")
    if not sections or not os.path.exists(PAGE):
        return
    with open(PAGE) as f:
        page = f.read()
    if BEGIN not in page or END not in page:
        print(f"plot: {PAGE} has no generated section", file=sys.stderr)
        return
    head, rest = page.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    with open(PAGE, "w") as f:
        f.write(head + BEGIN + "\n\n" + "\n".join(sections) + "\n" + END + tail)
    print(f"plot: wrote {len(sections)} plots to docs/img and their figures to docs/performance.md")


if __name__ == "__main__":
    main()
