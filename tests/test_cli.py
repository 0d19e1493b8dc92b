"""The command line, run as a user runs it: python -m tavrine_core ..."""
import subprocess
import sys

import pytest

from tavrine_core import GraphStore, PayloadDescriptor


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tavrine_core", *map(str, args)], capture_output=True, text=True,
                          timeout=120, cwd=cwd)


@pytest.fixture
def blob(tmp_path):
    store = GraphStore()
    x = store.add_source("prices", {"partition": 0})
    y = store.add_source("qty")
    a = store.add_op("mul", [x, y])
    b = store.add_op("mul", [y, x])
    c = store.add_op("neg", [store.add_op("add", [a], {"scalar": 0.0, "side": "r"})])
    d = PayloadDescriptor(kind="onnx", content_hash="sha256:1", framework="ort", version="1", io_schema="s")
    e = store.add_external(d, [c])
    t = store.add_reduction("sum", [store.add_exchange([e], {"scheme": "hash"})])
    path = tmp_path / "g.tir"
    path.write_bytes(store.serialize(outputs=[t, b, a]))
    return path


class TestCommands:
    def test_inspect_lists_every_node_and_stage_members(self, blob, tmp_path):
        out = cli("inspect", blob)
        assert out.returncode == 0 and out.stderr == ""
        lines = out.stdout.splitlines()
        assert lines[0] == "0  source    prices {partition=0}"
        assert lines[2] == "2  op        mul  <- 0, 1  [output]"
        assert lines[6] == "6  external  onnx:sha256:1 [ort 1]  <- 5"
        assert lines[7] == "7  exchange  {scheme=hash}  <- 6"
        assert lines[8] == "8  reduction sum  <- 7  [output]"
        # A reduced graph: members indented under their stage.
        reduced = tmp_path / "r.tir"
        assert cli("reduce", blob, "-o", reduced).returncode == 0
        text = cli("inspect", reduced).stdout
        assert "2  stage     [1 members]  <- 0, 1  [output]\n     m0  op  mul  <- in0, in1\n" in text
        assert "     m0  op  add {scalar=0, side=r}" not in text  # the identity is gone

    def test_dot_prints_or_writes_and_opens_stages(self, blob, tmp_path):
        store = GraphStore.deserialize(blob.read_bytes())
        out = cli("dot", blob)
        assert out.returncode == 0 and out.stdout == store.to_dot()
        reduced, _ = store.reduce()
        path = tmp_path / "r.tir"
        path.write_bytes(reduced.serialize())
        target = tmp_path / "r.dot"
        assert cli("dot", path, "--open-stages", "-o", target).stdout == ""
        text = target.read_text()
        assert text.startswith("digraph stages {") and "subgraph cluster_" in text
        assert 'label="neg"' in text

    def test_reduce_writes_the_blob_and_prints_report_and_output_ids(self, blob, tmp_path):
        out = cli("reduce", blob, "--outputs", "3,2,8")
        assert out.returncode == 0, out.stderr
        store = GraphStore.deserialize(blob.read_bytes())
        reduced, report, ids = store.reduce_with_output_ids(outputs=[3, 2, 8])
        written = tmp_path / "g.reduced.tir"
        assert written.read_bytes() == reduced.serialize()
        assert f"output ids: {', '.join(map(str, ids))}" in out.stdout
        for key, value in report.items():
            assert f"  {key:<16}{value}\n" in out.stdout
        target = tmp_path / "max.tir"
        assert cli("reduce", blob, "-o", target, "--maximal-fusion").returncode == 0
        assert target.read_bytes() == store.reduce(maximal_fusion=True)[0].serialize()

    def test_help(self):
        out = cli("--help")
        assert out.returncode == 0 and all(c in out.stdout for c in ("inspect", "dot", "reduce"))


class TestFailures:
    @pytest.mark.parametrize("args,text", [
        (["inspect", "{tmp}/missing.tir"], "cannot read {tmp}/missing.tir: No such file or directory"),
        (["dot", "{tmp}"], "cannot read {tmp}: Is a directory"),
        (["inspect", "{tmp}/bad.tir"], "{tmp}/bad.tir is not a graph blob: "),
        (["reduce", "{tmp}/empty.tir"], "{tmp}/empty.tir is not a graph blob: "),
        (["reduce", "{tmp}/ok.tir", "--outputs", "7"], "{tmp}/ok.tir: no node with id 7"),
        (["reduce", "{tmp}/ok.tir", "-o", "{tmp}/no/such/dir.tir"], "cannot write {tmp}/no/such/dir.tir: "),
        (["reduce", "{tmp}/ok.tir", "--outputs", "a,b"], "error: argument --outputs: not a comma-separated"),
        (["frobnicate"], "error: argument COMMAND: invalid choice"),
        ([], "error: the following arguments are required"),
    ])
    def test_one_line_on_stderr_and_a_failure_status(self, tmp_path, args, text):
        (tmp_path / "bad.tir").write_bytes(b"TIR1\x00garbage")
        (tmp_path / "empty.tir").write_bytes(b"")
        ok = GraphStore()
        ok.add_source("x")
        (tmp_path / "ok.tir").write_bytes(ok.serialize())
        out = cli(*[a.format(tmp=tmp_path) for a in args])
        assert out.returncode != 0 and out.stdout == ""
        assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr, out.stderr
        assert out.stderr.startswith("python -m tavrine_core")
        assert text.format(tmp=tmp_path) in out.stderr
