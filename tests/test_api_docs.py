"""The type stubs carry help for every public name, and docs/api.md lists
every name the stubs declare, with the stubs' signatures.

The names come from the stub files themselves (every .pyi of the checkout,
or of the installed distribution when the tests run outside a checkout) and
from the `__all__` of the package's Python modules, parsed with ast, so a
name added to either fails here until it has a docstring and its entry on
the reference page."""
import ast
import importlib.metadata
import os
import re

import pytest

CHECKOUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
API = os.path.join(CHECKOUT, "docs", "api.md")


def package_files(suffix):
    """The package's files ending in `suffix`: in the checkout, or in the
    installed distribution when the tests run from a copy without the
    sources (make package)."""
    found = []
    for top, dirs, files in os.walk(CHECKOUT):
        dirs[:] = [d for d in dirs if not d.startswith(".") and not (top == CHECKOUT and d == "build")]
        if os.path.basename(top) == "tavrine_core":
            found += [os.path.join(top, f) for f in files if f.endswith(suffix)]
    if not found:
        dist = importlib.metadata.files("tavrine-core") or []
        found = [str(f.locate()) for f in dist if f.name.endswith(suffix) and f.parent.name == "tavrine_core"]
    return sorted(found)


STUBS = package_files(".pyi")
assert STUBS, "no stub files found"
# The pure-Python modules of the package: what their `__all__` lists is
# public surface too.
MODULES = package_files(".py")


def is_overload(fn):
    return any(isinstance(d, ast.Name) and d.id == "overload" for d in fn.decorator_list)


def is_property(fn):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)


def is_typed_dict(cls, classes):
    return any(isinstance(b, ast.Name) and (b.id == "TypedDict" or (b.id in classes and is_typed_dict(classes[b.id], classes)))
               for b in cls.bases)


def arguments(fn, method):
    """The parameter list as the page writes it: names, defaults, a bare `*`
    before keyword-only ones; self and cls left out."""
    a = fn.args
    positional = a.posonlyargs + a.args
    if method and positional and positional[0].arg in ("self", "cls"):
        positional = positional[1:]
    defaults = [None] * (len(a.posonlyargs + a.args) - len(a.defaults)) + list(a.defaults)
    defaults = defaults[len(defaults) - len(positional):]
    out = [p.arg if d is None else f"{p.arg}={ast.unparse(d)}" for p, d in zip(positional, defaults)]
    if a.vararg:
        out.append("*" + a.vararg.arg)
    elif a.kwonlyargs:
        out.append("*")
    out += [p.arg if d is None else f"{p.arg}={ast.unparse(d)}" for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append("**" + a.kwarg.arg)
    return ", ".join(out)


class Name:
    """One public name of the stubs: its kind, its docstring, the parameters
    the docstring must explain and how the reference page must write it."""

    def __init__(self, qualname, kind, doc, heading, params=(), keys=()):
        self.qualname, self.kind, self.doc, self.heading = qualname, kind, doc, heading
        self.params, self.keys = list(params), list(keys)

    def __repr__(self):
        return self.qualname


def typed_dict_keys(cls, classes):
    keys = []
    for base in cls.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            keys += typed_dict_keys(classes[base.id], classes)
    return keys + [s.target.id for s in cls.body if isinstance(s, ast.AnnAssign) and isinstance(s.target, ast.Name)]


def function_name(fn, owner):
    qual = f"{owner}.{fn.name}" if owner else fn.name
    if is_property(fn):
        return Name(qual, "property", ast.get_docstring(fn), f"{qual} -> {ast.unparse(fn.returns)}")
    params = [p for p in arguments(fn, owner is not None).replace("*", "").split(", ") if p]
    sig = f"{qual}({arguments(fn, owner is not None)})"
    if fn.returns is not None:
        sig += f" -> {ast.unparse(fn.returns)}"
    return Name(qual, "function", ast.get_docstring(fn), None if is_overload(fn) else sig,
                params=[p.split("=")[0] for p in params])


def declared_all(tree):
    """The names of a module's `__all__` list, or None without one."""
    for stmt in tree.body:
        if (isinstance(stmt, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in stmt.targets)
                and isinstance(stmt.value, (ast.List, ast.Tuple))):
            return {e.value for e in stmt.value.elts if isinstance(e, ast.Constant)}
    return None


def public_names(path, only_all=False):
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    classes = {s.name: s for s in tree.body if isinstance(s, ast.ClassDef)}
    names = []
    body = tree.body
    if only_all:
        listed = declared_all(tree)
        if listed is None:
            return []
        body = [s for s in body if isinstance(s, (ast.FunctionDef, ast.ClassDef)) and s.name in listed]
    for k, stmt in enumerate(body):
        if isinstance(stmt, ast.FunctionDef) and not stmt.name.startswith("_"):
            names.append(function_name(stmt, None))
        elif isinstance(stmt, ast.ClassDef) and not stmt.name.startswith("_"):
            if is_typed_dict(stmt, classes):
                names.append(Name(stmt.name, "dict shape", ast.get_docstring(stmt), stmt.name,
                                  keys=typed_dict_keys(stmt, classes)))
                continue
            new = next((s for s in stmt.body if isinstance(s, ast.FunctionDef) and s.name == "__new__"), None)
            heading = f"{stmt.name}({arguments(new, True) if new else ''})"
            names.append(Name(stmt.name, "class", ast.get_docstring(stmt), heading))
            names += [function_name(s, stmt.name) for s in stmt.body
                      if isinstance(s, ast.FunctionDef) and not s.name.startswith("_")]
        elif isinstance(stmt, (ast.Assign, ast.AnnAssign)):
            targets = stmt.targets if isinstance(stmt, ast.Assign) else [stmt.target]
            for t in targets:
                if isinstance(t, ast.Name) and not t.id.startswith("_"):
                    # An alias's help is the string right after it, which is
                    # what editors show on hover.
                    nxt = body[k + 1] if k + 1 < len(body) else None
                    doc = (nxt.value.value if isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant)
                           and isinstance(nxt.value.value, str) else None)
                    names.append(Name(t.id, "alias", doc, t.id))
    return names


