"""The type stubs: mypy accepts good usage and catches bad usage, both from
the source tree and from an installed copy, and stubtest finds the stubs in
line with the module's real signatures."""
import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys

import pytest

import tavrin

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "src" / "stubs"
USAGE = pathlib.Path(__file__).resolve().parent / "typing_usage"
# pandas, scikit-learn and scipy ship no types; numpy does.
CONFIG = ("[mypy]\nwarn_unused_ignores = True\n"
          "[mypy-pandas.*,matplotlib.*,sklearn.*,scipy.*]\nignore_missing_imports = True\n")


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    path = tmp_path_factory.mktemp("mypy")
    (path / "mypy.ini").write_text(CONFIG)
    return path


def run_mypy(workdir, args, module="mypy", mypypath=None):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    if mypypath:
        env["MYPYPATH"] = str(mypypath)
    if module == "mypy.stubtest":
        # stubtest imports the module it checks: the one these tests run against.
        env["PYTHONPATH"] = os.path.dirname(os.path.abspath(tavrin.__file__))
    command = [sys.executable, "-m", module, "--config-file" if module == "mypy" else "--mypy-config-file",
               str(workdir / "mypy.ini")]
    if module == "mypy":
        command += ["--cache-dir", str(workdir / "cache"), "--python-executable", sys.executable]
    return subprocess.run(command + args, cwd=workdir, env=env, capture_output=True, text=True,
                          timeout=600)


def expected_errors():
    """(line, code) pairs marked `# E: code` in the bad usage file."""
    found = set()
    for lineno, line in enumerate((USAGE / "bad_usage.py").read_text().splitlines(), 1):
        m = re.search(r"# E: ([a-z-]+)$", line)
        if m:
            found.add((lineno, m[1]))
    return found


def reported_errors(output, name):
    return {(int(m[1]), m[2]) for m in re.finditer(rf"{name}:(\d+): error: .*\[([a-z-]+)\]$", output, re.M)}


def check_usage(result):
    out = result.stdout
    assert "good_usage.py" not in out, out
    assert reported_errors(out, "bad_usage.py") == expected_errors(), out
    assert len(expected_errors()) >= 8
    assert result.returncode == 1


def test_mypy_with_the_source_stub(workdir):
    result = run_mypy(workdir, [str(USAGE / "good_usage.py"), str(USAGE / "bad_usage.py")], mypypath=STUBS)
    check_usage(result)


def test_the_companion_package_is_strictly_typed(workdir):
    result = run_mypy(workdir, ["--strict", str(ROOT / "src" / "tavrin_tools")], mypypath=STUBS)
    assert result.returncode == 0, result.stdout


def installed_stub():
    try:
        files = importlib.metadata.files("tavrin") or []
    except importlib.metadata.PackageNotFoundError:
        return None
    for f in files:
        if str(f).replace("\\", "/") == "tavrin-stubs/__init__.pyi":
            return pathlib.Path(f.locate())
    return None


def test_mypy_finds_the_installed_stub(workdir):
    stub = installed_stub()
    if stub is None:
        pytest.skip("tavrin is not installed with pip here")
    assert stub.read_text() == (STUBS / "tavrin.pyi").read_text(), "the installed copy is stale"
    assert (stub.parent.parent / "tavrin.pyi").read_text() == stub.read_text()
    result = run_mypy(workdir, [str(USAGE / "good_usage.py"), str(USAGE / "bad_usage.py")])
    check_usage(result)


def test_stubtest_finds_the_stub_in_line_with_the_module(workdir):
    result = run_mypy(workdir, ["tavrin"], module="mypy.stubtest", mypypath=STUBS)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_catches_a_stub_that_drifted(workdir):
    drifted = workdir / "drifted"
    drifted.mkdir()
    text = (STUBS / "tavrin.pyi").read_text()
    text = text.replace("def predict(self, X:", "def predict(self, rows:")
    text = text.replace('node_type: str = "leaf"', 'node_type: str = "leaf", depth: int = 0')
    (drifted / "tavrin.pyi").write_text(text)
    result = run_mypy(workdir, ["tavrin"], module="mypy.stubtest", mypypath=drifted)
    assert result.returncode == 1
    assert 'BinaryClassificationTree.predict is inconsistent, stub parameter "rows"' in result.stdout
    assert "tavrin.Node.__init__ is inconsistent" in result.stdout


def test_the_stub_needs_no_more_of_typed_pandas_than_pandas_stubs_declares(workdir):
    # A typed stand-in for pandas: everything Any, except that
    # pandas.api.types declares only the predicates pandas-stubs declares.
    typed = workdir / "typed_pandas" / "pandas"
    (typed / "api").mkdir(parents=True)
    (typed / "__init__.pyi").write_text("from typing import Any\ndef __getattr__(name: str) -> Any: ...\n")
    (typed / "api" / "__init__.pyi").write_text("from . import types as types\n")
    (typed / "api" / "types.pyi").write_text("".join(
        f"def {name}(arr_or_dtype: object) -> bool: ...\n"
        for name in ("is_bool_dtype", "is_datetime64_any_dtype", "is_numeric_dtype",
                     "is_object_dtype", "is_string_dtype")))
    result = run_mypy(workdir, [str(USAGE / "good_usage.py")],
                      mypypath=os.pathsep.join([str(STUBS), str(typed.parent)]))
    assert result.returncode == 0, result.stdout
