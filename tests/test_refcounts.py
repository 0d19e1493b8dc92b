"""Reference leaks in the surface: runs only on a debug interpreter
(python3.14d), where sys.gettotalrefcount exists."""
import gc
import sys

import pytest

from tavrine_core import GraphStore, PayloadDescriptor

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")

FIELDS = dict(kind="k", content_hash="c", framework="f", version="v", io_schema="i")


class Index:
    def __index__(self):
        return 0


def workload():
    store = GraphStore()
    s = store.add_source("s", {"a": 1, "b": 2.5, "c": True, "d": "x", "e": Index(), "f": 2**70})
    store.add_op("f", [s, s], {"k": 1})
    store.add_op("f", (s, Index()))
    store.add_op("f", range(1))
    store.add_reduction("r", [0])
    d = PayloadDescriptor(**FIELDS, preprocessing_ref="p")
    store.add_external(d, [0])
    store.add_external(dict(FIELDS), [0], {"z": "z"})
    store.add_exchange([0], {"scheme": "hash"})
    (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref)
    store.node_count()
    store.outputs()
    failures = [
        lambda: store.add_op("f", "ab"),
        lambda: store.add_op("f", [0, -1]),
        lambda: store.add_op("f", [0, 1.5]),
        lambda: store.add_op("f", [99]),
        lambda: store.add_op(1, [0]),
        lambda: store.add_op("f", [0], bogus=1),
        lambda: store.add_op(),
        lambda: store.add_source("x", {"a": None}),
        lambda: store.add_source("x", {1: 1}),
        lambda: store.add_source("x", [1]),
        lambda: store.add_external({"kind": "k"}, []),
        lambda: store.add_external({"preprocessing_ref": 1}, []),
        lambda: store.add_external(5, []),
        lambda: PayloadDescriptor(kind=1, content_hash="", framework="", version="", io_schema=""),
        lambda: PayloadDescriptor(),
        lambda: GraphStore(1),
    ]
    for f in failures:
        try:
            f()
        except Exception:
            pass


def test_no_reference_leaks():
    for _ in range(20):
        workload()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(200):
        workload()
    gc.collect()
    after = sys.gettotalrefcount()
    assert after - before < 50, after - before