NAMES = [n for path in STUBS for n in public_names(path)]
# The package's own __init__ re-exports the extension's names (documented
# through its stub); the other modules' listed names are theirs.
NAMES += [n for path in MODULES if not path.endswith("__init__.py") for n in public_names(path, only_all=True)]
IDS = [n.qualname for n in NAMES]


def read_api():
    with open(API, encoding="utf-8") as f:
        return f.read()


def entries(page, text):
    """The headings and table rows of the page that name `text` (optionally
    after a module prefix), each with the section it opens: up to the next
    heading for a heading, the row itself for a row."""
    lines = page.splitlines()
    pattern = re.compile(r"^(#+ |\| )`(?:[\w.]+\.)?" + re.escape(text) + "`")
    found = []
    for k, line in enumerate(lines):
        if pattern.match(line):
            if line.startswith("#"):
                end = next((j for j in range(k + 1, len(lines)) if lines[j].startswith("#")), len(lines))
                found.append("\n".join(lines[k:end]))
            else:
                found.append(line)
    return found


def test_the_stubs_declare_the_module_surface():
    ids = set(IDS)
    assert {"GraphStore", "GraphStore.add_external", "IncrementalReducer.finalize", "PayloadDescriptor.kind",
            "version", "NodeDict", "DescriptorFields", "ReductionReport"} <= ids


@pytest.mark.parametrize("name", NAMES, ids=IDS)
def test_every_public_name_has_help(name):
    assert name.doc and name.doc.strip(), f"{name.qualname} has no docstring in the stubs"
    missing = [p for p in name.params if not re.search(rf"\b{re.escape(p)}\b", name.doc)]
    assert not missing, f"the docstring of {name.qualname} does not say what {missing} are"


@pytest.mark.parametrize("name", NAMES, ids=IDS)
def test_the_reference_page_lists_every_name(name):
    page = read_api()
    if name.heading is None:  # overloads: the name at least
        assert re.search(rf"`(?:[\w.]+\.)?{re.escape(name.qualname)}\(", page), f"docs/api.md lacks {name.qualname}"
        return
    found = entries(page, name.heading)
    assert found, f"docs/api.md has no heading or table row `{name.heading}`"
    for key in name.keys:
        assert any(f"`{key}`" in section for section in found), f"docs/api.md: {name.qualname} lacks the key {key}"


def test_every_exception_the_help_names_is_on_the_page():
    page = read_api()
    table = page[page.index("## Exceptions"):]
    raised = set()
    for name in NAMES:
        block = re.search(r"^Raises:\n((?:    .*\n?|\n)*)", name.doc or "", re.M)
        if block:
            for line in block.group(1).splitlines():
                head = re.match(r"    ([A-Z]\w*(?:, [A-Z]\w*)*):", line)
                if head:
                    raised.update(head.group(1).split(", "))
    assert {"TypeError", "ValueError"} <= raised
    missing = sorted(e for e in raised | {"PanicException", "MemoryError"} if f"| `{e}` |" not in table)
    assert not missing, f"the exceptions table of docs/api.md lacks {missing}"
