"""Argument binding: every method binds like a Python function with its
signature would, and names itself in the messages."""
import pytest

import tavrine_core
from tavrine_core import GraphStore, PayloadDescriptor

FIELDS = dict(kind="k", content_hash="c", framework="f", version="v", io_schema="i")


def call(target, *args, **kwargs):
    """Calls `target` (a GraphStore method name or a callable) and returns the
    TypeError message."""
    if isinstance(target, str):
        store = GraphStore()
        store.add_source("s")
        target = getattr(store, target)
    with pytest.raises(TypeError) as info:
        target(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


class TestMissing:
    @pytest.mark.parametrize(
        "method,args,kwargs,message",
        [
            ("add_source", (), {}, "GraphStore.add_source() missing 1 required positional argument: 'name'"),
            ("add_source", (), {"params": None},
             "GraphStore.add_source() missing 1 required positional argument: 'name'"),
            ("add_op", (), {},
             "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'"),
            ("add_op", ("add",), {}, "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
            ("add_op", (), {"inputs": [0]}, "GraphStore.add_op() missing 1 required positional argument: 'name'"),
            ("add_op", (), {"params": {}},
             "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'"),
            ("add_reduction", (), {},
             "GraphStore.add_reduction() missing 2 required positional arguments: 'name' and 'inputs'"),
            ("add_external", (), {},
             "GraphStore.add_external() missing 2 required positional arguments: 'descriptor' and 'inputs'"),
            ("add_external", (), {"inputs": []},
             "GraphStore.add_external() missing 1 required positional argument: 'descriptor'"),
            ("add_exchange", (), {}, "GraphStore.add_exchange() missing 1 required positional argument: 'inputs'"),
        ],
    )
    def test_missing_positional(self, method, args, kwargs, message):
        assert call(method, *args, **kwargs) == message

    def test_missing_keyword_only_lists_names_like_the_interpreter(self):
        prefix = "PayloadDescriptor.__new__() missing "
        assert call(PayloadDescriptor) == prefix + (
            "5 required keyword arguments: 'kind', 'content_hash', 'framework', 'version', and 'io_schema'"
        )
        assert call(PayloadDescriptor, kind="k", content_hash="c", framework="f") == prefix + (
            "2 required keyword arguments: 'version' and 'io_schema'"
        )
        assert call(PayloadDescriptor, kind="k", content_hash="c", version="v") == prefix + (
            "2 required keyword arguments: 'framework' and 'io_schema'"
        )
        assert call(PayloadDescriptor, kind="k", framework="f", version="v", io_schema="i") == prefix + (
            "1 required keyword argument: 'content_hash'"
        )
        assert call(PayloadDescriptor, preprocessing_ref="p", io_schema="i") == prefix + (
            "4 required keyword arguments: 'kind', 'content_hash', 'framework', and 'version'"
        )

    def test_the_interpreter_lists_three_names_the_same_way(self):
        def f(a, b, c):
            pass

        with pytest.raises(TypeError) as info:
            f()
        assert str(info.value).endswith("missing 3 required positional arguments: 'a', 'b', and 'c'")


class TestTooManyPositional:
    @pytest.mark.parametrize(
        "target,nargs,message",
        [
            ("add_source", 3, "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given"),
            ("add_op", 4, "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
            ("add_reduction", 5, "GraphStore.add_reduction() takes from 2 to 3 positional arguments but 5 were given"),
            ("add_external", 4, "GraphStore.add_external() takes from 2 to 3 positional arguments but 4 were given"),
            ("add_exchange", 3, "GraphStore.add_exchange() takes from 1 to 2 positional arguments but 3 were given"),
            (GraphStore, 1, "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
            (GraphStore, 2, "GraphStore.__new__() takes 0 positional arguments but 2 were given"),
            (PayloadDescriptor, 1, "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given"),
            (PayloadDescriptor, 5, "PayloadDescriptor.__new__() takes 0 positional arguments but 5 were given"),
        ],
    )
    def test_message(self, target, nargs, message):
        assert call(target, *(["x"] * nargs)) == message

    def test_checked_before_keywords_and_conversions(self):
        # Too many positionals wins over an unknown keyword and a bad value.
        assert call("add_op", 1, 2, 3, 4, bogus=1) == (
            "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"
        )
        assert call(PayloadDescriptor, "k", **FIELDS) == (
            "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given"
        )


class TestKeywords:
    def test_all_parameters_accept_keywords(self):
        store = GraphStore()
        s = store.add_source(name="s", params={"a": 1})
        assert store.add_op(params=None, inputs=[s], name="op") == 1
        assert store.add_reduction(inputs=[1], name="sum") == 2
        d = PayloadDescriptor(**FIELDS)
        assert store.add_external(inputs=[2], descriptor=d, params={}) == 3
        assert store.add_exchange(params={"scheme": "hash"}, inputs=[3]) == 4
        assert store.node_count() == 5

    def test_unexpected_keyword(self):
        assert call("add_op", "a", [0], bogus=1) == "GraphStore.add_op() got an unexpected keyword argument 'bogus'"
        assert call("add_source", "a", self=1) == "GraphStore.add_source() got an unexpected keyword argument 'self'"
        assert call("add_exchange", [0], name="x") == (
            "GraphStore.add_exchange() got an unexpected keyword argument 'name'"
        )
        assert call(GraphStore, x=1) == "GraphStore.__new__() got an unexpected keyword argument 'x'"
        assert call(PayloadDescriptor, kinds="k", **FIELDS) == (
            "PayloadDescriptor.__new__() got an unexpected keyword argument 'kinds'"
        )
        # Names are compared exactly, non-ASCII ones included.
        assert call("add_source", "a", **{"nam\u00e9": 1}) == (
            "GraphStore.add_source() got an unexpected keyword argument 'nam\u00e9'"
        )
        assert call("add_source", "a", **{"\ud800": 1}).startswith(
            "GraphStore.add_source() got an unexpected keyword argument '"
        )

    def test_multiple_values(self):
        assert call("add_op", "a", [0], name="b") == "GraphStore.add_op() got multiple values for argument 'name'"
        assert call("add_op", "a", [0], inputs=[0]) == (
            "GraphStore.add_op() got multiple values for argument 'inputs'"
        )
        assert call("add_source", "a", None, params={}) == (
            "GraphStore.add_source() got multiple values for argument 'params'"
        )

    def test_keywords_are_checked_in_call_order(self):
        assert call("add_op", "a", bogus=1, name="b") == (
            "GraphStore.add_op() got an unexpected keyword argument 'bogus'"
        )
        assert call("add_op", "a", name="b", bogus=1) == (
            "GraphStore.add_op() got multiple values for argument 'name'"
        )
        # A keyword error wins over a missing argument.
        assert call("add_op", bogus=1) == "GraphStore.add_op() got an unexpected keyword argument 'bogus'"

    def test_binding_errors_come_before_conversion_errors(self):
        assert call("add_op", 5) == "GraphStore.add_op() missing 1 required positional argument: 'inputs'"
        assert call(PayloadDescriptor, kind=5) == (
            "PayloadDescriptor.__new__() missing 4 required keyword arguments: "
            "'content_hash', 'framework', 'version', and 'io_schema'"
        )

    def test_keywords_from_a_mapping_and_a_dict_subclass(self):
        class Kw(dict):
            pass

        store = GraphStore()
        assert store.add_source(**Kw(name="x")) == 0
        assert PayloadDescriptor(**Kw(FIELDS)).kind == "k"


class TestNoParameters:
    def test_methods_without_parameters_take_nothing(self):
        store = GraphStore()
        for name in ("node_count", "outputs", "to_dot", "nodes"):
            method = getattr(store, name)
            with pytest.raises(TypeError, match=rf"{name}\(\) takes no arguments \(1 given\)"):
                method(1)
            with pytest.raises(TypeError, match=rf"{name}\(\) takes no keyword arguments"):
                method(x=1)

    def test_unbound_call_checks_self(self):
        with pytest.raises(TypeError):
            GraphStore.add_source(1, "x")
        with pytest.raises(TypeError):
            GraphStore.node_count(PayloadDescriptor(**FIELDS))
        assert GraphStore.add_source(GraphStore(), "x") == 0


class TestOtherShapes:
    """Keyword-only parameters, a static method, optional positionals."""

    def test_reduce_is_keyword_only(self):
        assert call("reduce", True) == "GraphStore.reduce() takes 0 positional arguments but 1 was given"
        assert call("reduce", flag=True) == "GraphStore.reduce() got an unexpected keyword argument 'flag'"

    def test_reduce_incremental_is_keyword_only(self):
        assert call("reduce_incremental", None) == (
            "GraphStore.reduce_incremental() takes 0 positional arguments but 1 was given"
        )

    def test_reduction_report_is_keyword_only(self):
        assert call("reduction_report", None, None) == (
            "GraphStore.reduction_report() takes 0 positional arguments but 2 were given"
        )

    def test_serialize(self):
        assert call("serialize", None, None) == (
            "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given"
        )
        assert call("serialize", output=None) == "GraphStore.serialize() got an unexpected keyword argument 'output'"

    def test_deserialize_is_static(self):
        assert call(GraphStore.deserialize) == (
            "GraphStore.deserialize() missing 1 required positional argument: 'data'"
        )
        assert call(GraphStore().deserialize) == (
            "GraphStore.deserialize() missing 1 required positional argument: 'data'"
        )
        assert call(GraphStore.deserialize, b"", b"") == (
            "GraphStore.deserialize() takes 1 positional arguments but 2 were given"
        )

    def test_incremental_reducer_shapes(self):
        cls = tavrine_core.IncrementalReducer
        assert call(cls, 1) == "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given"
        reducer = cls()
        assert call(reducer.step) == "IncrementalReducer.step() missing 1 required positional argument: 'store'"
        assert call(reducer.finalize, GraphStore(), True) == (
            "IncrementalReducer.finalize() takes 1 positional arguments but 2 were given"
        )
        assert call(reducer.finalize) == (
            "IncrementalReducer.finalize() missing 1 required positional argument: 'store'"
        )
