"""Type description of the tavrine_core extension module.

The names below that are not among ``__all__`` (the node, member, descriptor
and report dict shapes and the argument aliases) exist for type checkers
only; import them under ``typing.TYPE_CHECKING``.
"""

from collections.abc import Mapping, Sequence
from typing import (
    Literal,
    NotRequired,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    type_check_only,
)

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

# ---- arguments ----------------------------------------------------------------

# What a param value may be when recording. A value becomes, by the first
# rule that applies: exactly `bool` -> Bool; an int in the signed 64-bit range
# or any object with `__index__` -> Int; a float, an object with `__float__`
# or an int beyond 64 bits -> Float; a str -> Str. NumPy booleans have
# `__float__` but no `__index__`, so they become Float 1.0 / 0.0.
ParamInput: TypeAlias = bool | int | float | str | SupportsIndex | SupportsFloat
"""A param value accepted when recording: bool, int, float, str, or an object
with `__index__` or `__float__` (NumPy scalars)."""

# `params` is a dict (subclasses included) or None; any other mapping is
# refused at run time with TypeError. The type says Mapping because dicts are
# invariant: a `dict[str, int]` built ahead of the call must be accepted too.
Params: TypeAlias = Mapping[str, ParamInput] | None
"""The `params` argument: a dict of str keys to param values, or None (no params)."""

# Node ids: any sequence except str (list, tuple, range, bytes, ...); each
# item is an int or has `__index__`, and must fit in unsigned 64 bits.
NodeIds: TypeAlias = Sequence[SupportsIndex]
"""Node ids given as `inputs` or `outputs`: a list, tuple, range, ... of ints (not a str)."""

# ---- results ------------------------------------------------------------------

# A recorded param value as `nodes()` gives it back.
ParamValue: TypeAlias = int | float | bool | str
"""A recorded param value, as `nodes()` gives it back."""

NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange"]
"""The `kind` of a node as `nodes()` reports it."""

@type_check_only
class DescriptorDict(TypedDict):
    """The descriptor of an external node, as `nodes()` shows it."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

@type_check_only
class DescriptorFields(TypedDict):
    """A dict accepted in place of a PayloadDescriptor by `add_external`.

    The five text fields are required; `preprocessing_ref` may be left out
    (absent, as None). A type checker flags a missing or misspelt key.
    """

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

StageRef: TypeAlias = tuple[Literal["input", "member"], int]
"""An argument of a stage member: ("input", k) is the stage's k-th input,
("member", j) the value of the stage's member j."""

@type_check_only
class StageMemberDict(TypedDict):
    """One fused operation of a stage: ("input", k) refers to the stage's k-th
    input, ("member", j) to the value of an earlier member j."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, ParamValue]
    inputs: list[StageRef]

@type_check_only
class _NodeDictBase(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    name: str
    params: dict[str, ParamValue]

@type_check_only
class SourceNodeDict(_NodeDictBase):
    """A source, as `nodes()` shows it: `kind` is "source", `inputs` is []."""

    kind: Literal["source"]

@type_check_only
class OpNodeDict(_NodeDictBase):
    """An op, as `nodes()` shows it: `kind` is "op"."""

    kind: Literal["op"]

@type_check_only
class ReductionNodeDict(_NodeDictBase):
    """A reduction, as `nodes()` shows it: `kind` is "reduction"."""

    kind: Literal["reduction"]

@type_check_only
class ExternalNodeDict(_NodeDictBase):
    """A call into an external payload, as `nodes()` shows it: `kind` is
    "external", `name` is "", and `descriptor` holds its six fields."""

    kind: Literal["external"]
    descriptor: DescriptorDict

@type_check_only
class StageNodeDict(_NodeDictBase):
    """A group of fused operations made by a reduction: `kind` is "stage",
    `name` is "", `params` is {}; `members` lists the operations in the
    order they run (the stage's value is the last one's)."""

    kind: Literal["stage"]
    n_members: int
    members: list[StageMemberDict]

@type_check_only
class ExchangeNodeDict(_NodeDictBase):
    """An exchange boundary, as `nodes()` shows it: `kind` is "exchange",
    `name` is ""."""

    kind: Literal["exchange"]

# One entry of `nodes()`; narrow it by testing `node["kind"]`.
NodeDict: TypeAlias = (
    SourceNodeDict | OpNodeDict | ReductionNodeDict | ExternalNodeDict | StageNodeDict | ExchangeNodeDict
)
"""One entry of `nodes()`, one of six shapes told apart by `kind`.

