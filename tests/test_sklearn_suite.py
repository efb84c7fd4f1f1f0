"""scikit-learn's own tree tests, run against TreeClassifier and
ExtraTreeClassifier: the installed version's test files are copied with one
import added right after their first ``from sklearn.tree import ...``, so
that DecisionTreeClassifier and ExtraTreeClassifier there are tavrin_tools'
estimators, and run in a subprocess."""
import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

sklearn = pytest.importorskip("sklearn")

FILES = ("test_tree.py", "test_export.py", "test_monotonic_tree.py", "test_split.py")
SWAP = "from tavrin_tools import TreeClassifier as DecisionTreeClassifier, ExtraTreeClassifier\n"

# Node ids (prefixes) left out, each with why.
DESELECT = {
    # Regressors: scikit-learn's own estimators (the rest are left out by -k).
    "test_tree.py::test_absolute_error_accurately_predicts_weighted_median": "regressor",
    "test_tree.py::test_absolute_errors_precomputation_function": "regressor",
    "test_tree.py::test_friedman_mse_deprecation": "regressor",
    "test_tree.py::test_poisson_vs_mse": "regressor",
    "test_tree.py::test_poisson_zero_nodes": "regressor",
    "test_tree.py::test_regression_extra_tree_missing_values_toy": "regressor",
    "test_tree.py::test_missing_values_best_splitter_on_equal_nodes_no_missing": "regressor",
    "test_tree.py::test_missing_values_random_splitter_on_equal_nodes_no_missing": "regressor",
    # scikit-learn's private Cython objects, fed our tree.
    "test_tree.py::test_build_pruned_tree_py": "scikit-learn's private _build_pruned_tree_py",
    "test_tree.py::test_build_pruned_tree_infinite_loop": "scikit-learn's private _build_pruned_tree_py",
    # scikit-learn's export_text and plot_tree accept only its own classes.
    "test_export.py::test_export_text_errors": "export_text takes only scikit-learn's classes",
    "test_export.py::test_export_text": "export_text takes only scikit-learn's classes",
    "test_export.py::test_plot_tree": "plot_tree takes only scikit-learn's classes",
    # Expectations that hold only for float32 input, scikit-learn's random
    # tie-breaks or its preallocation.
    "test_tree.py::test_big_input": "float32 input: 1e40 overflows float32, not float64",
    "test_tree.py::test_importances_gini_equal_squared_error":
        "scikit-learn's random tie-break: its classifier and regressor break ties between features alike",
    "test_tree.py::test_huge_allocations": "scikit-learn preallocates max_leaf_nodes nodes",
}


def with_swap(text: str) -> str:
    module = ast.parse(text)
    first = next(n for n in module.body if isinstance(n, ast.ImportFrom) and n.module == "sklearn.tree")
    lines = text.splitlines(keepends=True)
    lines.insert(first.end_lineno, SWAP)
    return "".join(lines)


@pytest.mark.skipif(os.environ.get("TAVRIN_FAULT_SWEEP") == "short",
                    reason="the sanitizer leg: the suite's fits are covered by the first run")
@pytest.mark.skipif(not (Path(sklearn.__file__).parent / "tree" / "tests" / "test_monotonic_tree.py").exists(),
                    reason="scikit-learn before 1.4: its suite predates monotonic constraints")
def test_scikit_learn_tree_suite(tmp_path: Path) -> None:
    source = Path(sklearn.__file__).parent / "tree" / "tests"
    for name in FILES:
        (tmp_path / name).write_text(with_swap((source / name).read_text()))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    args = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "sklearn.conftest",
            "--tb=short", "-k", "not Regressor", *(f"--deselect={node}" for node in DESELECT), *FILES]
    run = subprocess.run(args, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stdout[-20000:] + run.stderr[-5000:]
    assert " passed" in run.stdout.splitlines()[-1]
