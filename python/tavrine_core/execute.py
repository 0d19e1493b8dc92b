"""Running a store: what each node computes, in-process or on Dask.

A store records *what* is computed (kinds, names, params, inputs), never
*how*. An `Ops` registry supplies the how, one callable per op name,
reduction name, source name, external payload kind and for exchanges;
`evaluate` runs a store with it in this process, and `to_dask` turns a store
into a Dask task graph that any Dask scheduler runs::

    ops = Ops()

    @ops.source()
    def load(name, params): ...

    @ops.op("add")
    def add(params, a, b): ...

    values = evaluate(reduced, ops, outputs=output_ids)

Every callable receives the node's params dict first (a source its name
before that, an external node its descriptor dict before that) and then the
values of the node's inputs, in order. A `Stage` node runs its members in
order with the same op and reduction entries, so a reduced store needs no
entries of its own.
"""

from __future__ import annotations

import functools
import hashlib
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from tavrine_core._core import GraphStore

if TYPE_CHECKING:
    from tavrine_core._core import NodeDict, StageMemberDict

__all__ = ["Ops", "evaluate", "graph_token", "to_dask"]

F = TypeVar("F", bound=Callable[..., Any])

# A node made ready to run: called with its input values, returns its value.
Runner = Callable[..., Any]


class Ops:
    """A registry of implementations, filled by decorators.

    Each decorator returns the function unchanged, so one function can serve
    several entries. Registering an entry twice replaces the first one. A
    named entry wins over the catch-all of its kind (`source()` and
    `external()` without arguments).

    Example::

        ops = Ops()

        @ops.op("mul")
        def mul(params, a, b):
            return a * b
    """

    def __init__(self) -> None:
        self._ops: dict[str, Callable[..., Any]] = {}
        self._reductions: dict[str, Callable[..., Any]] = {}
        self._sources: dict[str | None, Callable[..., Any]] = {}
        self._externals: dict[str | None, Callable[..., Any]] = {}
        self._exchange: Callable[..., Any] | None = None

    def op(self, name: str) -> Callable[[F], F]:
        """Registers the implementation of the element-wise op `name`.

        Args:
            name: the op name as recorded with `GraphStore.add_op`.

        Returns:
            A decorator; the decorated function is called as
            ``fn(params, *input_values)`` and returns the op's value.
        """
        return self._register(self._ops, _check_name(name))

    def reduction(self, name: str) -> Callable[[F], F]:
        """Registers the implementation of the reduction `name`.

        Args:
            name: the reduction name as recorded with `GraphStore.add_reduction`.

        Returns:
            A decorator; the decorated function is called as
            ``fn(params, *input_values)``.
        """
        return self._register(self._reductions, _check_name(name))

    def source(self, name: str | None = None) -> Callable[[F], F]:
        """Registers how a source is read.

        Args:
            name: the source name as recorded with `GraphStore.add_source`;
                None registers the catch-all for every source without an entry
                of its own.

        Returns:
            A decorator; the decorated function is called as
            ``fn(name, params)`` and returns the source's value.
        """
        return self._register(self._sources, None if name is None else _check_name(name))

    def external(self, kind: str | None = None) -> Callable[[F], F]:
        """Registers how an external payload (a model call, say) is run.

        Args:
            kind: the descriptor's `kind` ("onnx", ...); None registers the
                catch-all for every kind without an entry of its own.

        Returns:
            A decorator; the decorated function is called as
            ``fn(descriptor, params, *input_values)`` with the descriptor as
            the dict `GraphStore.nodes` shows.
        """
        return self._register(self._externals, None if kind is None else _check_name(kind))

    def exchange(self) -> Callable[[F], F]:
        """Registers what an exchange boundary does with its value.

        Returns:
            A decorator; the decorated function is called as
            ``fn(params, *input_values)``. In one process an exchange usually
            passes its input through.
        """

        def register(fn: F) -> F:
            self._exchange = fn
            return fn

        return register

    @staticmethod
    def _register(table: dict[Any, Callable[..., Any]], key: str | None) -> Callable[[F], F]:
        def register(fn: F) -> F:
            table[key] = fn
            return fn

        return register

    def _runner(self, node: NodeDict) -> Runner:
        """The node bound to its implementation; KeyError names what is missing."""
        params = node["params"]
        if node["kind"] == "source":
            return functools.partial(_find(self._sources, "source", node["name"], catch_all=True), node["name"], params)
        if node["kind"] == "op":
            return functools.partial(_find(self._ops, "op", node["name"]), params)
        if node["kind"] == "reduction":
            return functools.partial(_find(self._reductions, "reduction", node["name"]), params)
        if node["kind"] == "external":
            descriptor = node["descriptor"]
            fn = _find(self._externals, "external", descriptor["kind"], catch_all=True)
            return functools.partial(fn, descriptor, params)
        if node["kind"] == "exchange":
            if self._exchange is None:
                raise KeyError("no implementation for exchange")
            return functools.partial(self._exchange, params)
        if node["kind"] == "stage":
            return functools.partial(_run_stage, _stage_plan(self, node["members"]))
        raise AssertionError(f"a node kind this module does not know: {node['kind']!r}")


