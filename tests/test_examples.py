"""The shipped examples, run as a user runs them (at a small size), and the
copyreg recipe they rely on to move stores between processes."""
import copyreg
import os
import pickle
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import graphgen
from tavrine_core import GraphStore

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
sys.path.insert(0, EXAMPLES)
import store_pickling  # noqa: E402


def run(script, *args, timeout=300):
    out = subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *args], capture_output=True, text=True,
                         timeout=timeout)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


class TestExamples:
    def test_quickstart(self):
        text = run("quickstart.py")
        assert "round trip byte-identical: True" in text
        # The identity and the commuted maximum are gone after the reduction.
        report = dict(re.findall(r"^  (\w+)\s+(\d+)$", text, re.M))
        assert int(report["canonical_nodes"]) < int(report["reachable_nodes"])

    def test_pipeline_reloads_the_blob_in_a_second_process(self):
        text = run("pipeline.py", "--size", "4")
        written = re.search(r"wrote (\d+) bytes .* sha256 (\w+)", text)
        loaded = re.search(r"loaded (\d+) nodes .* (\d+) outputs, sha256 (\w+)", text)
        assert written and loaded, text
        assert written.group(2) == loaded.group(3)
        # Four days: a revenue and a tax per day, and the grand total.
        assert loaded.group(2) == "9"

    def test_pipeline_writes_the_file_it_is_asked_for(self, tmp_path):
        path = tmp_path / "days.tir"
        run("pipeline.py", "--size", "2", "--out", str(path))
        store = GraphStore.deserialize(path.read_bytes())
        assert len(store.outputs()) == 5
        assert {n["kind"] for n in store.nodes()} == {"source", "stage", "reduction"}

    def test_run_on_dask(self):
        pytest.importorskip("dask")
        pytest.importorskip("numpy")
        text = run("run_on_dask.py", "--size", "2", "--rows", "64")
        assert "ok: the reduced graph computes what the recorded graph computes" in text
        try:
            import dask.distributed  # noqa: F401
        except ImportError:
            assert "skipping the LocalCluster run" in text
        else:
            assert "a reduced store shipped to a worker computes the same total" in text


def test_every_example_is_run_here():
    """The scripts are run above and the one library is imported; a new
    example needs a test of its own."""
    files = sorted(f for f in os.listdir(EXAMPLES) if f.endswith(".py"))
    scripts = [f for f in files if 'if __name__ == "__main__":' in open(os.path.join(EXAMPLES, f)).read()]
    assert scripts == ["pipeline.py", "quickstart.py", "run_on_dask.py"]
    assert sorted(set(files) - set(scripts)) == ["store_pickling.py"]


@pytest.fixture
def registered():
    store_pickling.register()
    try:
        yield
    finally:
        # The registration is process-wide; other tests check that the
        # classes themselves refuse to pickle.
        copyreg.dispatch_table.pop(GraphStore, None)


class TestPickleRecipe:
    @settings(max_examples=60, deadline=None)
    @given(calls=graphgen.recipes(rich=True), reduce_first=st.booleans(), protocol=st.integers(0, 5))
    def test_a_store_comes_back_with_its_ids_and_marks(self, calls, reduce_first, protocol):
        store, _ = graphgen.build(calls)
        if reduce_first:  # stages and output marks
            store, _ = store.reduce(outputs=graphgen.sinks(store))
        store_pickling.register()
        try:
            back = pickle.loads(pickle.dumps(store, protocol=protocol))
        finally:
            copyreg.dispatch_table.pop(GraphStore, None)
        assert type(back) is GraphStore and back is not store
        assert back.serialize() == store.serialize()
        assert back.outputs() == store.outputs()

    def test_the_pickle_needs_only_the_module(self, registered, tmp_path):
        store = GraphStore()
        store.add_op("neg", [store.add_source("x")])
        path = tmp_path / "store.pickle"
        path.write_bytes(pickle.dumps(store.reduce(outputs=[1])[0]))
        code = ("import pickle, sys; s = pickle.load(open(sys.argv[1], 'rb'));"
                " print(s.node_count(), s.outputs(), 'store_pickling' in sys.modules)")
        out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
        assert out.stdout.split() == ["2", "[1]", "False"]
