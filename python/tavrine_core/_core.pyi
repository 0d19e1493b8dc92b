"""Type description of the tavrine_core extension module.

The names below that are not among ``__all__`` (the node, member, descriptor
and report dict shapes and the argument aliases) exist for type checkers
only; import them under ``typing.TYPE_CHECKING``.
"""

from collections.abc import Mapping, Sequence
from typing import (
    Any,
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

# `params` is a dict (subclasses included) or None; any other mapping is
# refused at run time with TypeError. The type says Mapping because dicts are
# invariant: a `dict[str, int]` built ahead of the call must be accepted too.
Params: TypeAlias = Mapping[str, ParamInput] | None

# Node ids: any sequence except str (list, tuple, range, bytes, ...); each
# item is an int or has `__index__`, and must fit in unsigned 64 bits.
NodeIds: TypeAlias = Sequence[SupportsIndex]

# ---- results ------------------------------------------------------------------

# A recorded param value as `nodes()` gives it back.
ParamValue: TypeAlias = int | float | bool | str

NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange"]

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
    """A dict accepted in place of a PayloadDescriptor by `add_external`."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

StageRef: TypeAlias = tuple[Literal["input", "member"], int]

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
    kind: Literal["source"]

@type_check_only
class OpNodeDict(_NodeDictBase):
    kind: Literal["op"]

@type_check_only
class ReductionNodeDict(_NodeDictBase):
    kind: Literal["reduction"]

@type_check_only
class ExternalNodeDict(_NodeDictBase):
    kind: Literal["external"]
    descriptor: DescriptorDict

@type_check_only
class StageNodeDict(_NodeDictBase):
    kind: Literal["stage"]
    n_members: int
    members: list[StageMemberDict]

@type_check_only
class ExchangeNodeDict(_NodeDictBase):
    kind: Literal["exchange"]

# One entry of `nodes()`; narrow it by testing `node["kind"]`.
NodeDict: TypeAlias = (
    SourceNodeDict | OpNodeDict | ReductionNodeDict | ExternalNodeDict | StageNodeDict | ExchangeNodeDict
)

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

def version() -> str: ...

@final
class GraphStore:
    def __new__(cls) -> Self: ...
    def add_source(self, name: str, params: Params = None) -> int: ...
    def add_op(self, name: str, inputs: NodeIds, params: Params = None) -> int: ...
    def add_reduction(self, name: str, inputs: NodeIds, params: Params = None) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | DescriptorFields | dict[str, Any],
        inputs: NodeIds,
        params: Params = None,
    ) -> int: ...
    def add_exchange(self, inputs: NodeIds, params: Params = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: NodeIds | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def nodes(self) -> list[NodeDict]: ...
    def outputs(self) -> list[int]: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduce_incremental(self, *, outputs: NodeIds | None = None) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: NodeIds | None = None) -> ReductionReport: ...
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
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class IncrementalReducer:
    def __new__(cls) -> Self: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
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
