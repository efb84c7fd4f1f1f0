"""What the distribution installs and how it describes itself: the version,
the files beside the extension, help() for every method."""
import importlib.metadata
import pathlib
import pydoc
import re

import pytest

import tavrin
import tavrin_tools

ROOT = pathlib.Path(__file__).resolve().parent.parent


def project_version():
    text = (ROOT / "pyproject.toml").read_text()
    return re.search(r'^version = "([^"]+)"$', text, re.M)[1]


def installed_files():
    try:
        return {str(f).replace("\\", "/") for f in importlib.metadata.files("tavrin") or []}
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("tavrin is not installed with pip here")


def test_version_is_readable_from_the_metadata():
    installed_files()
    assert importlib.metadata.version("tavrin") == project_version()
    assert tavrin_tools.__version__ == project_version()


def test_the_companion_package_and_stubs_are_installed_beside_the_module():
    files = installed_files()
    assert any(re.fullmatch(r"tavrin\.[^/]+\.(so|pyd)", f) for f in files), files
    wanted = {"tavrin.pyi", "tavrin-stubs/__init__.pyi", "tavrin_tools/__init__.py",
              "tavrin_tools/py.typed", "tavrin_tools/export.py", "tavrin_tools/plot.py",
              "tavrin_tools/pickling.py"}
    assert wanted <= files, wanted - files
    source = {"tavrin_tools/" + p.name for p in (ROOT / "src" / "tavrin_tools").iterdir()
              if p.suffix == ".py" or p.name == "py.typed"}
    assert source <= files, source - files


def test_help_shows_the_parameters_of_every_method():
    estimator = pydoc.render_doc(tavrin.BinaryClassificationTree, renderer=pydoc.plaintext)
    for line in ("__init__(self, max_depth=inf)", "fit(self, X, y)", "predict(self, X)",
                 "predict_proba(self, X)"):
        assert line in estimator
    node = pydoc.render_doc(tavrin.Node, renderer=pydoc.plaintext)
    assert "__init__(self, predicted_class, probability, node_type='leaf')" in node
    # pydoc leaves underscore methods out of a class page; their own pages
    # show their parameters.
    for cls in (tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy):
        for name in ("_prep_data", "_grow_tree", "_predict", "_best_split"):
            page = pydoc.render_doc(getattr(cls, name), renderer=pydoc.plaintext)
            assert re.search(rf"{name}\(self, [A-Za-z]", page), page
    page = pydoc.render_doc(tavrin.BinaryClassificationTree._gini_loop, renderer=pydoc.plaintext)
    assert "_gini_loop(self, classes, num_left, num_right, best_gini, thresholds, best_idx, idx, " \
           "split_type, best_split_type, best_thr)" in page


def test_the_readme_states_what_fit_does_where_a_reader_looks_first():
    import pandas as pd

    X = pd.DataFrame({"colour": pd.Categorical(["red", "blue", "red"]), "flag": [True, False, True]})
    est = tavrin.BinaryClassificationTree()
    est.fit(X, pd.Series([0, 1, 2]))
    assert est.string_features == ["colour"] and est.categorical_features == ["colour"]
    assert "flag" in est.numeric_features and est.bool_features == ["flag"]
    readme = " ".join((ROOT / "README.md").read_text().split())
    assert "a `category` column of text is in `string_features`" in readme
    # The multi-class caveat comes before the API reference.
    assert "first two sorted labels" in readme.split("## API")[0]
    # Prediction walks the tree in C++ where it can: it is not "row by row".
    assert "row by row" not in (ROOT / "examples" / "dask_predict.py").read_text()
