"""The type stub src/nimbrel.pyi agrees with the installed module."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import nimbrel

STUB = Path(__file__).resolve().parent.parent / "src" / "nimbrel.pyi"


def first_line(doc):
    """A runtime docstring's first description line (the text signature is already cut off), or None."""
    return doc.split("\n", 1)[0] if doc else None


def stub_docstrings():
    """(runtime object, stub docstring) for the module, its public classes and every def of the stub."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    yield nimbrel, ast.get_docstring(tree, clean=False)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield getattr(nimbrel, node.name), ast.get_docstring(node, clean=False)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):  # not the typing helpers
            cls = getattr(nimbrel, node.name)
            yield cls, ast.get_docstring(node, clean=False)
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    # The constructor's description is the class's own.
                    obj = cls if item.name == "__new__" else getattr(cls, item.name)
                    yield obj, ast.get_docstring(item, clean=False)


def test_stubtest_passes(tmp_path):
    pytest.importorskip("mypy")
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "nimbrel"], cwd=tmp_path,
                       env={**os.environ, "MYPYPATH": str(STUB.parent)},
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr


def test_stub_docstrings_are_the_runtime_first_lines():
    pairs = list(stub_docstrings())
    public = set(nimbrel.__all__) | {n for n in vars(nimbrel.ZevireDarir) if not n.startswith("_")}
    assert public <= {obj.__name__ for obj, _ in pairs}  # every runtime description was compared
    wrong = [(getattr(obj, "__qualname__", obj.__name__), doc, first_line(obj.__doc__))
             for obj, doc in pairs if doc != first_line(obj.__doc__)]
    assert wrong == []


def test_installed_stubs_are_the_repository_stub():
    # Beside the module (for editors) and as the stub-only package (for mypy).
    here = Path(nimbrel.__file__).parent
    installed = [p for p in (here / "nimbrel.pyi", here / "nimbrel-stubs" / "__init__.pyi") if p.exists()]
    if not installed:
        pytest.skip("no stub installed beside the module")
    for path in installed:
        assert path.read_bytes() == STUB.read_bytes(), path
