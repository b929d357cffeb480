"""The installed type stub: its names, and what type checkers make of it."""

import ast
import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorlin

HERE = Path(__file__).parent / "typing"
BAD_LINES = sorted(
    number
    for number, line in enumerate((HERE / "usage_bad.py").read_text().splitlines(), 1)
    if "# error" in line
)


SOURCE = Path(__file__).resolve().parent.parent / "src"


def stubs_of(module):
    """The stubs installed with `module`; in a development build (the module
    imported from a build directory, where nothing is installed) the stub
    in src/ that would be installed."""
    location = Path(module.__file__).parent
    installed = [location / f"{module.__name__}.pyi", location / f"{module.__name__}-stubs" / "__init__.pyi"]
    return installed if installed[0].is_file() else [SOURCE / f"{module.__name__}.pyi"]


DEVELOPMENT_BUILD = stubs_of(quorlin)[0].parent == SOURCE


def installed_stubs():
    return stubs_of(quorlin)


def test_stubs_are_installed_with_the_names_of_the_module():
    for stub in installed_stubs():
        assert stub.is_file(), stub
        tree = ast.parse(stub.read_text())
        functions = [node.name for node in tree.body if isinstance(node, ast.FunctionDef)]
        declared_all = next(
            ast.literal_eval(node.value)
            for node in tree.body
            if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
        )
        assert declared_all == quorlin.__all__
        assert sorted(functions) == sorted(quorlin.__all__)
        # Parameter names match the runtime's keywords.
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                names = tuple(argument.arg for argument in node.args.args)
                with pytest.raises(TypeError, match="missing"):
                    getattr(quorlin, node.name)(**{names[0]: 0})
                assert node.args.posonlyargs == [] and node.args.kwonlyargs == []


def test_array_stubs_declare_every_ufunc():
    quorlin_numpy = pytest.importorskip("quorlin_numpy")
    for stub in stubs_of(quorlin_numpy):
        tree = ast.parse(stub.read_text())
        declared = [node.target.id if isinstance(node, ast.AnnAssign) else node.name
                    for node in tree.body if isinstance(node, (ast.AnnAssign, ast.FunctionDef))]
        assert declared == quorlin_numpy.__all__
        assert all(ast.unparse(node.annotation) == "ufunc" for node in tree.body if isinstance(node, ast.AnnAssign))


def run_checker(*command):
    environment = {**os.environ, "MYPY_CACHE_DIR": os.devnull}
    if DEVELOPMENT_BUILD:  # the checkers read the stubs from src/
        environment["MYPYPATH"] = str(SOURCE)
        if command[0] == "pyright":
            command = (*command, "--project", str(HERE / "pyrightconfig-development.json"))
    return subprocess.run([sys.executable, "-m", *command], capture_output=True, text=True, timeout=600,
                          cwd=HERE, env=environment)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict():
    good = run_checker("mypy", "--strict", "--no-incremental", "usage_ok.py")
    assert good.returncode == 0, good.stdout + good.stderr
    bad = run_checker("mypy", "--strict", "--no-incremental", "usage_bad.py")
    flagged = sorted({int(line.split(":")[1]) for line in bad.stdout.splitlines() if ": error:" in line})
    assert flagged == BAD_LINES, bad.stdout


@pytest.mark.skipif(importlib.util.find_spec("pyright") is None or shutil.which("node") is None,
                    reason="pyright (and node, which runs it) is not installed")
def test_pyright():
    good = run_checker("pyright", "--pythonpath", sys.executable, "usage_ok.py")
    assert good.returncode == 0, good.stdout + good.stderr
    bad = run_checker("pyright", "--pythonpath", sys.executable, "--outputjson", "usage_bad.py")
    report = json.loads(bad.stdout)
    flagged = sorted({d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"]
                      if d["severity"] == "error"})
    assert flagged == BAD_LINES, bad.stdout
