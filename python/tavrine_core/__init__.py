""
# The package keeps the surface the extension module had when it stood alone:
# the same empty docstring, the same four public names in `__all__`, and
# classes whose __module__ is "tavrine_core". The extension itself is
# tavrine_core._core; the pure-Python parts (the executor in
# tavrine_core.execute, the command line in tavrine_core.__main__) are
# submodules, imported only when asked for, so `import tavrine_core` costs
# what it did and pulls in no optional dependency.
import typing as _typing

from tavrine_core._core import GraphStore, IncrementalReducer, PayloadDescriptor, version

if _typing.TYPE_CHECKING:
    # Shapes and argument aliases that exist for type checkers only.
    from tavrine_core._core import (
        DescriptorDict as DescriptorDict,
        DescriptorFields as DescriptorFields,
        ExchangeNodeDict as ExchangeNodeDict,
        ExternalNodeDict as ExternalNodeDict,
        NodeDict as NodeDict,
        NodeIds as NodeIds,
        NodeKind as NodeKind,
        OpNodeDict as OpNodeDict,
        ParamInput as ParamInput,
        Params as Params,
        ParamValue as ParamValue,
        ReductionNodeDict as ReductionNodeDict,
        ReductionReport as ReductionReport,
        SourceNodeDict as SourceNodeDict,
        StageMemberDict as StageMemberDict,
        StageNodeDict as StageNodeDict,
        StageRef as StageRef,
    )

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
