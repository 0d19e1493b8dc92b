"""The documented way to run a script of one's own against the built module:
`scripts/devroot python SCRIPT` (and `shell`) from a folder outside the
checkout. The suite itself runs in the development environment, so the
command takes its native path here; which folders a run from the machine
would make visible is checked through `scripts/devroot binds`."""
import os
import subprocess
import sys
import tempfile

import pytest

CHECKOUT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
DEVROOT = os.path.join(CHECKOUT, "scripts", "devroot")
BUILT = os.path.exists(os.path.join(CHECKOUT, "build", "venv", "pyvenv.cfg"))

SCRIPT = """\
import pathlib
import tavrine_core

store = tavrine_core.GraphStore()
x = store.add_source(pathlib.Path("name.txt").read_text().strip())
y = store.add_op("neg", [x])
print("recorded", store.nodes()[y])
"""


def devroot(*args, cwd, env=None, stdin=None):
    return subprocess.run([DEVROOT, *args], cwd=cwd, capture_output=True, text=True, input=stdin,
                          env={**os.environ, **(env or {})}, timeout=120)


@pytest.fixture
def own_folder():
    """A folder of the user's, outside the checkout, with a script and a file
    it reads by a relative path."""
    with tempfile.TemporaryDirectory(prefix="own-code-") as d:
        d = os.path.realpath(d)
        assert not d.startswith(CHECKOUT + os.sep)
        with open(os.path.join(d, "mine.py"), "w") as f:
            f.write(SCRIPT)
        with open(os.path.join(d, "name.txt"), "w") as f:
            f.write("prices\n")
        yield d


class TestOwnScript:
    def test_python_runs_a_script_in_the_current_folder(self, own_folder):
        out = devroot("python", "mine.py", cwd=own_folder)
        if not BUILT:
            # A checkout without make build (make package's copy of the tree)
            # gets the instruction instead.
            assert out.returncode == 1 and "run make build there first" in out.stderr, out.stderr
            return
        assert out.returncode == 0, out.stderr
        assert out.stdout == ("recorded {'id': 1, 'output': False, 'inputs': [0], 'kind': 'op', "
                              "'name': 'neg', 'params': {}}\n")

    def test_shell_has_the_venv_active(self, own_folder):
        out = devroot("shell", cwd=own_folder, stdin='python mine.py; echo "in $PWD"\n')
        if not BUILT:
            assert out.returncode == 1 and "run make build there first" in out.stderr, out.stderr
            return
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines()[0].startswith("recorded {'id': 1,")
        assert f"in {own_folder}" in out.stdout


class TestBinds:
    def test_the_current_folder_is_bound_beside_the_checkout(self, own_folder):
        out = devroot("binds", cwd=own_folder)
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == [CHECKOUT, own_folder]

    @pytest.mark.parametrize("where", ["", "tests", "/"])
    def test_inside_the_checkout_or_at_the_top_only_the_checkout(self, where):
        out = devroot("binds", cwd=os.path.join(CHECKOUT, where))
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == [CHECKOUT]

    def test_a_folder_of_the_root_itself_is_refused(self, own_folder, tmp_path):
        # A stand-in root holding files at the current folder's path, as the
        # real root does at /usr; empty folders (old mount points) pass.
        fake = tmp_path / "root"
        (fake / own_folder.lstrip("/") / "sub").mkdir(parents=True)
        assert devroot("binds", cwd=own_folder, env={"TAVRINE_DEVROOT": str(fake)}).returncode == 0
        (fake / own_folder.lstrip("/") / "sub" / "file").write_text("x")
        out = devroot("binds", cwd=own_folder, env={"TAVRINE_DEVROOT": str(fake)})
        assert out.returncode == 2
        assert "is a folder of the development root itself" in out.stderr