Test `node["kind"]` itself to narrow the type; a copy in a variable does not
narrow::

    for node in store.nodes():
        if node["kind"] == "stage":
            print(node["n_members"])           # node is a StageNodeDict here
"""

@type_check_only
class ReductionReport(TypedDict):
    """The six counts of a reduction (the dict's key order is not fixed)."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

# ---- the module ---------------------------------------------------------------

def version() -> str:
    """The module's version, for example "0.0.1"."""

@final
class GraphStore:
    """A graph of dataflow nodes, recorded one at a time and hash-consed.

    `GraphStore()` makes an empty store. Each `add_*` method records a node
    and returns its id (0, 1, 2, ... in the order distinct nodes arrive);
    recording a node equal to an earlier one returns the earlier id. A store
    only grows, and is safe to use from several threads at once. Stores do
    not pickle; `serialize` and `deserialize` carry them between processes.

    Example::

        store = GraphStore()
        x = store.add_source("x")
        y = store.add_op("neg", [x])
        assert store.add_op("neg", [x]) == y      # the same node, the same id
    """

    def __new__(cls) -> Self: ...
    def add_source(self, name: str, params: Params = None) -> int:
        """Record a source: where data comes from.

        Args:
            name: any text; the store does not interpret it.
            params: a dict of str keys to bool, int, float or str values
                (None for none). They are part of the node's identity:
                `{"k": 1}`, `{"k": 1.0}` and `{"k": True}` make three nodes.

        Returns:
            The node's id: a new one, or that of the equal node recorded before.

        Raises:
            TypeError: `name` is not a str, `params` is not a dict or None, or
                a param value is of another type ("param values must be int,
                float, bool, or str").

        Example::

            prices = store.add_source("prices", {"path": "prices.parquet"})
        """
    def add_op(self, name: str, inputs: NodeIds, params: Params = None) -> int:
        """Record an element-wise operation on the values of `inputs`.

        The reduction treats `add`, `mul`, `and`, `or`, `eq`, `ne`, `maximum`
        and `minimum` with two inputs and no params as commutative, and
        `add` of 0.0 / `mul` of 1.0 (params `{"scalar": 0.0, "side": "r"}` or
        side "l") as the identity: name ops with other meanings otherwise.

        Args:
            name: the operation's name.
            inputs: ids of nodes already in the store, in order (repeats
                allowed): a list, tuple, range, ... but not a str.
            params: as for `add_source`.

        Returns:
            The node's id (an equal node recorded before keeps its id).

        Raises:
            TypeError: an argument of the wrong type, `inputs` given as a str,
                or a param value of another type.
            OverflowError: an id is negative or beyond 64 bits.
            ValueError: an input names no node ("no node with id 9").

        Example::

            total = store.add_op("mul", [prices, quantities])
        """
    def add_reduction(self, name: str, inputs: NodeIds, params: Params = None) -> int:
        """Record a reduction (a sum, a mean, ...) over the values of `inputs`.

        The reduction keeps it as a boundary: ops are never fused into it.

        Args:
            name: the reduction's name.
            inputs: ids of nodes already in the store, in order.
            params: as for `add_source`.

        Returns:
            The node's id.

        Raises:
            TypeError, OverflowError, ValueError: as for `add_op`.

        Example::

            total = store.add_reduction("sum", [revenue], {"axis": 0})
        """
    def add_external(
        self,
        descriptor: PayloadDescriptor | DescriptorFields | DescriptorDict,
        inputs: NodeIds,
        params: Params = None,
    ) -> int:
        """Record a call into an external payload: a model, a user function.

        The six descriptor fields are part of the node's identity, so two
        versions of a model never merge.

        Args:
            descriptor: a `PayloadDescriptor`, or a dict with its five text
                fields `kind`, `content_hash`, `framework`, `version`,
                `io_schema` and optionally `preprocessing_ref` (str or None).
            inputs: ids of nodes already in the store, in order.
            params: as for `add_source`.

        Returns:
            The node's id.

        Raises:
            TypeError: `descriptor` is neither a PayloadDescriptor nor a dict,
                a field is not a str, or another argument of the wrong type.
            ValueError: the dict lacks a field ("descriptor missing required
                field 'kind'"), or an input names no node.
            OverflowError: an id is negative or beyond 64 bits.

        Example::

            model = PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c",
                                      framework="onnxruntime", version="1.20",
                                      io_schema="f64[n] -> f64[n]")
            scored = store.add_external(model, [features], {"batch": 4096})
        """
    def add_exchange(self, inputs: NodeIds, params: Params = None) -> int:
        """Record a data-exchange boundary (a shuffle, a repartition).

        An exchange has no name: its params (its scheme) and its inputs are
        its identity. It usually has one input.

        Args:
            inputs: ids of nodes already in the store.
            params: the scheme, as for `add_source`.

        Returns:
            The node's id.

        Raises:
            TypeError, OverflowError, ValueError: as for `add_op`.

        Example::

            shuffled = store.add_exchange([rows], {"scheme": "hash", "key": "user"})
        """
    def node_count(self) -> int:
        """The number of nodes in the store."""
    def to_dot(self) -> str:
        """The whole graph as Graphviz DOT text.

        One line per node (`n<id> [label="..."]`, outputs as double circles),
        then one per edge, input first. A stage is labelled with its number of
        members only.

        Returns:
            The text, starting "digraph tavrine {".

        Example::

            subprocess.run(["dot", "-Tsvg", "-o", "graph.svg"], input=store.to_dot(),
                           text=True, check=True)
        """
    def serialize(self, outputs: NodeIds | None = None) -> bytes:
        """Write the store as a canonical blob: equal stores give equal bytes.

        Args:
            outputs: the ids to mark as outputs in the blob, in order (repeats
                kept); None writes the store's own marks.

        Returns:
            The blob; `GraphStore.deserialize` reads it back with the same ids.

        Raises:
            TypeError: `outputs` is not a sequence of ids (or is a str).
            OverflowError: an id is negative or beyond 64 bits.
            ValueError: an output names no node.

        Example::

            blob = store.serialize(outputs=[total])
            assert GraphStore.deserialize(blob).outputs() == [total]
        """
    @staticmethod
    def deserialize(data: bytes) -> GraphStore:
        """Read a blob written by `serialize` into a new store.

        The new store has the same node ids and output marks, and writes the
        same bytes again.

        Args:
            data: the blob, as `bytes` (not bytearray or memoryview).

        Returns:
            A new `GraphStore`.

        Raises:
            TypeError: `data` is not bytes.
            ValueError: the blob is malformed; the message says what the
                reader found (see docs/blob.md).

        Example::

            store = GraphStore.deserialize(Path("graph.tir").read_bytes())
        """
    def nodes(self) -> list[NodeDict]:
        """Every node as a dict, in id order.

        Each dict has `id`, `output`, `inputs`, `kind`, `name` and `params`;
        an external node adds `descriptor`, a stage `n_members` and `members`.
        Test `node["kind"]` directly to narrow the type to one shape.

        Returns:
            A new list; changing it does not change the store.

        Example::

            for node in store.nodes():
                if node["kind"] == "external":
                    print(node["descriptor"]["content_hash"])
        """
    def outputs(self) -> list[int]:
        """The ids marked as outputs, in mark order.

        A store recorded in Python has none; marks come from a blob written
        with `serialize(outputs=...)` and from reductions.
        """
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """A new, smaller store that computes the same outputs.

        Removes the nodes no output needs, merges nodes proved equal (repeats,
        commuted twins, identity forms) and fuses chains of ops into stages.
        The store itself is only read.

        Args:
            maximal_fusion: also fuse an op with several uses when all of them
                are in one stage (fewer, larger stages).
            outputs: the ids whose values to keep, in order. None uses the
                store's marks, and a store recorded in Python has none: it
                then reduces to nothing, so pass `outputs=`.

        Returns:
            The reduced store (its outputs marked) and the report of six counts.

        Raises:
            TypeError: an argument of the wrong type (both are keyword-only).
            OverflowError: an id is negative or beyond 64 bits.
            ValueError: an output names no node.
            KeyboardInterrupt: Ctrl-C during the call; nothing changes.

        Example::

            reduced, report = store.reduce(outputs=[total])
            print(report["canonical_nodes"], reduced.outputs())
        """
    def reduce_incremental(self, *, outputs: NodeIds | None = None) -> tuple[GraphStore, ReductionReport]:
        """The same result as `reduce(outputs=...)` with the default fusion rule.

        A one-shot call; to reduce while recording, use `IncrementalReducer`.

        Args:
            outputs: as for `reduce`.

        Returns:
            The reduced store and its report.

        Raises:
            TypeError, OverflowError, ValueError, KeyboardInterrupt: as for `reduce`.
        """
    def reduction_report(self, *, outputs: NodeIds | None = None) -> ReductionReport:
        """Only the report of `reduce(outputs=...)`, without building the store.

        Args:
            outputs: as for `reduce`.

        Returns:
            The six counts.

        Raises:
            TypeError, OverflowError, ValueError, KeyboardInterrupt: as for `reduce`.

        Example::

            assert store.reduction_report(outputs=[ab, ba])["canonical_nodes"] == 3
        """
    def reduce_with_output_ids(
        self, *, maximal_fusion: bool = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport, list[int]]:
        """Reduce exactly as `reduce` does and also say where each output went.

        Args:
            maximal_fusion: as for `reduce`.
            outputs: the node ids to reduce against, in order, repeats allowed;
                None uses the store's marks.

        Returns:
            ``(reduced store, report, output_ids)``: the first two exactly as
            `reduce` returns them, and one reduced node id per entry of the
            output list used, in its order, duplicates kept. Outputs proved
            equal share one id (the reduced store marks that node once).

        Raises:
            TypeError: an argument of the wrong type (as `reduce`).
            ValueError: "no node with id {}" for an output that names no node.
        """

@final
class PayloadDescriptor:
    """What makes a call into a model or user function reproducible.

    Built from keywords only; the five text fields are required and
    `preprocessing_ref` is optional (None means absent, which differs from
    ""). The values are immutable and are not checked. Two descriptors with
    equal fields are still two objects (`==` is identity); recorded, they
    make the same node. A field that is not a str (or None, for
    `preprocessing_ref`), a missing one or a positional argument raises
    TypeError.

    Example::

        model = PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c",
                                  framework="onnxruntime", version="1.20",
                                  io_schema="f64[n] -> f64[n]")
    """

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> Self: ...
    @property
    def kind(self) -> str:
        """The payload's kind, for example "onnx"."""
    @property
    def content_hash(self) -> str:
        """A hash of the payload's content, for example "sha256:9f2c"."""
    @property
    def framework(self) -> str:
        """The framework that runs the payload, for example "onnxruntime"."""
    @property
    def version(self) -> str:
        """The framework's or payload's version."""
    @property
    def io_schema(self) -> str:
        """The payload's input and output types, as text."""
    @property
    def preprocessing_ref(self) -> str | None:
        """A reference to the preprocessing applied before the call, or None."""

@final
class IncrementalReducer:
    """Canonicalizes a store while it is recorded, then reduces it.

    `IncrementalReducer()` makes a reducer; the first store given to `step`
    or `finalize` is its store for good (any other raises ValueError). Each
    `step` costs time in proportion to the nodes recorded since the last one.

    Example::

        reducer = IncrementalReducer()
        for day in days:
            record(store, day)
            reducer.step(store)
        reduced, report = reducer.finalize(store, outputs=totals)
    """

    def __new__(cls) -> Self: ...
    def step(self, store: GraphStore) -> int:
        """Fold the nodes recorded since the last step into the canonical form.

        Args:
            store: the reducer's store (the first one it was given).

        Returns:
            How many nodes this call consumed.

        Raises:
            TypeError: `store` is not a GraphStore.
            ValueError: the reducer is bound to another store.
            KeyboardInterrupt: Ctrl-C during the call; nothing changes.
        """
    def watermark(self) -> int:
        """How many of the store's nodes have been consumed so far."""
    def total_work(self) -> int:
        """Nodes processed over all calls; it always equals the watermark."""
    def canonical_count(self) -> int:
        """The number of nodes in the canonical form."""
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """Consume what is left and reduce the canonical form as `reduce` would.

        The reducer is not reset: record more, and later calls go on from the
        watermark. The report's `input_nodes` and `reachable_nodes` count
        canonical nodes.

        Args:
            store: the reducer's store.
            maximal_fusion: as for `GraphStore.reduce`.
            outputs: as for `GraphStore.reduce` (pass them for a store
                recorded in Python).

        Returns:
            The reduced store and its report.

        Raises:
            TypeError: an argument of the wrong type.
            ValueError: the reducer is bound to another store, or an output
                names no node.
            OverflowError: an id is negative or beyond 64 bits.
            KeyboardInterrupt: Ctrl-C during the call; nothing changes.
        """
    def finalize_with_output_ids(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport, list[int]]:
        """Finalize exactly as `finalize` does and also say where each output went.

        Args:
            store: the store this reducer is fed.
            maximal_fusion: as for `finalize`.
            outputs: the node ids of `store` to reduce against, in order,
                repeats allowed; None uses the store's marks.

        Returns:
            ``(reduced store, report, output_ids)``: the first two exactly as
            `finalize` returns them, and one reduced node id per entry of the
            output list used, in its order, duplicates kept.

        Raises:
            TypeError: an argument of the wrong type (as `finalize`).
            ValueError: "no node with id {}" for an output that names no node.
        """
