"""The benchmark plots stay readable: every text inside the figure, the
target line labelled, no legend over a curve. Drawn from small made-up
results, the shapes bench/plot.py reads."""
import os
import sys

import pytest

pytest.importorskip("matplotlib")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import plot  # noqa: E402

BLOB = {"figures": {"nodes": 993_536, "blob_bytes": 39 * 993_536, "pickle_bytes": 46 * 993_536,
                    "dot_bytes": 66 * 993_536,
                    "ns_per_node": {"serialize": 31.0, "deserialize": 75.0, "nodes()": 508.0, "to_dot()": 179.0,
                                    "pickle.dumps": 1345.0, "pickle.loads": 1627.0, "marshal.dumps": 563.0,
                                    "marshal.loads": 1819.0}}}
CITIZEN = {"figures": {"nodes": 993_536, "calls": {
    name: {"ms": 300.0, "tick_gap_ms": gap, "interrupt_ms": 5.0}
    for name, gap in (("reduce", 2.5), ("reduction_report", 4.0), ("to_dot", 7.4), ("step", 2.4))}}}


def soak(short, big):
    return {"figures": {key: {"texts": n, "per_store": 1, "rss_mb": [(n * k // 10, mb(k)) for k in range(1, 11)]}
                        for key, n, mb in (("short", 1_000_000, short), ("big", 20_000, big))}}


@pytest.fixture
def drawn(monkeypatch, tmp_path):
    """Runs a plot function and gives back its figure, laid out as saved."""
    figures = []

    def keep(fig, name):
        fig.tight_layout()
        fig.canvas.draw()
        figures.append(fig)

    monkeypatch.setattr(plot, "save", keep)
    monkeypatch.setattr(plot, "IMG", str(tmp_path))

    def draw(fn, doc):
        fn(doc)
        return figures[-1]
    yield draw
    for fig in figures:
        plot.plt.close(fig)


def texts_inside(fig):
    """The title, the axis labels, the notes and the legend (tick labels are
    laid out by matplotlib itself)."""
    box = fig.bbox
    renderer = fig.canvas.get_renderer()
    ax = fig.axes[0]
    legend = ax.get_legend()
    texts = [ax.title, ax.xaxis.label, ax.yaxis.label, *ax.texts, *(legend.get_texts() if legend else [])]
    for text in texts:
        if not text.get_text():
            continue
        ext = text.get_window_extent(renderer)
        assert box.x0 - 1 <= ext.x0 and ext.x1 <= box.x1 + 1 and box.y0 - 1 <= ext.y0 and ext.y1 <= box.y1 + 1, \
            f"{text.get_text()!r} runs out of the figure"


@pytest.mark.parametrize("fn, doc", [(plot.plot_blob, BLOB), (plot.plot_citizen, CITIZEN),
                                     (plot.plot_soak, soak(lambda k: 18.2, lambda k: 18.4))],
                         ids=["blob", "citizen", "soak"])
def test_every_text_is_inside_the_figure(drawn, fn, doc):
    texts_inside(drawn(fn, doc))


def test_the_target_line_is_labelled(drawn):
    fig = drawn(plot.plot_citizen, CITIZEN)
    assert any("50 ms" in t.get_text() for t in fig.findobj(plot.matplotlib.text.Text))


@pytest.mark.parametrize("short, big", [(lambda k: 18.2, lambda k: 18.4),           # flat, as it should be
                                        (lambda k: 18 + 20 * k, lambda k: 18 + 2 * k)],  # memory that grows
                         ids=["flat", "growing"])
def test_the_soak_legend_covers_no_curve(drawn, short, big):
    fig = drawn(plot.plot_soak, soak(short, big))
    ax = fig.axes[0]
    legend = ax.get_legend().get_window_extent(fig.canvas.get_renderer())
    for line in ax.get_lines():
        # A marker reaches half its size (in points) beyond its centre.
        near = legend.padded((line.get_markersize() + line.get_linewidth()) / 2 * fig.dpi / 72)
        points = ax.transData.transform(line.get_xydata())
        # The markers and the segments between them.
        for (x0, y0), (x1, y1) in zip(points, points[1:]):
            for t in [k / 10 for k in range(11)]:
                x, y = x0 + t * (x1 - x0), y0 + t * (y1 - y0)
                assert not near.contains(x, y), f"the legend covers {line.get_label()}"
