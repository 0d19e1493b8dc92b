"""The canonical IR blob as a Python user sees it: serialize(outputs=None)
and GraphStore.deserialize(data) - the bytes of what Python records, each
reader error as the ValueError and message Python gets, argument handling,
round trips of random graphs. Which blobs the reader accepts or rejects, and
in what order it checks, is tested once, in tests/cpp/blob_test.cpp."""
import math
import os
import runpy

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from blob_bytes import (
    FIELDS, bits_of, blob, bstr, float_from_bits, i64, ids, param_entry, params, read_ids,
    rec_exchange, rec_external, rec_op, rec_reduction, rec_source, rec_stage, u8, u32, u64,
)
from graphgen import build, descriptor, encode_nodes, nodes_key, recipes
from tavrine_core import GraphStore

TRUNCATED = "truncated tavrine IR blob"
BAD_MAGIC = "not a tavrine IR blob (bad magic/version)"
BAD_UTF8 = "invalid utf-8 in tavrine IR blob"
FUZZ = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz")


def read_error(data):
    with pytest.raises(ValueError) as info:
        GraphStore.deserialize(data)
    assert type(info.value) is ValueError
    return str(info.value)


def marked(store, outputs):
    return GraphStore.deserialize(store.serialize(outputs=outputs))


class TestWorkedBytes:
    def test_every_kind_and_value_tag(self):
        store = GraphStore()
        s = store.add_source("s", {"b": True, "a": 7})
        o = store.add_op("op", [s, s], {"f": -0.0, "s": "t"})
        r = store.add_reduction("red", [o], {"n": False})
        e = store.add_external(descriptor(preprocessing_ref="p"), [o, r], {"z": 1})
        e2 = store.add_external(descriptor(), [])
        x = store.add_exchange([e], {"scheme": "hash"})
        expected = (
            b"TIR1" + u32(6)
            + u8(0) + bstr("s") + u32(2) + bstr("a") + u8(0) + i64(7) + bstr("b") + u8(2) + u8(1)
            + u8(1) + bstr("op") + u32(2) + bstr("f") + u8(1) + u64(0x8000000000000000)
            + bstr("s") + u8(3) + bstr("t") + u32(2) + u64(s) + u64(s)
            + u8(2) + bstr("red") + u32(1) + bstr("n") + u8(2) + u8(0) + u32(1) + u64(o)
            + u8(3) + bstr("onnx") + bstr("h0") + bstr("ort") + bstr("1") + bstr("f32[]") + u8(1) + bstr("p")
            + u32(1) + bstr("z") + u8(0) + i64(1) + u32(2) + u64(o) + u64(r)
            + u8(3) + bstr("onnx") + bstr("h0") + bstr("ort") + bstr("1") + bstr("f32[]") + u8(0)
            + u32(0) + u32(0)
            + u8(5) + u32(1) + bstr("scheme") + u8(3) + bstr("hash") + u32(1) + u64(e)
            + u32(2) + u64(x) + u64(e2)
        )
        assert store.serialize(outputs=[x, e2]) == expected
        assert encode_nodes(store.nodes(), [x, e2]) == expected

    def test_stage_record(self):
        data = (b"TIR1" + u32(2) + u8(0) + u32(1) + b"s" + u32(0)
                + u8(4) + u32(1) + u64(0) + u32(2)
                + u32(4) + b"op|f" + u32(1) + u8(0) + u32(0)
                + u32(9) + b"op|g|k=i1" + u32(2) + u8(1) + u32(0) + u8(0) + u32(5)
                + u32(1) + u64(1))
        assert data == blob([rec_source("s"),
                             rec_stage([0], [("op|f", [(0, 0)]), ("op|g|k=i1", [(1, 0), (0, 5)])])], [1])
        back = GraphStore.deserialize(data)
        assert back.serialize() == data
        assert back.nodes()[1]["members"][1] == {"kind": "op", "name": "g", "params": {"k": 1},
                                                 "inputs": [("member", 0), ("input", 5)]}

    def test_reduced_store_round_trips(self):
        store = GraphStore()
        s = store.add_source("s")
        a = store.add_op("a", [s])
        b = store.add_op("b", [a], {"k": "x|y;z"})
        c = store.add_reduction("sum", [b])
        reduced, _ = store.reduce(outputs=[c, b])
        data = reduced.serialize()
        assert GraphStore.deserialize(data).serialize() == data
        assert encode_nodes(reduced.nodes(), reduced.outputs()) == data