def _check_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a name must be a str, not {type(name).__name__}")
    return name


def _find(table: dict[Any, Callable[..., Any]], kind: str, name: str, catch_all: bool = False) -> Callable[..., Any]:
    fn = table.get(name)
    if fn is None and catch_all:
        fn = table.get(None)
    if fn is None:
        raise KeyError(f"no implementation for {kind} {name!r}")
    return fn


# A stage's members, ready to run: per member its function (params bound),
# its argument references (True, k): the stage's input k, (False, j): the
# value of member j, and the members whose value is not needed after it.
_StagePlan = tuple[tuple[Runner, tuple[tuple[bool, int], ...], tuple[int, ...]], ...]


def _stage_plan(ops: Ops, members: Sequence[StageMemberDict]) -> _StagePlan:
    last_use: dict[int, int] = {}
    for j, m in enumerate(members):
        for where, i in m["inputs"]:
            if where == "member":
                last_use[i] = j
    done_after: dict[int, list[int]] = {}
    for i, j in last_use.items():
        done_after.setdefault(j, []).append(i)
    plan = []
    for j, m in enumerate(members):
        if m["kind"] == "op":
            fn = _find(ops._ops, "op", m["name"])
        else:
            fn = _find(ops._reductions, "reduction", m["name"])
        refs = tuple((where == "input", i) for where, i in m["inputs"])
        plan.append((functools.partial(fn, m["params"]), refs, tuple(done_after.get(j, ()))))
    return tuple(plan)


def _run_stage(plan: _StagePlan, *inputs: Any) -> Any:
    """A Stage: its members in order; the stage's value is the last one's."""
    values: dict[int, Any] = {}
    value: Any = None
    for j, (fn, refs, done) in enumerate(plan):
        value = fn(*[inputs[i] if is_input else values[i] for is_input, i in refs])
        values[j] = value
        for i in done:
            del values[i]
    return value


def _needed(nodes: Sequence[NodeDict], outputs: Sequence[int]) -> list[bool]:
    """Which nodes the outputs depend on (the outputs included)."""
    needed = [False] * len(nodes)
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if not needed[i]:
            needed[i] = True
            stack.extend(nodes[i]["inputs"])
    return needed


def _outputs(store: GraphStore, nodes: Sequence[NodeDict], outputs: Sequence[int] | None) -> list[int]:
    if outputs is None:
        return store.outputs()
    ids = [_check_id(o) for o in outputs]
    for o in ids:
        if o >= len(nodes):
            raise ValueError(f"no node with id {o}")
    return ids


def _check_id(o: object) -> int:
    if isinstance(o, bool) or not isinstance(o, int):
        raise TypeError(f"an output must be an int node id, not {type(o).__name__}")
    if o < 0:
        raise ValueError(f"no node with id {o}")
    return o


