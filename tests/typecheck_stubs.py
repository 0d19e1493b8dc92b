"""Checked by mypy (make test), never run: what the stubs must accept and
refuse. Each refusal carries the ignore of the error it must raise; mypy's
strict mode reports an ignore that no longer matches an error, so a stub
that starts accepting one of these fails the check."""
from typing import TYPE_CHECKING, assert_type

from tavrine_core import GraphStore, PayloadDescriptor

if TYPE_CHECKING:
    from tavrine_core import NodeDict, StageNodeDict


def descriptors(store: GraphStore, x: int) -> None:
    fields = {"kind": "onnx", "content_hash": "sha256:9f2c", "framework": "onnxruntime", "version": "1.20"}
    store.add_external(PayloadDescriptor(io_schema="f64", **fields), [x])
    store.add_external({"kind": "onnx", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}, [x])
    store.add_external({"kind": "onnx", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s",
                        "preprocessing_ref": None}, [x])
    # A missing field, a misspelt one, a field of the wrong type.
    store.add_external({"kind": "onnx", "content_hash": "h", "framework": "f", "version": "1"}, [x])  # type: ignore[arg-type]
    store.add_external({"kind": "onnx", "content_hash": "h", "framework": "f", "version": "1",  # type: ignore[arg-type]
                        "io_shema": "s"}, [x])
    store.add_external({"kind": "onnx", "content_hash": "h", "framework": "f", "version": 1,  # type: ignore[arg-type]
                        "io_schema": "s"}, [x])
    # A descriptor read back from nodes() can be recorded again.
    for node in store.nodes():
        if node["kind"] == "external":
            store.add_external(node["descriptor"], node["inputs"], node["params"])


def narrowing(nodes: "list[NodeDict]") -> None:
    for node in nodes:
        if node["kind"] == "stage":
            assert_type(node, "StageNodeDict")
            assert_type(node["n_members"], int)
        kind = node["kind"]
        if kind == "stage":
            node["n_members"]  # type: ignore[typeddict-item]
