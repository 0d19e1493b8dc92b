"""The module's public face: names, texts, signatures and class properties."""
import importlib.metadata
import inspect
import pathlib
import re
import types

import pytest

import tavrine_core
from tavrine_core import GraphStore, PayloadDescriptor

# (name, __text_signature__, __doc__), in method-table order.
GRAPH_STORE_METHODS = [
    ('add_source', '($self, name, params=None)',
     None),
    ('add_op', '($self, name, inputs, params=None)',
     None),
    ('add_reduction', '($self, name, inputs, params=None)',
     None),
    ('add_external', '($self, descriptor, inputs, params=None)',
     None),
    ('add_exchange', '($self, inputs, params=None)',
     'Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange\'s identity is its\n`scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.'),
    ('node_count', '($self)',
     None),
    ('to_dot', '($self)',
     None),
    ('serialize', '($self, outputs=None)',
     'Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\nthe serializable IR — not cloudpickle — is the canonical durable representation). With\n`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\nproperty of the compile request); the default keeps the marks-based behavior.'),
    ('deserialize', '(data)',
     'Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n`serialize` of the result is byte-identical to the input (plan M8 determinism gate).'),
    ('nodes', '($self)',
     'Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n`descriptor` dict for external nodes and `n_members` for stage nodes.'),
    ('outputs', '($self)',
     'The marked output node ids, in mark order (what an IR evaluator returns, in order).'),
    ('reduce', '($self, *, maximal_fusion=False, outputs=None)',
     'Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\nRewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\nto fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\npinned by the frozen M4 suite).'),
    ('reduce_incremental', '($self, *, outputs=None)',
     'One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\nstep-by-step reduction while building, use `IncrementalReducer`.'),
    ('reduction_report', '($self, *, outputs=None)',
     'The reduction report for the current graph, without keeping the reduced store.'),
    ('reduce_with_output_ids', '($self, *, maximal_fusion=False, outputs=None)',
     "Reduce exactly as `reduce` does and also say where each output went. Returns\n(reduced store, report, output_ids): the first two as `reduce` returns them, and\n`output_ids` a list with one reduced node id per entry of the output list used (the\ngiven `outputs`, or the store's marks), in that order, duplicates kept. Outputs proved\nequal share one id, though the reduced store marks that node once."),
]

REDUCER_METHODS = [
    ('step', '($self, store)',
     'Consume the nodes recorded in `store` since the last step. Returns how many were processed\n(the delta size). The reducer must always be fed the same store.'),
    ('watermark', '($self)',
     "How many of the store's nodes have been consumed so far."),
    ('total_work', '($self)',
     'Cumulative nodes processed across all steps (== watermark: each node touched once).'),
    ('canonical_count', '($self)',
     'Size of the maintained canonical form.'),
    ('finalize', '($self, store, *, maximal_fusion=False, outputs=None)',
     "Finish: consume any remaining delta, then reduce the maintained canonical form against the\nstore's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\nignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."),
    ('finalize_with_output_ids', '($self, store, *, maximal_fusion=False, outputs=None)',
     "Finalize exactly as `finalize` does and also say where each output went. Returns\n(reduced store, report, output_ids): the first two as `finalize` returns them, and\n`output_ids` a list with one reduced node id per entry of the output list used (the\ngiven `outputs`, or the store's marks), in that order, duplicates kept."),
]

GRAPH_STORE_DOC = 'Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\nshare across threads under the GIL and free-threaded 3.14t).'
DESCRIPTOR_DOC = 'Reproducibility metadata an External node carries (participates in the structural hash).'
REDUCER_DOC = (
    'Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each\n`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\ncommutativity dedup, hash-consing — the same sound rules the EGraphEngine runs), so a concise\ncanonical form is maintained while building and `finalize` does one linear pass instead of a\nwhole-history optimization. `total_work()` counts nodes processed across all steps — it equals\nthe node count of the store, no matter how many steps fed it (the incrementality witness).'
)
DESCRIPTOR_FIELDS = ["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"]


def descriptor(**overrides):
    fields = dict(kind="onnx", content_hash="h", framework="ort", version="1", io_schema="s")
    fields.update(overrides)
    return PayloadDescriptor(**fields)


class TestModule:
    def test_all_lists_the_public_names_in_order(self):
        assert tavrine_core.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

    def test_module_has_an_empty_docstring_and_nothing_else_public(self):
        assert tavrine_core.__doc__ == ""
        # Submodules the run has imported (the executor, the command line)
        # appear as attributes of the package; nothing else does.
        names = {n: v for n, v in vars(tavrine_core).items() if not n.startswith("_")}
        public = {n for n, v in names.items() if not isinstance(v, types.ModuleType)}
        assert public == set(tavrine_core.__all__)
        assert {n for n in names if n not in public} <= {"execute", "cli"}

    def test_the_extension_lives_inside_the_package(self):
        from tavrine_core import _core

        assert _core.__name__ == "tavrine_core._core"
        assert _core.__all__ == tavrine_core.__all__
        for name in tavrine_core.__all__:
            assert getattr(_core, name) is getattr(tavrine_core, name)
        assert tavrine_core.version.__module__ == "tavrine_core"

    def test_version(self):
        # Written once, in CMakeLists.txt's project() line (the installed
        # metadata comes from there too, for a suite run without the tree).
        cmake = pathlib.Path(__file__).resolve().parent.parent / "CMakeLists.txt"
        if cmake.exists():
            written = re.search(r"project\(tavrine_core VERSION ([0-9.]+)", cmake.read_text()).group(1)
        else:
            written = importlib.metadata.version("tavrine-core")
        assert tavrine_core.version() == written
        assert re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", written)
        assert tavrine_core.version.__text_signature__ == "()"
        assert tavrine_core.version.__doc__ is None
        with pytest.raises(TypeError):
            tavrine_core.version(1)
        with pytest.raises(TypeError):
            tavrine_core.version(x=1)

    def test_reimport_keeps_instances_usable(self):
        import importlib
        import sys

        store = GraphStore()
        d = descriptor()
        saved = sys.modules.pop("tavrine_core")
        try:
            again = importlib.import_module("tavrine_core")
            assert again is not saved
            assert again.__all__ == saved.__all__
            other = again.GraphStore()
            assert other.add_external(d, []) == 0
            assert store.add_external(d, []) == 0
        finally:
            sys.modules["tavrine_core"] = saved