def evaluate(store: GraphStore, ops: Ops, outputs: Sequence[int] | None = None) -> list[Any]:
    """Runs a store in this process.

    Only the nodes the outputs depend on run, each once, in id order; a
    value is dropped as soon as nothing still to run needs it.

    Args:
        store: the store to run (recorded or reduced).
        ops: the implementations.
        outputs: the node ids whose values to return, in order, repeats
            allowed (after a reduction, the output ids it returned); None
            uses the store's marks.

    Returns:
        One value per output, in order.

    Raises:
        KeyError: a node has no implementation in `ops` (the message names
            its kind and name), raised before anything runs.
        ValueError: "no node with id {}" for an output that names no node.
        TypeError: an output that is not an int.
        Exception: whatever an implementation raises, unchanged.
    """
    nodes = store.nodes()
    outs = _outputs(store, nodes, outputs)
    needed = _needed(nodes, outs)
    runners = {i: ops._runner(nodes[i]) for i in range(len(nodes)) if needed[i]}
    uses = [0] * len(nodes)
    for i in runners:
        for k in nodes[i]["inputs"]:
            uses[k] += 1
    for o in outs:
        uses[o] += 1  # outputs stay until the end
    values: dict[int, Any] = {}
    for i, run in runners.items():
        inputs = nodes[i]["inputs"]
        values[i] = run(*[values[k] for k in inputs])
        for k in inputs:
            uses[k] -= 1
            if uses[k] == 0:
                del values[k]
    return [values[o] for o in outs]


def graph_token(store: GraphStore) -> str:
    """The default key prefix of `to_dask`: a digest of the store's blob.

    Args:
        store: the store.

    Returns:
        "tavrine-" and the first 32 hex digits of the SHA-256 of
        ``store.serialize()``: equal for stores with equal nodes and marks.
    """
    return "tavrine-" + hashlib.sha256(store.serialize()).hexdigest()[:32]


def _task_form() -> tuple[Any, Any]:
    """Dask's task classes: public in newer releases, in dask._task_spec
    in the releases that introduced them."""
    try:
        import dask
    except ImportError as e:
        raise ImportError("tavrine_core.execute.to_dask needs Dask (the package 'dask'), which is not installed") from e
    if hasattr(dask, "Task"):
        return getattr(dask, "Task"), getattr(dask, "TaskRef")
    try:
        from dask._task_spec import Task, TaskRef
    except ImportError as e:
        raise ImportError(f"tavrine_core.execute.to_dask needs a Dask with task objects (2024.12 or later),"
                          f" not {getattr(dask, '__version__', 'an unknown version')}") from e
    return Task, TaskRef


def to_dask(
    store: GraphStore, ops: Ops, outputs: Sequence[int] | None = None, *, key_prefix: str | None = None
) -> tuple[dict[tuple[str, int], Any], list[tuple[str, int]]]:
    """Turns a store into a Dask task graph.

    One task per node the outputs depend on, in Dask's task form
    (``dask.Task`` with ``dask.TaskRef`` arguments); a task runs its node's
    implementation from `ops` (a Stage task its members in order). Keys are
    ``(key_prefix, node id)``; the default prefix comes from a digest of the
    store's canonical blob (`graph_token`), so identical stores give the same
    keys and different stores never share one. Give `key_prefix` to run one
    store with two different registries on one client. The graph runs on
    every Dask scheduler (threaded, processes, synchronous, distributed);
    for worker processes the implementations must pickle.

    Args:
        store: the store to run.
        ops: the implementations.
        outputs: the node ids whose keys to return, in order, repeats
            allowed; None uses the store's marks.
        key_prefix: the first element of every key; None for the digest.

    Returns:
        ``(graph, keys)``: the task graph and one key per output, in order,
        ready for ``dask.get(graph, keys)`` or ``client.get(graph, keys)``.

    Raises:
        ImportError: Dask is not installed.
        KeyError: a node has no implementation in `ops` (kind and name).
        ValueError: "no node with id {}" for an output that names no node.
        TypeError: an output that is not an int.
    """
    Task, TaskRef = _task_form()
    nodes = store.nodes()
    outs = _outputs(store, nodes, outputs)
    needed = _needed(nodes, outs)
    prefix = graph_token(store) if key_prefix is None else key_prefix
    graph: dict[tuple[str, int], Any] = {}
    for i, node in enumerate(nodes):
        if needed[i]:
            key = (prefix, i)
            graph[key] = Task(key, ops._runner(node), *[TaskRef((prefix, k)) for k in node["inputs"]])
    return graph, [(prefix, o) for o in outs]
