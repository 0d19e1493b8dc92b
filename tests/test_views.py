"""What a Python user sees of a recorded graph: nodes(), outputs(),
node_count() and the DOT text of to_dot()."""
import math
import re
import shutil
import subprocess
from xml.etree import ElementTree
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from graphgen import (
    FIELDS, bits_of, blob, build, descriptor, float_from_bits, float_values, rec_op,
    rec_source, rec_stage, recipes,
)
from tavrine_core import GraphStore

EMPTY_DOT = "digraph tavrine {\n}\n"


def marked(store, outputs):
    """The same graph with `outputs` as its marks (marks only come from a blob
    or a reduction)."""
    return GraphStore.deserialize(store.serialize(outputs=outputs))


def stage_store(token="op|f", refs=((0, 0),)):
    """A source and a one-member stage over it, read from a blob."""
    return GraphStore.deserialize(blob([rec_source("s"), rec_stage([0], [(token, list(refs))])]))


def label_of(store, node_id):
    """The label text of one node line, as written (escapes included)."""
    text = store.to_dot()
    head = f'\n  n{node_id} [label="'
    start = text.index(head) + len(head)
    label = re.match(r'((?:[^"\\]|\\.)*)"', text[start:], re.DOTALL).group(1)
    assert text[start + len(label):].startswith(('"];\n', '", shape=doublecircle];\n'))
    return label


# --------------------------------------------------------------------------
# an independent rendering, to compare whole DOT texts against