class TestTexts:
    @pytest.mark.parametrize("name,signature,doc", GRAPH_STORE_METHODS, ids=[m[0] for m in GRAPH_STORE_METHODS])
    def test_graph_store_method_texts(self, name, signature, doc):
        method = getattr(GraphStore, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc

    def test_graph_store_method_table_order(self):
        order = [m[0] for m in GRAPH_STORE_METHODS]
        # Every method of the table, in its order, and nothing public beyond it.
        assert [n for n in vars(GraphStore) if not n.startswith("_")] == order

    def test_deserialize_is_static(self):
        assert isinstance(inspect.getattr_static(GraphStore, "deserialize"), staticmethod)

    def test_inspect_reads_the_signatures(self):
        assert str(inspect.signature(GraphStore.add_op)) == "(self, /, name, inputs, params=None)"
        assert str(inspect.signature(GraphStore().add_exchange)) == "(inputs, params=None)"
        assert str(inspect.signature(GraphStore)) == "()"
        assert str(inspect.signature(PayloadDescriptor)) == (
            "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"
        )

    def test_class_texts(self):
        assert GraphStore.__doc__ == GRAPH_STORE_DOC
        assert GraphStore.__text_signature__ == "()"
        assert PayloadDescriptor.__doc__ == DESCRIPTOR_DOC
        assert PayloadDescriptor.__text_signature__ == (
            "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"
        )

    def test_descriptor_properties_have_empty_docstrings(self):
        for name in DESCRIPTOR_FIELDS:
            prop = vars(PayloadDescriptor)[name]
            assert prop.__doc__ == ""

    @pytest.mark.parametrize("name,signature,doc", REDUCER_METHODS, ids=[m[0] for m in REDUCER_METHODS])
    def test_incremental_reducer_texts(self, name, signature, doc):
        cls = tavrine_core.IncrementalReducer
        assert cls.__doc__ == REDUCER_DOC
        assert cls.__text_signature__ == "()"
        method = getattr(cls, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc
        order = [m[0] for m in REDUCER_METHODS]
        assert [n for n in vars(cls) if not n.startswith("_")] == order


def public_classes():
    return [tavrine_core.GraphStore, tavrine_core.PayloadDescriptor, tavrine_core.IncrementalReducer]


class TestClasses:
    @pytest.mark.parametrize("cls", public_classes(), ids=lambda c: c.__name__)
    def test_class_shape(self, cls):
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "tavrine_core"
        assert cls.__qualname__ == cls.__name__
        # Immutable type, not subclassable.
        with pytest.raises(TypeError):
            cls.extra = 1
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        # Only object's comparison, hashing, representation and pickling.
        for slot in ("__eq__", "__lt__", "__hash__", "__repr__", "__str__", "__reduce__", "__reduce_ex__",
                     "__getstate__", "__init__"):
            assert slot not in vars(cls)

    @pytest.mark.parametrize("cls", public_classes(), ids=lambda c: c.__name__)
    def test_instances_hold_no_python_state(self, cls):
        # One C++ value per instance: no dict, no weak references, nothing
        # for the cycle collector to track.
        import gc
        import weakref

        obj = descriptor() if cls is PayloadDescriptor else cls()
        assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0 and cls.__itemsize__ == 0
        assert cls.__basicsize__ > object.__basicsize__
        assert not gc.is_tracked(obj) and not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
        with pytest.raises(TypeError):
            weakref.ref(obj)

    def test_instances_have_no_dict_or_writable_attributes(self):
        store = GraphStore()
        d = descriptor()
        for obj in (store, d):
            assert not hasattr(obj, "__dict__")
            with pytest.raises(AttributeError):
                obj.anything = 1
        for name in DESCRIPTOR_FIELDS:
            with pytest.raises(AttributeError):
                setattr(d, name, "x")
            with pytest.raises(AttributeError):
                delattr(d, name)
        with pytest.raises(AttributeError):
            store.add_op = None

    def test_default_identity_semantics(self):
        a, b = descriptor(), descriptor()
        assert a != b and a == a
        assert hash(a) == object.__hash__(a)
        assert repr(GraphStore()).startswith("<tavrine_core.GraphStore object at ")

    def test_descriptor_fields(self):
        d = PayloadDescriptor(kind="k", content_hash="c", framework="f", version="v", io_schema="i")
        assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema) == ("k", "c", "f", "v", "i")
        assert d.preprocessing_ref is None
        assert descriptor(preprocessing_ref="p").preprocessing_ref == "p"
        assert descriptor(preprocessing_ref="").preprocessing_ref == ""
        assert descriptor(preprocessing_ref=None).preprocessing_ref is None
        text = "\u00e9\u4e2d\U0001f600 ;=|%"
        assert descriptor(kind=text).kind == text
        assert type(descriptor(kind=type("S", (str,), {})("x")).kind) is str

    def test_pickling_is_not_supported(self):
        import pickle

        for obj in (GraphStore(), descriptor()):
            with pytest.raises(TypeError):
                pickle.dumps(obj)