class TestReaderErrors:
    @pytest.mark.parametrize("data", [b"", b"T", b"TI", b"TIR", b"XYZ"])
    def test_shorter_than_the_magic_is_truncated(self, data):
        assert read_error(data) == TRUNCATED

    @pytest.mark.parametrize("data", [
        b"TIR2" + bytes(8), b"TIR0" + bytes(8), b"tir1" + bytes(8), b"XXXX", b"TIR2", b"\x00" * 4,
        b"TIR1"[::-1] + bytes(8), b"TIR2" + b"\xff" * 3,
    ])
    def test_bad_magic_whatever_follows(self, data):
        assert read_error(data) == BAD_MAGIC

    def test_tags(self):
        assert read_error(b"TIR1" + u32(1) + u8(6)) == "invalid node tag 6"
        assert read_error(b"TIR1" + u32(2) + rec_source("x") + u8(255)) == "invalid node tag 255"
        assert read_error(b"TIR1" + u32(1) + u8(0) + bstr("x") + u32(1) + bstr("k") + u8(4)) == (
            "invalid param tag 4")
        assert read_error(blob([rec_source("x", [("k", (200, b""))])])) == "invalid param tag 200"
        assert read_error(blob([rec_source("s"), rec_stage([0], [("op|f", [(2, 0)])])])) == (
            "invalid stage-ref tag 2")

    def test_invalid_utf8_anywhere(self):
        bad = b"\xc3\x28"
        cases = [
            blob([rec_source(bad)]),
            blob([rec_source("x", [(bad, 1)])]),
            blob([rec_source("x", [("k", (3, bstr(bad)))])]),
            blob([rec_op(bad, [])]),
            blob([rec_reduction(bad, [])]),
            blob([rec_external([], desc=dict(FIELDS, version=bad, preprocessing_ref=None))]),
            blob([rec_external([], desc=dict(FIELDS, preprocessing_ref=bad))]),
            blob([rec_stage([], [(bad, [])])]),
            blob([rec_exchange([], [(b"\xed\xa0\x80", "v")])]),          # an encoded surrogate
            blob([rec_source(b"\xc0\xaf")]),                           # overlong form
        ]
        for data in cases:
            assert read_error(data) == BAD_UTF8, data

    def test_references(self):
        records = [rec_source("a"), rec_source("b"), rec_source("c")]
        assert read_error(blob(records + [rec_op("f", [0, 3])])) == "node reference 3 out of range"
        assert read_error(blob(records + [rec_reduction("f", [9])])) == "node reference 9 out of range"
        assert read_error(blob(records + [rec_external([2, 3])])) == "node reference 3 out of range"
        assert read_error(blob(records + [rec_exchange([2 ** 64 - 1])])) == (
            f"node reference {2 ** 64 - 1} out of range")
        assert read_error(blob(records + [rec_stage([3], [])])) == "node reference 3 out of range"
        # member references must point at an earlier member of the same stage
        for m, refs, bad in [(0, [(1, 0)], 0), (1, [(1, 1)], 1), (1, [(1, 0), (1, 4)], 4)]:
            members = [("op|f", [(0, 0)])] * m + [("op|g", refs)]
            assert read_error(blob(records + [rec_stage([0], members)])) == f"node reference {bad} out of range"
        # an input reference is not compared with the stage's input count
        data = blob(records + [rec_stage([0], [("op|f", [(0, 4000000000)])])])
        assert GraphStore.deserialize(data).nodes()[3]["members"][0]["inputs"] == [("input", 4000000000)]
        # outputs must name a node
        assert read_error(blob(records, [2, 3])) == "node reference 3 out of range"
        assert read_error(blob(records, [2 ** 63])) == f"node reference {2 ** 63} out of range"
        assert GraphStore.deserialize(blob(records, [2])).outputs() == [2]