def float_text(x):
    """Shortest round-trip decimal in positional form (Python's repr is the
    shortest round-trip form, so only its exponent needs unfolding)."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def value_label(v):
    if type(v) is bool:
        return "true" if v else "false"
    if type(v) is float:
        return float_text(v)
    return str(v)


def params_label(ps):
    return " {" + ", ".join(f"{k}={value_label(v)}" for k, v in ps.items()) + "}" if ps else ""


# Graphviz shows a NUL as the symbol for it (its own texts end at one), and
# reads at most LONGEST bytes between the quotes of one string; a longer
# label is written as strings joined with " + ", each cut before a whole
# character or escape.
NUL_TEXT = "&#9216;"
LONGEST = 16381


def quoted(label):
    raw = label.encode("utf-8")
    if len(raw) <= LONGEST:
        return f'"{label}"'
    pieces, start, i = [], 0, 0
    while i < len(raw):
        step = 2 if raw[i] == 0x5C else 1  # a backslash and what it escapes
        while i + step < len(raw) and raw[i + step] & 0xC0 == 0x80:
            step += 1  # the rest of a UTF-8 character
        if i + step - start > LONGEST:
            pieces.append(raw[start:i])
            start = i
        i += step
    pieces.append(raw[start:])
    return " + ".join('"' + p.decode("utf-8") + '"' for p in pieces)


def reference_dot(store):
    nodes = store.nodes()
    lines = ["digraph tavrine {"]
    for n in nodes:
        kind = n["kind"]
        if kind == "source":
            label = "Source " + n["name"]
        elif kind == "op":
            label = "Op " + n["name"]
        elif kind == "reduction":
            label = "Reduction " + n["name"]
        elif kind == "external":
            d = n["descriptor"]
            label = f"External {d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]"
        elif kind == "stage":
            label = f"Stage[{n['n_members']} members]"
        else:
            label = "Exchange"
        label += params_label(n["params"])
        label = label.replace("\\", "\\\\").replace('"', '\\"').replace("\0", NUL_TEXT)
        shape = ", shape=doublecircle" if n["output"] else ""
        lines.append(f'  n{n["id"]} [label={quoted(label)}{shape}];')
    for n in nodes:
        for i in n["inputs"]:
            lines.append(f"  n{i} -> n{n['id']};")
    return "\n".join(lines) + "\n}\n"


# --------------------------------------------------------------------------

class TestSmallStores:
    def test_empty_store(self):
        store = GraphStore()
        assert store.node_count() == 0
        assert store.outputs() == []
        assert store.nodes() == []
        assert store.to_dot() == EMPTY_DOT

    def test_source_and_marked_op(self):
        store = GraphStore()
        store.add_source("x")
        store.add_op("f", [0])
        assert store.to_dot() == (
            "digraph tavrine {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op f\"];\n"
            "  n0 -> n1;\n"
            "}\n")
        assert marked(store, [1]).to_dot() == (
            "digraph tavrine {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op f\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n")

    def test_result_types(self):
        store = GraphStore()
        store.add_source("x")
        assert type(store.node_count()) is int
        assert type(store.outputs()) is list
        assert type(store.nodes()) is list and type(store.nodes()[0]) is dict
        assert type(store.to_dot()) is str

    def test_views_change_nothing_and_return_fresh_objects(self):
        store = GraphStore()
        store.add_source("x", {"p": 1})
        store.add_op("f", [0])
        before = store.serialize()
        first = store.nodes()
        first[0]["params"]["p"] = 2
        first[1]["inputs"].append(7)
        first.clear()
        store.outputs().append(0)
        store.to_dot()
        assert store.nodes()[0]["params"] == {"p": 1}
        assert store.nodes()[1]["inputs"] == [0]
        assert store.outputs() == []
        assert store.serialize() == before

    def test_docstrings(self):
        assert GraphStore.nodes.__doc__ == (
            "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
            "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
            "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
            "`descriptor` dict for external nodes and `n_members` for stage nodes.")
        assert GraphStore.outputs.__doc__ == (
            "The marked output node ids, in mark order (what an IR evaluator returns, in order).")
        for name in ("nodes", "outputs", "node_count", "to_dot"):
            assert getattr(GraphStore, name).__text_signature__ == "($self)"
        assert GraphStore.node_count.__doc__ in (None, "")
        assert GraphStore.to_dot.__doc__ in (None, "")


class TestNodeDicts:
    def test_key_order_and_values_per_kind(self):
        store = GraphStore()
        x = store.add_source("x", {"b": 1, "a": "s"})
        f = store.add_op("f", [x, x], {"k": 2.5})
        r = store.add_reduction("sum", [f])
        e = store.add_external(descriptor(), [f, r], {"z": False})
        ex = store.add_exchange([e])
        nodes = store.nodes()
        common = ["id", "output", "inputs", "kind", "name", "params"]
        assert [list(n) for n in nodes] == [common] * 3 + [common + ["descriptor"]] + [common]
        assert nodes[x] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x",
                            "params": {"a": "s", "b": 1}}
        assert list(nodes[x]["params"]) == ["a", "b"]      # stored (sorted) order
        assert nodes[f] == {"id": 1, "output": False, "inputs": [0, 0], "kind": "op", "name": "f",
                            "params": {"k": 2.5}}
        assert nodes[r]["kind"] == "reduction" and nodes[r]["name"] == "sum" and nodes[r]["params"] == {}
        assert nodes[e]["name"] == "" and nodes[e]["params"] == {"z": False}
        assert nodes[e]["inputs"] == [1, 2]
        assert nodes[ex] == {"id": 4, "output": False, "inputs": [3], "kind": "exchange", "name": "",
                             "params": {}}

    def test_descriptor_dict(self):
        store = GraphStore()
        store.add_external(descriptor(), [])
        store.add_external(descriptor(preprocessing_ref=""), [])
        store.add_external(dict(FIELDS, preprocessing_ref="norm"), [])
        d = [n["descriptor"] for n in store.nodes()]
        assert list(d[0]) == ["kind", "content_hash", "framework", "version", "io_schema",
                              "preprocessing_ref"]
        assert d[0] == dict(FIELDS, preprocessing_ref=None)
        assert d[1]["preprocessing_ref"] == ""
        assert d[2]["preprocessing_ref"] == "norm"

    def test_param_value_types(self):
        store = GraphStore()
        store.add_source("x", {"i": 1, "f": 1.0, "b": True, "s": "1", "big": 2 ** 70, "neg": -(2 ** 63)})
        ps = store.nodes()[0]["params"]
        assert list(ps) == ["b", "big", "f", "i", "neg", "s"]
        assert [type(ps[k]) for k in ps] == [bool, float, float, int, int, str]
        assert ps["big"] == float(2 ** 70) and ps["neg"] == -(2 ** 63)

    def test_float_bits_are_shown_as_stored(self):
        store = GraphStore()
        for bits in (0x8000000000000000, 0x7FF0000000000001, 0xFFF8000000000123, 1):
            store.add_source(f"b{bits}", {"v": float_from_bits(bits)})
        shown = [bits_of(n["params"]["v"]) for n in store.nodes()]
        assert shown == [0x8000000000000000, 0x7FF0000000000001, 0xFFF8000000000123, 1]

    def test_outputs_in_mark_order_and_flags(self):
        store = GraphStore()
        for name in "abcd":
            store.add_source(name)
        store = marked(store, [3, 1, 3])
        assert store.outputs() == [3, 1]
        assert [n["output"] for n in store.nodes()] == [False, True, False, True]
        assert [n["id"] for n in store.nodes()] == [0, 1, 2, 3]
        lines = store.to_dot().splitlines()
        assert lines[2] == '  n1 [label="Source b", shape=doublecircle];'
        assert lines[4] == '  n3 [label="Source d", shape=doublecircle];'
        assert lines[1] == '  n0 [label="Source a"];'


class TestStageMembers:
    def test_three_member_stage(self):
        store = GraphStore.deserialize(blob([
            rec_source("s"), rec_source("t"),
            rec_stage([0, 1], [("op|f", [(0, 0)]),
                               ("op|add", [(1, 0), (0, 1)]),
                               ("red|sum|axis=i0", [(1, 1), (1, 0)])]),
        ]))
        stage = store.nodes()[2]
        assert list(stage) == ["id", "output", "inputs", "kind", "name", "params", "n_members", "members"]
        assert stage["kind"] == "stage" and stage["name"] == "" and stage["params"] == {}
        assert stage["n_members"] == 3 and stage["inputs"] == [0, 1]
        assert stage["members"] == [
            {"kind": "op", "name": "f", "params": {}, "inputs": [("input", 0)]},
            {"kind": "op", "name": "add", "params": {}, "inputs": [("member", 0), ("input", 1)]},
            {"kind": "red", "name": "sum", "params": {"axis": 0}, "inputs": [("member", 1), ("member", 0)]},
        ]
        for m in stage["members"]:
            assert list(m) == ["kind", "name", "params", "inputs"]
            assert all(type(ref) is tuple for ref in m["inputs"])
        # members are not drawn: only the stage's own inputs have edges
        assert store.to_dot() == (
            "digraph tavrine {\n"
            '  n0 [label="Source s"];\n'
            '  n1 [label="Source t"];\n'
            '  n2 [label="Stage[3 members]"];\n'
            "  n0 -> n2;\n"
            "  n1 -> n2;\n"
            "}\n")

    def test_stage_without_members(self):
        store = GraphStore.deserialize(blob([rec_stage([], [])]))
        assert store.nodes()[0]["n_members"] == 0 and store.nodes()[0]["members"] == []
        assert label_of(store, 0) == "Stage[0 members]"

    @pytest.mark.parametrize("token, name, ps", [
        ("op|f", "f", {}),
        ("red|f", "f", {}),
        ("op|", "", {}),
        ("op||", "", {}),
        ("op|f|", "f", {}),
        ("op|a%7Cb%3Bc%3Dd%25e", "a|b;c=d%e", {}),
        ("op|%253B", "%3B", {}),
        ("op|%2", "%2", {}),
        ("op|f|=i1", "f", {"": 1}),
        ("op|f|k=sa|b", "f", {"k": "a|b"}),           # the third field keeps later | characters
        ("op|f|k=sx=y", "f", {"k": "x=y"}),
        ("op|f|k=s", "f", {"k": ""}),
        ("op|f|k%3D=s%3B", "f", {"k=": ";"}),
        ("op|f|a=i+5;b=i-9223372036854775808", "f", {"a": 5, "b": -(2 ** 63)}),
        ("op|f|a=btrue;b=bfalse", "f", {"a": True, "b": False}),
        ("op|f|b=i1;a=i2", "f", {"a": 2, "b": 1}),     # sorted after reading
        ("op|add|scalar=f0000000000000000;side=sr", "add", {"scalar": 0.0, "side": "r"}),
    ])
    def test_member_token_decoding(self, token, name, ps):
        member = stage_store(token).nodes()[1]["members"][0]
        assert member["name"] == name
        assert member["params"] == ps
        assert list(member["params"]) == list(ps)
        assert [type(v) for v in member["params"].values()] == [type(v) for v in ps.values()]
        assert member["kind"] == token.split("|")[0]

    @pytest.mark.parametrize("token, bits", [
        ("op|f|a=f+1", 1),
        ("op|f|a=f8000000000000000", 0x8000000000000000),
        ("op|f|a=f0000000000000000000001", 1),                  # leading zeros
        ("op|f|a=fFFF8000000000abc", 0xFFF8000000000ABC),       # either case, bits kept
        ("op|f|a=f3ff", 0x3FF),
    ])
    def test_member_float_params_by_bits(self, token, bits):
        assert bits_of(stage_store(token).nodes()[1]["members"][0]["params"]["a"]) == bits

    @pytest.mark.parametrize("token", [
        "xx|foo", "OP|f", "stage|1", "src|x", "", "op", "red", "op|f|a", "op|f|a=x1", "op|f|a=i",
        "op|f|a=i1;", "op|f|;", "op|f|a=", "op|f|a=btru", "op|f|a=bTrue", "op|f|a=i1x",
        "op|f|a=i9223372036854775808", "op|f|a=i-9223372036854775809", "op|f|a=f10000000000000000",
        "op|f|a=f", "op|f|a=f-1", "op|f|a=fg", "op|f|a=i+", "op|f|a=i--1", "op|f|a=\u00e9x",
    ])
    def test_unparseable_tokens(self, token):
        store = stage_store(token)
        with pytest.raises(ValueError) as info:
            store.nodes()
        assert str(info.value) == "unparseable stage member token " + token
        # the other views and the writer do not read tokens
        assert label_of(store, 1) == "Stage[1 members]"
        assert store.node_count() == 2
        data = blob([rec_source("s"), rec_stage([0], [(token, [(0, 0)])])])
        assert GraphStore.deserialize(data).serialize() == data

    def test_first_bad_member_fails_the_whole_call(self):
        store = GraphStore.deserialize(blob([
            rec_source("s"), rec_stage([0], [("op|f", [(0, 0)]), ("bad|g", [(1, 0)]), ("zz", [])]),
        ]))
        with pytest.raises(ValueError, match=r"^unparseable stage member token bad\|g$"):
            store.nodes()


class TestLabels:
    def test_kinds(self):
        store = GraphStore()
        store.add_source("x")
        store.add_op("f", [0], {"scalar": 0.0, "side": "r"})
        store.add_reduction("sum", [1], {"axis": -1, "keep": True})
        store.add_external(descriptor(), [2], {"n": "two words"})
        store.add_exchange([3])
        store.add_exchange([3], {"scheme": "hash"})
        store.add_source("")
        store.add_external(dict(FIELDS, preprocessing_ref="ignored"), [])
        assert [label_of(store, i) for i in range(store.node_count())] == [
            "Source x",
            "Op f {scalar=0, side=r}",
            "Reduction sum {axis=-1, keep=true}",
            "External onnx:h0 [ort 1] {n=two words}",
            "Exchange",
            "Exchange {scheme=hash}",
            "Source ",
            "External onnx:h0 [ort 1]",
        ]

    def test_escaping(self):
        store = GraphStore()
        store.add_source('a"b')
        store.add_source("a\\b")
        store.add_source("x", {'k"\\': 'v"\\', "n": "line\nbreak"})
        store.add_external(dict(FIELDS, kind='"q"', content_hash="\\"), [])
        assert store.to_dot().splitlines()[1:3] == [
            '  n0 [label="Source a\\"b"];',
            '  n1 [label="Source a\\\\b"];',
        ]
        assert label_of(store, 2) == 'Source x {k\\"\\\\=v\\"\\\\, n=line\nbreak}'
        assert label_of(store, 3) == 'External \\"q\\":\\\\ [ort 1]'

    def test_bool_int_str_values(self):
        store = GraphStore()
        store.add_source("x", {"t": True, "f": False, "i": -12, "big": 2 ** 63 - 1, "s": "1.0", "e": ""})
        assert label_of(store, 0) == "Source x {big=9223372036854775807, e=, f=false, i=-12, s=1.0, t=true}"

    @pytest.mark.parametrize("value, text", [
        (1.0, "1"), (0.5, "0.5"), (1e21, "1" + "0" * 21), (-0.0, "-0"), (0.0, "0"),
        (math.nan, "NaN"), (-math.nan, "NaN"), (float_from_bits(0x7FF0000000000001), "NaN"),
        (math.inf, "inf"), (-math.inf, "-inf"),
        (0.1, "0.1"), (-2.5, "-2.5"), (1e-7, "0.0000001"), (1e16, "10000000000000000"),
        (123456789012345678.0, "123456789012345680"), (float(2 ** 70), "1180591620717411300000"),
        (5e-324, "0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (1000000000000000.5, "1000000000000000.5"), (2.2250738585072014e-308, "0." + "0" * 307 + "22250738585072014"),
    ])
    def test_float_text(self, value, text):
        store = GraphStore()
        store.add_source("x", {"v": value})
        assert label_of(store, 0) == "Source x {v=" + text + "}"

    @given(st.lists(float_values, min_size=1, max_size=20))
    @settings(max_examples=100, deadline=None)
    def test_float_text_is_the_shortest_positional_round_trip(self, values):
        store = GraphStore()
        for i, v in enumerate(values):
            store.add_source(f"x{i}", {"v": v})
        for i, v in enumerate(values):
            text = label_of(store, i)[len(f"Source x{i} {{v="):-1]
            assert text == float_text(v)
            assert "e" not in text and "E" not in text
            if not math.isnan(v):
                assert bits_of(float(text)) == bits_of(v)

    def test_edges_follow_all_nodes_in_input_order(self):
        store = GraphStore()
        store.add_source("a")
        store.add_source("b")
        store.add_op("f", [0, 1])
        store.add_op("g", [2, 0, 2])
        assert store.to_dot().splitlines()[5:] == [
            "  n0 -> n2;", "  n1 -> n2;", "  n2 -> n3;", "  n0 -> n3;", "  n2 -> n3;", "}"]


dot_graphs = st.tuples(recipes(max_calls=12), st.lists(st.integers(0, 40), max_size=4),
                       st.sampled_from(["plain", "marked", "reduced"]))


@pytest.mark.skipif(shutil.which("dot") is None, reason="graphviz `dot` is not installed")
class TestGraphviz:
    @given(dot_graphs)
    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    def test_random_graphs_render(self, case):
        calls, picks, how = case
        store, got = build(calls)
        outputs = [got[p % len(got)] for p in picks]
        if how == "marked":
            store = marked(store, outputs)
        elif how == "reduced":
            store, _ = store.reduce(outputs=outputs)
        text = store.to_dot()
        assert text == reference_dot(store)
        done = subprocess.run(["dot", "-Tsvg"], input=text.encode("utf-8"), capture_output=True)
        assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
        assert b"<svg" in done.stdout

    def test_hostile_labels_render(self):
        store = GraphStore()
        for name in ['"', "\\", "\\\"", "a\\", "}", "];", "\\n", "\n", "<b>", "\u00e9\u540d", "%3B|;="]:
            store.add_source(name, {name: name})
        store.add_external(dict(FIELDS, kind="\\", version='"'), list(range(store.node_count())))
        done = subprocess.run(["dot", "-Tsvg"], input=store.to_dot().encode("utf-8"), capture_output=True)
        assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
        assert store.to_dot() == reference_dot(store)


def test_nul_characters_and_long_labels_render_intact():
    store = GraphStore()
    long_name = ("x\\\"\u00e9\u540d\0" * 3000)[:-1] + "end"  # escapes and wide characters at every cut
    names = ["a\0b", "\0", long_name, "y" * (LONGEST - len("Source ")), "z" * (LONGEST - len("Source ") + 1)]
    for name in names:
        store.add_source(name)
    store.add_source("p", {"k\0": "v\0w", "long": "q" * 40_000})
    store.add_external(dict(FIELDS, kind="\0k", version="\0" * 3), [0])
    text = store.to_dot()
    assert "\0" not in text
    assert text == reference_dot(store)
    # The label just below the limit is one string, the one above two.
    assert f'[label="Source {"y" * (LONGEST - 7)}"];' in text
    assert f'[label="Source {"z" * (LONGEST - 7)}" + "z"];' in text
    if shutil.which("dot") is None:
        pytest.skip("graphviz `dot` is not installed")
    done = subprocess.run(["dot", "-Tsvg"], input=text.encode("utf-8"), capture_output=True)
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
    svg = "{http://www.w3.org/2000/svg}"
    drawn = {}  # node name -> the text drawn in it
    for g in ElementTree.fromstring(done.stdout).iter(svg + "g"):
        if g.get("class") == "node":
            drawn[int(g.find(svg + "title").text[1:])] = "".join(t.text for t in g.iter(svg + "text"))
    nodes = store.nodes()
    expected = [f"Source {n['name']}" for n in nodes[:len(names)]]
    expected.append("Source p {k\0=v\0w, long=" + "q" * 40_000 + "}")
    expected.append(f"External \0k:{FIELDS['content_hash']} [{FIELDS['framework']} \0\0\0]")
    assert drawn == {i: e.replace("\0", "\u2400") for i, e in enumerate(expected)}
