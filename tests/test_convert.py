"""Argument conversion: what each argument accepts, the exact errors, the
order in which arguments are converted, and that a failed call records
nothing."""
import collections

import pytest

from tavrine_core import GraphStore, PayloadDescriptor

FIELDS = dict(kind="k", content_hash="c", framework="f", version="v", io_schema="i")


def fresh(n=2):
    """A store holding n sources (ids 0..n-1)."""
    store = GraphStore()
    for i in range(n):
        store.add_source(f"s{i}")
    return store


def raises(exc_type, fn, *args, **kwargs):
    """The message of the exception `fn` raises, which must be exactly `exc_type`;
    also checks that the failed call recorded nothing."""
    store = getattr(fn, "__self__", None)
    before = store.node_count() if isinstance(store, GraphStore) else None
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    if before is not None:
        assert store.node_count() == before
    return str(info.value)


class Index:
    """An integer through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


class Outer:
    class Inner:
        pass


class TestName:
    @pytest.mark.parametrize(
        "value,shown",
        [(1, "'int' object"), (1.5, "'float' object"), (b"x", "'bytes' object"), (None, "'None'"),
         (Outer.Inner(), "'Outer.Inner' object"), (["x"], "'list' object")],
    )
    def test_not_a_str(self, value, shown):
        store = fresh()
        for call in (lambda: store.add_source(value), lambda: store.add_op(value, [0]),
                     lambda: store.add_reduction(value, [0])):
            assert raises(TypeError, call) == f"argument 'name': {shown} is not an instance of 'str'"

    def test_any_text_is_a_name(self):
        store = GraphStore()
        names = ["", "x", " ", ";=|%", "%3B", "\u00e9\u4e2d\U0001f600", "a\x00b", "\n"]
        ids = [store.add_source(n) for n in names]
        assert ids == list(range(len(names)))
        assert [store.add_source(n) for n in names] == ids

    def test_str_subclass_is_its_text(self):
        class Name(str):
            pass

        store = GraphStore()
        assert store.add_source(Name("x")) == store.add_source("x") == 0

    def test_unencodable_text_raises_the_encoding_error_unprefixed(self):
        store = GraphStore()
        msg = raises(UnicodeEncodeError, store.add_source, "a\ud800")
        assert not msg.startswith("argument")


class TestIds:
    def test_accepted_sequences(self):
        store = fresh(3)
        expected = store.add_op("f", [0, 1, 2])
        assert store.add_op("f", (0, 1, 2)) == expected
        assert store.add_op("f", range(3)) == expected
        assert store.add_op("f", bytes([0, 1, 2])) == expected
        assert store.add_op("f", collections.deque([0, 1, 2])) == expected
        assert store.add_op("f", [Index(0), True, 2]) == expected
        assert store.add_op("f", b"\x00") == store.add_op("f", [0])
        assert store.add_op("f", []) == store.add_op("f", ())
        assert store.node_count() == 6

    def test_numpy_integers(self):
        np = pytest.importorskip("numpy")
        store = fresh(3)
        assert store.add_op("f", np.array([0, 2])) == store.add_op("f", [0, 2])
        assert store.add_op("f", [np.uint64(1), np.int8(0)]) == store.add_op("f", [1, 0])

    def test_int_subclass_is_taken_by_value(self):
        class Weird(int):
            def __index__(self):
                raise AssertionError("not called")

        store = fresh()
        assert store.add_op("f", [Weird(1)]) == store.add_op("f", [1])

    def test_custom_sequence_is_iterated(self):
        class Seq:
            def __init__(self, items, length):
                self.items = items
                self.length = length

            def __len__(self):
                if isinstance(self.length, Exception):
                    raise self.length
                return self.length

            def __getitem__(self, i):
                return self.items[i]

        store = fresh(3)
        expected = store.add_op("f", [0, 1, 2])
        assert store.add_op("f", Seq([0, 1, 2], 3)) == expected
        # The length is only a hint: wrong, huge or failing lengths change nothing.
        assert store.add_op("f", Seq([0, 1, 2], 0)) == expected
        assert store.add_op("f", Seq([0, 1, 2], 2**62)) == expected
        assert store.add_op("f", Seq([0, 1, 2], RuntimeError("no length"))) == expected

    def test_list_subclass_iterates_its_own_way(self):
        class Reversed(list):
            def __iter__(self):
                return reversed(list(list.__iter__(self)))

        store = fresh(2)
        assert store.add_op("f", Reversed([0, 1])) == store.add_op("f", [1, 0])

    def test_many_inputs(self):
        store = fresh(3)
        big = [i % 3 for i in range(1000)]
        a = store.add_op("f", big)
        assert store.add_op("f", tuple(big)) == a
        assert store.add_op("f", iter_seq(big)) == a
        assert store.add_op("f", big[:9]) != store.add_op("f", big[:8])

    def test_str_is_refused(self):
        store = fresh()
        assert raises(TypeError, store.add_op, "f", "ab") == "argument 'inputs': Can't extract `str` to `Vec`"
        assert raises(TypeError, store.add_exchange, "") == "argument 'inputs': Can't extract `str` to `Vec`"

        class Text(str):
            pass

        assert raises(TypeError, store.add_reduction, "r", Text("0")) == (
            "argument 'inputs': Can't extract `str` to `Vec`"
        )

    @pytest.mark.parametrize(
        "value,shown",
        [(5, "'int' object"), (None, "'None'"), ({0: 0}, "'dict' object"), ({0}, "'set' object"),
         ((i for i in [0]), "'generator' object"), (iter([0]), "'list_iterator' object"),
         (bytearray(b"\x00"), None), (Outer.Inner(), "'Outer.Inner' object")],
    )
    def test_not_a_sequence(self, value, shown):
        store = fresh()
        if shown is None:  # bytearray is a sequence of ints
            assert store.add_op("f", value) == store.add_op("f", [0])
            return
        message = f"argument 'inputs': {shown} is not an instance of 'Sequence'"
        assert raises(TypeError, store.add_op, "f", value) == message
        assert raises(TypeError, store.add_external, FIELDS, value) == message

    def test_element_errors(self):
        store = fresh()
        assert raises(OverflowError, store.add_op, "f", [0, -1]) == "can't convert negative int to unsigned"
        assert raises(OverflowError, store.add_op, "f", [2**64]) == "int too big to convert"
        assert raises(OverflowError, store.add_op, "f", (0, Index(-5))) == "can't convert negative int to unsigned"
        msg = raises(TypeError, store.add_op, "f", [0, 1.0])
        assert msg == "argument 'inputs': 'float' object cannot be interpreted as an integer"
        assert raises(TypeError, store.add_op, "f", [0, "1"]).startswith("argument 'inputs': ")
        assert raises(TypeError, store.add_op, "f", [None]).startswith("argument 'inputs': ")

    def test_errors_raised_by_element_code(self):
        store = fresh()
        # Only a TypeError gets the argument prefix; others pass unchanged.
        assert raises(ValueError, store.add_op, "f", [Raises(ValueError("v"))]) == "v"
        assert raises(KeyError, store.add_op, "f", [Raises(KeyError("k"))]) == "'k'"
        assert raises(TypeError, store.add_op, "f", [Raises(TypeError("t"))]) == "argument 'inputs': t"

        class SubTypeError(TypeError):
            pass

        assert raises(SubTypeError, store.add_op, "f", [Raises(SubTypeError("s"))]) == "s"

    def test_prefixed_error_keeps_the_cause(self):
        store = fresh()
        cause = KeyError("root")
        error = TypeError("t")
        error.__cause__ = cause
        with pytest.raises(TypeError) as info:
            store.add_op("f", [Raises(error)])
        assert str(info.value) == "argument 'inputs': t"
        assert info.value is not error
        assert info.value.__cause__ is cause

    def test_iteration_errors(self):
        class Broken:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise RuntimeError("broken")

        class BrokenType(Broken):
            def __getitem__(self, i):
                raise TypeError("bad item")

        store = fresh()
        assert raises(RuntimeError, store.add_op, "f", Broken()) == "broken"
        assert raises(TypeError, store.add_op, "f", BrokenType()) == "argument 'inputs': bad item"

    def test_unknown_ids(self):
        store = fresh(5)
        assert raises(ValueError, store.add_op, "f", [5]) == "no node with id 5"
        assert raises(ValueError, store.add_op, "f", [0, 9, 12]) == "no node with id 9"
        assert raises(ValueError, store.add_op, "f", [2**64 - 1]) == "no node with id 18446744073709551615"
        assert raises(ValueError, store.add_reduction, "r", [0, 5]) == "no node with id 5"
        assert raises(ValueError, store.add_external, FIELDS, [7]) == "no node with id 7"
        assert raises(ValueError, store.add_exchange, [6]) == "no node with id 6"
        assert store.add_op("f", [4]) == 5

    def test_mutation_while_converting(self):
        store = fresh(3)
        items = [0, 1]

        class Grow:
            def __index__(self):
                items.append(2)
                return 0

        items.insert(1, Grow())
        # The list is read as it is at each step of the iteration.
        assert store.add_op("f", items) == store.add_op("f", [0, 0, 1, 2])


def iter_seq(items):
    class Seq:
        def __len__(self):
            return len(items)

        def __getitem__(self, i):
            return items[i]

    return Seq()


class TestParams:
    def test_none_and_empty_are_the_same(self):
        store = GraphStore()
        a = store.add_source("x")
        assert store.add_source("x", None) == a
        assert store.add_source("x", {}) == a
        assert store.add_source("x", params=None) == a

    @pytest.mark.parametrize("value", [[("a", 1)], "a=1", 5, (), frozenset()])
    def test_not_a_dict(self, value):
        store = fresh()
        assert raises(TypeError, store.add_source, "x", value) == "params must be a dict or None"
        assert raises(TypeError, store.add_op, "f", [0], value) == "params must be a dict or None"
        assert raises(TypeError, store.add_exchange, [0], value) == "params must be a dict or None"

    def test_mapping_that_is_not_a_dict(self):
        import types

        store = GraphStore()
        assert raises(TypeError, store.add_source, "x", types.MappingProxyType({"a": 1})) == (
            "params must be a dict or None"
        )
        assert raises(TypeError, store.add_source, "x", collections.UserDict(a=1)) == (
            "params must be a dict or None"
        )

    def test_dict_subclasses(self):
        class Params(dict):
            def items(self):
                raise AssertionError("the entries are read directly")

            def __iter__(self):
                raise AssertionError("the entries are read directly")

        store = GraphStore()
        a = store.add_source("x", {"a": 1, "b": "2"})
        assert store.add_source("x", Params(a=1, b="2")) == a
        assert store.add_source("x", collections.OrderedDict([("b", "2"), ("a", 1)])) == a
        assert store.add_source("x", collections.defaultdict(int, a=1, b="2")) == a

    def test_key_must_be_a_str(self):
        store = GraphStore()
        assert raises(TypeError, store.add_source, "x", {1: 1}) == "'int' object is not an instance of 'str'"
        assert raises(TypeError, store.add_source, "x", {None: 1}) == "'None' is not an instance of 'str'"
        assert raises(TypeError, store.add_source, "x", {"a": 1, b"b": 1}) == (
            "'bytes' object is not an instance of 'str'"
        )
        assert raises(UnicodeEncodeError, store.add_source, "x", {"\udc80": 1})

    @pytest.mark.parametrize("value", [None, [1], (1,), {"a": 1}, b"1", 2**1100, -(2**1100), object(), 1j])
    def test_unsupported_values(self, value):
        store = GraphStore()
        assert raises(TypeError, store.add_source, "x", {"a": value}) == (
            "param values must be int, float, bool, or str"
        )

    def test_value_conversion_order(self):
        store = GraphStore()

        def same(a, b):
            return store.add_source("x", {"k": a}) == store.add_source("x", {"k": b})

        class Both:
            """__index__ wins over __float__."""

            def __index__(self):
                return 3

            def __float__(self):
                return 2.5

        class FloatOnly:
            def __float__(self):
                return 2.5

        class FailingIndexButFloat:
            def __index__(self):
                raise ValueError("discarded")

            def __float__(self):
                return 2.5

        class Text(str):
            pass

        class FloatText(str):
            def __float__(self):
                return 4.0

        assert same(Both(), 3) and not same(Both(), 2.5)
        assert same(FloatOnly(), 2.5)
        assert same(FailingIndexButFloat(), 2.5)
        assert same(Index(7), 7)
        assert same(2**63 - 1, 2**63 - 1) and same(-(2**63), -(2**63))
        assert same(2**63, float(2**63)) and same(2**70, float(2**70)) and same(-(2**64), -float(2**64))
        assert not same(2**63 - 1, float(2**63 - 1))
        assert same(Text("t"), "t")
        assert same(FloatText("t"), 4.0)

        class MyFloat(float):
            def __float__(self):
                raise AssertionError("a float subclass is taken by value")

        assert same(MyFloat(1.5), 1.5)

    def test_value_hooks_that_fail_every_rule(self):
        store = GraphStore()
        assert raises(TypeError, store.add_source, "x", {"a": Raises(ValueError("v"))}) == (
            "param values must be int, float, bool, or str"
        )
        assert raises(TypeError, store.add_source, "x", {"a": "\ud800"}) == (
            "param values must be int, float, bool, or str"
        )

    def test_numpy_scalars(self):
        np = pytest.importorskip("numpy")
        store = GraphStore()

        def same(a, b):
            return store.add_source("x", {"k": a}) == store.add_source("x", {"k": b})

        assert same(np.int64(5), 5)
        assert same(np.float64(0.5), 0.5)
        assert same(np.float32(0.5), 0.5)
        assert not same(np.True_, True)  # not exactly bool

    def test_dict_changed_while_read_is_the_interpreters_runtime_error(self):
        store = GraphStore()
        params = {}

        class Grow:
            def __index__(self):
                params["zz"] = 1
                return 1

        params["a"] = Grow()
        assert raises(RuntimeError, store.add_source, "x", params) == "dictionary changed size during iteration"

        swapped = {}

        class Swap:
            def __index__(self):
                del swapped["a"]
                swapped["b"] = 2
                return 1

        swapped["a"] = Swap()
        assert raises(RuntimeError, store.add_source, "x", swapped) == "dictionary keys changed during iteration"
        # The same through the params of the other add methods; the store is unaffected.
        params.clear()
        params["a"] = Grow()
        assert raises(RuntimeError, store.add_external, FIELDS, [], params) == (
            "dictionary changed size during iteration")
        assert store.add_source("x", {"a": 1}) == 0

    @pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, RuntimeError, AttributeError])
    @pytest.mark.parametrize("method", ["__index__", "__float__"])
    def test_an_error_a_rule_does_not_expect_propagates_and_records_nothing(self, exc, method):
        calls = []

        class Once:
            """Raises on its first conversion, converts after."""

        def convert(self):
            calls.append(1)
            if len(calls) == 1:
                raise exc("from the value")
            return 7 if method == "__index__" else 7.5

        setattr(Once, method, convert)
        store = GraphStore()
        assert raises(exc, store.add_source, "x", {"k": Once()}) == "from the value"

        class Always:
            pass

        def always(self):
            raise exc("always")

        setattr(Always, method, always)
        assert raises(exc, store.add_source, "x", {"k": Always()}) == "always"
        assert store.node_count() == 0

    @pytest.mark.parametrize("exc", [TypeError, ValueError, OverflowError])
    def test_the_errors_a_rule_expects_are_discarded(self, exc):
        class Miss:
            def __index__(self):
                raise exc("not an int")

            def __float__(self):
                return 2.5

        store = GraphStore()
        assert store.add_source("x", {"k": Miss()}) == store.add_source("x", {"k": 2.5})

        class Neither:
            def __index__(self):
                raise exc("not an int")

            def __float__(self):
                raise exc("not a float")

        assert raises(TypeError, store.add_source, "y", {"k": Neither()}) == (
            "param values must be int, float, bool, or str")


class TestDescriptor:
    def test_instance_and_dict_are_the_same_value(self):
        store = GraphStore()
        a = store.add_external(PayloadDescriptor(**FIELDS), [])
        assert store.add_external(dict(FIELDS), []) == a
        assert store.add_external(dict(FIELDS, preprocessing_ref=None), []) == a
        assert store.add_external(dict(FIELDS, extra=5, more=object()), []) == a

        class D(dict):
            def __getitem__(self, key):
                raise AssertionError("read directly")

            def __missing__(self, key):
                raise AssertionError("read directly")

        assert store.add_external(D(FIELDS), []) == a
        b = store.add_external(dict(FIELDS, preprocessing_ref="p"), [])
        assert store.add_external(PayloadDescriptor(**FIELDS, preprocessing_ref="p"), []) == b != a
        c = store.add_external(dict(FIELDS, preprocessing_ref=""), [])
        assert len({a, b, c}) == 3
        assert store.node_count() == 3

    @pytest.mark.parametrize("value", [None, 5, "onnx", [("kind", "k")], collections.UserDict(FIELDS)])
    def test_other_types(self, value):
        store = GraphStore()
        assert raises(TypeError, store.add_external, value, []) == "descriptor must be a PayloadDescriptor or dict"

    @pytest.mark.parametrize("missing", ["kind", "content_hash", "framework", "version", "io_schema"])
    def test_missing_field(self, missing):
        store = GraphStore()
        fields = {k: v for k, v in FIELDS.items() if k != missing}
        assert raises(ValueError, store.add_external, fields, []) == (
            f"descriptor missing required field '{missing}'"
        )

    def test_fields_are_read_in_order(self):
        store = GraphStore()
        assert raises(ValueError, store.add_external, {}, []) == "descriptor missing required field 'kind'"
        assert raises(ValueError, store.add_external, {"kind": "k"}, []) == (
            "descriptor missing required field 'content_hash'"
        )
        # preprocessing_ref is read first.
        assert raises(TypeError, store.add_external, {"preprocessing_ref": 1}, []) == (
            "'int' object is not an instance of 'str'"
        )
        assert raises(TypeError, store.add_external, {"io_schema": 1, "kind": 2}, []) == (
            "'int' object is not an instance of 'str'"
        )
        assert raises(ValueError, store.add_external, {"io_schema": 1}, []) == (
            "descriptor missing required field 'kind'"
        )

    def test_field_types(self):
        store = GraphStore()
        for key in FIELDS:
            assert raises(TypeError, store.add_external, dict(FIELDS, **{key: 1}), []) == (
                "'int' object is not an instance of 'str'"
            )
            assert raises(TypeError, store.add_external, dict(FIELDS, **{key: None}), []) == (
                "'None' is not an instance of 'str'"
            )
        assert raises(TypeError, store.add_external, dict(FIELDS, preprocessing_ref=b"p"), []) == (
            "'bytes' object is not an instance of 'str'"
        )
        assert raises(UnicodeEncodeError, store.add_external, dict(FIELDS, kind="\ud800"), [])

    def test_constructor_conversions(self):
        for key in FIELDS:
            with pytest.raises(TypeError) as info:
                PayloadDescriptor(**dict(FIELDS, **{key: 1}))
            assert str(info.value) == f"argument '{key}': 'int' object is not an instance of 'str'"
            with pytest.raises(TypeError) as info:
                PayloadDescriptor(**dict(FIELDS, **{key: None}))
            assert str(info.value) == f"argument '{key}': 'None' is not an instance of 'str'"
        with pytest.raises(TypeError) as info:
            PayloadDescriptor(**FIELDS, preprocessing_ref=5)
        assert str(info.value) == "argument 'preprocessing_ref': 'int' object is not an instance of 'str'"
        # Signature order decides which error shows.
        with pytest.raises(TypeError) as info:
            PayloadDescriptor(io_schema=1, version=2, framework="f", content_hash="c", kind="k")
        assert str(info.value) == "argument 'version': 'int' object is not an instance of 'str'"
        with pytest.raises(UnicodeEncodeError):
            PayloadDescriptor(**dict(FIELDS, framework="\ud800"))


class TestOrderOfWork:
    """Arguments are converted in a fixed order; the first failure wins and
    nothing is recorded."""

    def test_add_op_and_add_reduction(self):
        store = fresh(5)
        for method in (store.add_op, store.add_reduction):
            assert raises(TypeError, method, 1, "ab", 5).startswith("argument 'name': ")
            assert raises(TypeError, method, "f", "ab", 5) == "argument 'inputs': Can't extract `str` to `Vec`"
            assert raises(TypeError, method, "f", [9], 5) == "params must be a dict or None"
            assert raises(ValueError, method, "f", [9], {"a": 1}) == "no node with id 9"

    def test_add_source(self):
        store = GraphStore()
        assert raises(TypeError, store.add_source, None, 5).startswith("argument 'name': ")
        assert raises(TypeError, store.add_source, "x", 5) == "params must be a dict or None"

    def test_add_external_converts_inputs_first(self):
        store = fresh()
        assert raises(TypeError, store.add_external, 5, "ab", 5) == (
            "argument 'inputs': Can't extract `str` to `Vec`"
        )
        assert raises(TypeError, store.add_external, 5, [9], 5) == "descriptor must be a PayloadDescriptor or dict"
        assert raises(ValueError, store.add_external, {}, [9], 5) == "descriptor missing required field 'kind'"
        assert raises(TypeError, store.add_external, FIELDS, [9], 5) == "params must be a dict or None"
        assert raises(ValueError, store.add_external, FIELDS, [9], {}) == "no node with id 9"

    def test_add_exchange(self):
        store = fresh()
        assert raises(TypeError, store.add_exchange, 5, 5).startswith("argument 'inputs': ")
        assert raises(TypeError, store.add_exchange, [9], 5) == "params must be a dict or None"
        assert raises(ValueError, store.add_exchange, [9], {}) == "no node with id 9"

    def test_later_arguments_are_not_touched_after_a_failure(self):
        store = fresh()
        touched = []

        class Spy:
            def __index__(self):
                touched.append(1)
                return 0

        raises(TypeError, store.add_op, "f", "ab", {"a": Spy()})
        raises(TypeError, store.add_external, 5, [0], {"a": Spy()})
        raises(TypeError, store.add_op, 5, [Spy()])
        assert touched == []


class TestOtherArguments:
    """Conversions of `data`, `outputs` and `maximal_fusion`."""

    def test_data(self):
        for value, shown in ((bytearray(b""), "'bytearray' object"), (memoryview(b""), "'memoryview' object"),
                             ("", "'str' object"), (None, "'None'")):
            with pytest.raises(TypeError) as info:
                GraphStore.deserialize(value)
            assert str(info.value) == f"argument 'data': {shown} is not an instance of 'bytes'"

    def test_outputs(self):
        store = fresh()
        assert raises(TypeError, store.serialize, "ab") == "argument 'outputs': Can't extract `str` to `Vec`"
        assert raises(TypeError, store.serialize, 5) == "argument 'outputs': 'int' object is not an instance of 'Sequence'"
        assert raises(OverflowError, store.serialize, [-1])
        assert raises(ValueError, store.serialize, [0, 2]) == "no node with id 2"

    def test_maximal_fusion(self):
        store = fresh()
        for value, shown in ((1, "'int' object"), (None, "'None'"), ("yes", "'str' object")):
            assert raises(TypeError, store.reduce, maximal_fusion=value) == (
                f"argument 'maximal_fusion': {shown} is not an instance of 'bool'"
            )
        np = pytest.importorskip("numpy")
        store.reduce(maximal_fusion=np.True_, outputs=[0])
        store.reduce(maximal_fusion=np.bool_(False), outputs=[0])