class TestReaderLeniency:
    def test_params_are_sorted_by_key_bytes_on_reading(self):
        data = blob([rec_source("x", [("b", 1), ("ab", 2), ("a", 3), ("\u00e9", 4), ("Z", 5), ("", 6)])])
        back = GraphStore.deserialize(data)
        assert list(back.nodes()[0]["params"]) == ["", "Z", "a", "ab", "b", "\u00e9"]
        assert back.serialize() == blob([rec_source("x", [("", 6), ("Z", 5), ("a", 3), ("ab", 2), ("b", 1),
                                                          ("\u00e9", 4)])])
        # a store recorded from Python with the same params is the same node
        store = GraphStore()
        store.add_source("x", {"b": 1, "ab": 2, "a": 3, "\u00e9": 4, "Z": 5, "": 6})
        assert store.serialize() == back.serialize()

    def test_data_argument(self):
        data = blob([rec_source("x")], [0])

        class Blob(bytes):
            pass

        assert GraphStore.deserialize(Blob(data)).serialize() == data
        assert GraphStore().deserialize(data).serialize() == data       # static: callable on an instance
        for value, shown in [(bytearray(data), "bytearray"), (memoryview(data), "memoryview"),
                             ("TIR1", "str"), (3, "int"), ([84], "list")]:
            with pytest.raises(TypeError) as info:
                GraphStore.deserialize(value)
            assert str(info.value) == f"argument 'data': '{shown}' object is not an instance of 'bytes'"
        with pytest.raises(TypeError, match="^argument 'data': 'None' is not an instance of 'bytes'$"):
            GraphStore.deserialize(None)

    def test_each_read_is_a_new_store(self):
        data = blob([rec_source("x")], [0])
        a, b = GraphStore.deserialize(data), GraphStore.deserialize(data)
        a.add_source("y")
        assert a.node_count() == 2 and b.node_count() == 1


class TestSerializeOutputs:
    def store_with_marks(self):
        store = GraphStore()
        for name in "abc":
            store.add_source(name)
        return marked(store, [1])

    def output_list(self, data, n_nodes=3):
        # each one-letter source takes 10 bytes after the header
        tail = data[8 + 10 * n_nodes:]
        outputs = read_ids(tail)
        count = len(outputs)
        assert len(tail) == 4 + 8 * count
        return outputs

    def test_default_writes_the_marks(self):
        store = self.store_with_marks()
        assert self.output_list(store.serialize()) == [1]
        assert self.output_list(store.serialize(None)) == [1]
        assert self.output_list(store.serialize(outputs=None)) == [1]

    def test_explicit_outputs_exactly_with_repeats(self):
        store = self.store_with_marks()
        data = store.serialize(outputs=[2, 0, 2])
        assert self.output_list(data) == [2, 0, 2]
        assert GraphStore.deserialize(data).outputs() == [2, 0]
        assert store.outputs() == [1]                       # marks neither read nor changed
        assert self.output_list(store.serialize((2, 0, 2))) == [2, 0, 2]
        assert self.output_list(store.serialize(range(3))) == [0, 1, 2]

    def test_empty_outputs_ignore_the_marks(self):
        store = self.store_with_marks()
        assert self.output_list(store.serialize(outputs=[])) == []
        assert self.output_list(store.serialize(outputs=())) == []

    def test_unknown_id_writes_nothing(self):
        store = self.store_with_marks()
        with pytest.raises(ValueError, match="^no node with id 3$"):
            store.serialize(outputs=[0, 3, 7])
        with pytest.raises(ValueError, match="^no node with id 7$"):
            store.serialize(outputs=[7, 3])
        with pytest.raises(ValueError, match="^no node with id 0$"):
            GraphStore().serialize(outputs=[0])
        with pytest.raises(ValueError, match=f"^no node with id {2 ** 64 - 1}$"):
            store.serialize(outputs=[2 ** 64 - 1])
        with pytest.raises(OverflowError):
            store.serialize(outputs=[2 ** 64])
        with pytest.raises(TypeError, match="^argument 'outputs': "):
            store.serialize(outputs=[0, "1"])
        assert store.outputs() == [1] and store.node_count() == 3

    def test_same_calls_same_bytes(self):
        def make():
            store = GraphStore()
            x = store.add_source("x", {"nan": math.nan, "z": -0.0})
            store.add_op("add", [x, x], {"k": "v"})
            return store.serialize(outputs=[1, 0])
        assert make() == make()

    def test_copies_of_a_round_trip_grow_independently(self):
        store = GraphStore()
        store.add_source("x")
        back = GraphStore.deserialize(store.serialize(outputs=[0]))
        assert back.add_source("x") == 0 and back.add_source("y") == 1
        assert store.node_count() == 1


# --------------------------------------------------------------------------
# round trips of random graphs

graphs = st.tuples(recipes(max_calls=15), st.lists(st.integers(0, 40), max_size=5), st.booleans())


def float_bits_in(store):
    return [[bits_of(v) for v in n["params"].values() if type(v) is float] for n in store.nodes()]


