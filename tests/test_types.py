"""The type information that ships with the wheel, as a user's type checker sees it.

mypy runs in a scratch folder, so it can only find the stubs where an installed wheel
put them, in site-packages beside the module.
"""

import ast
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

import vsnRtrv

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (pip install '.[test]' brings it)",
)

SCRIPTS = Path(__file__).parent / "typecheck"


def run_mypy(tmp_path, *args):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True,
        text=True, stdin=subprocess.DEVNULL,
    )


def test_strict_mypy_accepts_correct_use_and_finds_each_planted_mistake(tmp_path):
    for script in SCRIPTS.glob("*.py"):
        shutil.copy(script, tmp_path)
    result = run_mypy(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                      "uses_every_function.py", "planted_mistakes.py")
    planted = (tmp_path / "planted_mistakes.py").read_text().splitlines()
    marked = {n for n, line in enumerate(planted, 1) if "# mistake" in line}
    reported = re.findall(r"^(\S+?):(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M)
    assert len(marked) == 3
    assert sorted((name, int(line)) for name, line, _ in reported) == [
        ("planted_mistakes.py", n) for n in sorted(marked)
    ], result.stdout + result.stderr
    assert [code for *_, code in reported] == ["arg-type", "attr-defined", "union-attr"]


def test_stubs_match_the_built_module(tmp_path):
    allow = []
    if sys.version_info >= (3, 13):
        allow = ["--allowlist", str(SCRIPTS / "stubtest_allowlist_py313.txt")]
    result = run_mypy(tmp_path, "mypy.stubtest", "vsnRtrv", *allow)
    assert result.returncode == 0, result.stdout + result.stderr
    # stubtest passes over names with a leading underscore; these are the module's too.
    stub = Path(vsnRtrv.__file__).parent / "vsnRtrv-stubs" / "__init__.pyi"
    defined = {n.name for n in ast.parse(stub.read_text()).body if isinstance(n, ast.FunctionDef)}
    functions = {n for n, v in vars(vsnRtrv).items() if isinstance(v, types.BuiltinFunctionType)}
    assert defined == functions
    assert len(functions) == 17
