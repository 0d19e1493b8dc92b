"""The docs' examples run as written, and their links and pictures exist."""
import os
import re
import sys

import pytest

from tavrine_core import GraphStore

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs")
README = os.path.join(DOCS, "..", "README.md")
PAGES = sorted(f for f in os.listdir(DOCS) if f.endswith(".md"))


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


@pytest.mark.parametrize("page", PAGES)
def test_examples_run(page):
    """Every ```python block of a page, in order, in one namespace (as a
    reader pasting them one after another would)."""
    blocks = re.findall(r"^```python\n(.*?)^```", read(os.path.join(DOCS, page)), re.M | re.S)
    assert blocks, f"{page} has no runnable example"
    namespace = {"__name__": "docs_" + page[:-3]}
    for k, block in enumerate(blocks):
        exec(compile(block, f"{page} block {k + 1}", "exec"), namespace)


@pytest.mark.parametrize("path", [os.path.join(DOCS, p) for p in PAGES] + [README],
                         ids=PAGES + ["README.md"])
def test_links_and_pictures_exist(path):
    base = os.path.dirname(path)
    for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", read(path)):
        if "://" in target:
            continue
        assert os.path.exists(os.path.join(base, target)), f"{os.path.basename(path)} links to missing {target}"


def test_the_pictures_draw_outputs_at_the_size_of_their_label():
    """docs/pictures.py keeps the module's DOT text but draws an output as a
    double ellipse: a double circle is as tall as its label is wide."""
    sys.path.insert(0, DOCS)
    import pictures

    store = GraphStore()
    x = store.add_source("a source with a long name", {"path": "somewhere/far/away.parquet"})
    total = store.add_reduction("sum", [store.add_op("neg", [x])], {"axis": 0})
    text = store.reduce(outputs=[total])[0].to_dot()
    drawn = pictures.drawn(text)
    assert "shape=doublecircle" in text and "doublecircle" not in drawn
    assert "peripheries=2" in drawn
    # Nodes and edges as the module wrote them, only the shape differs.
    def nodes_and_edges(dot):
        return [line.split(" [")[0] for line in dot.splitlines() if re.match(r"  n\d", line)]
    assert nodes_and_edges(drawn) == nodes_and_edges(text)