class TestRoundTrips:
    @given(graphs)
    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    def test_serialize_deserialize_serialize(self, case):
        calls, picks, reduce_first = case
        store, got = build(calls)
        outputs = [got[p % len(got)] for p in picks]
        if reduce_first:
            store, _ = store.reduce(outputs=outputs)
            outputs = store.outputs()[::-1]
        data = store.serialize(outputs=outputs)
        assert data == encode_nodes(store.nodes(), outputs)
        back = GraphStore.deserialize(data)
        first_marks = list(dict.fromkeys(outputs))
        assert back.serialize() == store.serialize(outputs=first_marks)
        assert back.serialize(outputs=outputs) == data
        assert back.node_count() == store.node_count()
        assert back.outputs() == first_marks
        want = nodes_key(store)
        want = [k[:1] + (k[0] in first_marks,) + k[2:] for k in want]
        assert nodes_key(back) == want
        assert float_bits_in(back) == float_bits_in(store)   # NaN payloads and -0.0 kept bit for bit
        # with the marks as they now are, the default writes the same bytes
        assert GraphStore.deserialize(back.serialize()).serialize() == back.serialize(outputs=first_marks)

    @given(recipes(max_calls=10))
    @settings(max_examples=60, deadline=None)
    def test_replaying_nodes_rebuilds_the_same_bytes(self, calls):
        store, _ = build(calls)
        replay = GraphStore()
        for n in store.nodes():
            kind, ps, ins = n["kind"], n["params"], n["inputs"]
            if kind == "source":
                got = replay.add_source(n["name"], ps)
            elif kind == "op":
                got = replay.add_op(n["name"], ins, ps)
            elif kind == "reduction":
                got = replay.add_reduction(n["name"], ins, ps)
            elif kind == "external":
                got = replay.add_external(n["descriptor"], ins, ps)
            else:
                got = replay.add_exchange(ins, ps)
            assert got == n["id"]
        assert replay.serialize() == store.serialize()

    def test_special_params_round_trip(self):
        store = GraphStore()
        bits = [0x7FF8000000000000, 0xFFF8000000000001, 0x7FF0000000000001, 0x7FF4000000000000,
                0x8000000000000000, 0, 1, 0x7FF0000000000000, 0xFFF0000000000000]
        for i, b in enumerate(bits):
            store.add_source(f"f{i}", {"v": float_from_bits(b)})
        store.add_source("big", {"p": 2 ** 64, "n": -(2 ** 64) - 1})
        store.add_source("s", {"a%3B|;=": "%3B|;=\u00e9\u540d\n", "": ""})
        data = store.serialize()
        for b in bits:
            assert u64(b) in data
        assert param_entry("p", float(2 ** 64)) in data
        back = GraphStore.deserialize(data)
        assert float_bits_in(back) == float_bits_in(store)
        assert [bits_of(n["params"]["v"]) for n in back.nodes()[:len(bits)]] == bits
        assert back.nodes()[len(bits)]["params"] == {"n": -float(2 ** 64), "p": float(2 ** 64)}
        assert back.nodes()[-1]["params"] == {"": "", "a%3B|;=": "%3B|;=\u00e9\u540d\n"}
        assert back.serialize() == data

    def test_nans_are_one_node_and_the_first_bits_are_kept(self):
        store = GraphStore()
        a = store.add_source("x", {"v": float_from_bits(0x7FF8000000000001)})
        b = store.add_source("x", {"v": float_from_bits(0xFFF8000000000002)})
        assert a == b == 0
        data = store.serialize()
        assert u64(0x7FF8000000000001) in data
        # a forged blob with both NaNs reads back as one node
        forged = blob([rec_source("x", {"v": float_from_bits(0x7FF8000000000001)}),
                       rec_source("x", {"v": float_from_bits(0xFFF8000000000002)})], [1])
        back = GraphStore.deserialize(forged)
        assert back.node_count() == 1 and back.outputs() == [0] and back.serialize() == data[:-4] + ids([0])


def test_the_committed_fuzz_seeds_are_what_the_corpus_script_writes():
    # the script builds its seeds with this suite's encoder: a change there
    # must come with the seeds written again
    seeds = dict(runpy.run_path(os.path.join(FUZZ, "make_corpus.py"), run_name="seeds")["seeds"]())
    corpus = os.path.join(FUZZ, "corpus")
    assert sorted(seeds) == sorted(f.removesuffix(".bin") for f in os.listdir(corpus))
    for name, data in seeds.items():
        with open(os.path.join(corpus, name + ".bin"), "rb") as f:
            assert f.read() == data, name
