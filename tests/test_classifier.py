"""TreeClassifier's inputs, errors, fitted attributes and its place in
scikit-learn's tools."""
import itertools
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st
from sklearn.base import clone
from sklearn.calibration import CalibratedClassifierCV
from sklearn.compose import ColumnTransformer
from sklearn.exceptions import NotFittedError
from sklearn.impute import SimpleImputer
from sklearn.inspection import partial_dependence, permutation_importance
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import Pipeline

from tavrin_tools import TreeClassifier, export_graphviz, export_text, plot_tree


def mixed(n=300, seed=0):
    """A frame with a numeric column holding NaN, a category column and a
    boolean column; the label depends on all three."""
    rng = np.random.default_rng(seed)
    size = rng.normal(size=n)
    size[rng.random(n) < 0.1] = np.nan
    colour = rng.choice(["red", "green", "blue", "grey"], n)
    flag = rng.random(n) < 0.5
    y = np.where(np.isin(colour, ["red", "grey"]) ^ (np.nan_to_num(size) > 0.3) | flag & (size < -1), "yes", "no")
    X = pd.DataFrame({"size": size, "colour": pd.Categorical(colour), "flag": flag})
    return X, pd.Series(y)


def test_every_frame_library_gives_the_same_tree():
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    X, y = mixed()
    ref = TreeClassifier(max_depth=5).fit(X, y)
    assert ref.is_categorical_.tolist() == [False, True, False]
    assert list(ref.feature_names_in_) == ["size", "colour", "flag"]
    table = pa.Table.from_pandas(X, preserve_index=False)  # colour: a dictionary column
    frames = [pl.from_pandas(X), table, pl.from_pandas(X).with_columns(pl.col("colour").cast(pl.Utf8))]
    for i, frame in enumerate(frames):
        est = TreeClassifier(max_depth=5, categorical_features=["colour"] if i == 2 else "from_dtype").fit(frame, y)
        assert est.is_categorical_.tolist() == [False, True, False]
        np.testing.assert_array_equal(est.predict(frame), ref.predict(X))
        np.testing.assert_array_equal(est.tree_.threshold, ref.tree_.threshold)
    # numpy: the category column as declared codes
    codes = np.column_stack([X["size"], X["colour"].cat.codes, X["flag"]])
    est = TreeClassifier(max_depth=5, categorical_features=[1]).fit(codes, y)
    np.testing.assert_array_equal(est.predict(codes), ref.predict(X))


def test_categories_split_into_an_optimal_subset_and_unseen_ones_go_with_missing():
    X, y = mixed(400, seed=3)
    X = X[["colour"]]
    est = TreeClassifier(max_depth=1).fit(X, y)
    codes = X["colour"].cat.codes.to_numpy()
    is_yes = (y == "yes").to_numpy()

    def children_gini(left):
        out = 0.0
        for side in (left, ~left):
            p = is_yes[side].mean()
            out += side.sum() * 2 * p * (1 - p)
        return out

    best = min(children_gini(np.isin(codes, s)) for r in range(1, 4) for s in itertools.combinations(range(4), r))
    left_set = export_text(est).splitlines()[0]
    chosen = [c for c in est.categories_[0] if repr(c) in left_set.split("}")[0]]
    assert children_gini(X["colour"].isin(chosen).to_numpy()) == pytest.approx(best, rel=1e-12)
    new = pd.DataFrame({"colour": pd.Categorical(["purple", None])})
    missing_leaf = est.tree_.children_left[0] if est.tree_.missing_go_to_left[0] else est.tree_.children_right[0]
    assert est.apply(new).tolist() == [missing_leaf, missing_leaf]


def test_text_and_date_columns_are_refused_with_the_way_out():
    X, y = mixed(50)
    with pytest.raises(ValueError, match=r"column 'colour' holds text.*astype\('category'\).*categorical_features"):
        TreeClassifier().fit(X.assign(colour=X["colour"].astype(str)), y)
    with pytest.raises(ValueError, match=r"column 'when' holds dates or times.*convert it to numbers"):
        TreeClassifier().fit(X.assign(when=pd.Timestamp("2024-01-01")), y)
    with pytest.raises(ValueError, match=r"column 1 holds values that are not numbers \(for example 'red'\)"):
        TreeClassifier().fit(X.to_numpy(dtype=object), y)
    declared = TreeClassifier(categorical_features=["colour"]).fit(X.assign(colour=X["colour"].astype(str)), y)
    assert list(declared.categories_[1]) == ["blue", "green", "grey", "red"]
    with pytest.raises(ValueError, match="'hue', which is not a column of X"):
        TreeClassifier(categorical_features=["hue"]).fit(X, y)


@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
def test_bad_input_gets_a_clear_error():
    X, y = mixed(60)
    est = TreeClassifier().fit(X, y)
    cases = [
        (lambda: TreeClassifier().fit(X, y[:-1]), ValueError, "inconsistent numbers of samples"),
        (lambda: TreeClassifier().fit(X, y, sample_weight=np.ones(3)), ValueError, r"sample_weight.shape"),
        (lambda: TreeClassifier().fit(X, y, sample_weight=np.r_[np.nan, np.ones(59)]), ValueError, "NaN"),
        (lambda: TreeClassifier().fit(X, y, sample_weight=np.r_[np.inf, np.ones(59)]), ValueError, "infinity"),
        (lambda: TreeClassifier().fit(X, y, sample_weight=-np.ones(60)), ValueError, "negative"),
        (lambda: TreeClassifier().fit(X, y, sample_weight=np.zeros(60)), ValueError, "non-zero"),
        (lambda: TreeClassifier(max_depth=0).fit(X, y), ValueError, "'max_depth' parameter"),
        (lambda: TreeClassifier(criterion="mse").fit(X, y), ValueError, "'criterion' parameter"),
        (lambda: TreeClassifier(class_weight={"maybe": 2}).fit(X, y), ValueError, "not in class_weight"),
        (lambda: TreeClassifier(class_weight={"yes": np.nan}).fit(X, y), ValueError, "finite weight"),
        (lambda: TreeClassifier(categorical_features={"colour": 1}).fit(X, y), ValueError, "names, positions"),
        (lambda: TreeClassifier().set_params(depth=3), ValueError, "Invalid parameter 'depth'"),
        (lambda: TreeClassifier(depth=3), TypeError, "depth"),
        (lambda: TreeClassifier().predict(X), NotFittedError, "not fitted"),
        (lambda: TreeClassifier().feature_importances_, NotFittedError, "not fitted"),
        (lambda: est.predict(X[["size", "colour"]]), ValueError, "missing:\n- flag"),
        (lambda: est.predict(X.to_numpy()[:, :2]), ValueError, "X has 2 features"),
        (lambda: est.predict(X[["flag", "colour", "size"]]), ValueError, "same order"),
        (lambda: est.predict(X.assign(size=np.inf)), ValueError, "infinity"),
        (lambda: TreeClassifier().fit(X["size"].to_numpy(), y), ValueError, "Expected 2D array"),
        (lambda: TreeClassifier().fit(X, y.map({"yes": 1.5, "no": 0.25})), ValueError, "Unknown label type"),
    ]
    for call, kind, message in cases:
        with pytest.raises(kind, match=message):
            call()
    from scipy.sparse import csr_matrix

    with pytest.raises(TypeError, match="dense data is required"):  # sparse X is taken, sparse y not
        TreeClassifier().fit(csr_matrix(np.eye(3)), csr_matrix(np.array([[0], [1], [1]])))


def test_fitted_attributes_and_methods_agree():
    X, y = mixed(200)
    w = np.linspace(0.5, 2.0, 200)
    est = TreeClassifier(max_leaf_nodes=9).fit(X, y, sample_weight=w)
    t = est.tree_
    assert (est.n_classes_, list(est.classes_), est.n_features_in_) == (2, ["no", "yes"], 3)
    assert est.get_n_leaves() == 9 == int((t.children_left < 0).sum())
    with pytest.raises(ValueError):
        t.children_left[0] = 5  # a read-only view
    leaves = est.apply(X)
    path = est.decision_path(X)
    assert path.shape == (200, t.node_count)
    assert (path[np.arange(200), leaves] == 1).all()
    assert path.sum(axis=1).max() == est.get_depth() + 1
    proba = est.predict_proba(X)
    np.testing.assert_allclose(proba, t.value[leaves, 0])
    np.testing.assert_array_equal(est.predict(X), est.classes_[proba.argmax(axis=1)])
    with np.errstate(divide="ignore"):
        np.testing.assert_array_equal(est.predict_log_proba(X), np.log(proba))
    assert est.score(X, y, sample_weight=w) == pytest.approx(np.average(est.predict(X) == y, weights=w))
    assert est.feature_importances_.sum() == pytest.approx(1.0)
    np.testing.assert_allclose(t.weighted_n_node_samples[0], w.sum())
    again = pickle.loads(pickle.dumps(est))
    np.testing.assert_array_equal(again.predict_proba(X), proba)
    assert export_text(again) == export_text(est)


def test_exports_show_sizes_counts_and_the_missing_branch():
    X = pd.DataFrame({"size": [1.0, 2.0, np.nan, 4.0, 5.0, 6.0], "colour": pd.Categorical(list("rrbgbg"))})
    est = TreeClassifier(max_depth=2).fit(X, ["a", "a", "a", "b", "b", "b"])
    # Never rounded across a training value: 3537.5 is not 3538 at 4 digits.
    mass = TreeClassifier().fit(pd.DataFrame({"mass": [3537.0, 3538.0]}), ["a", "b"])
    assert export_text(mass, precision=4).startswith("mass <= 3537.5  [")
    assert export_text(est) == (
        "size <= 3 or missing  [a 50%, samples 6, counts [3, 3]]\n"
        "|-- yes: a 100%, samples 3, counts [3, 0]\n"
        "`-- no: b 100%, samples 3, counts [0, 3]\n"
    )
    colours = TreeClassifier().fit(X[["colour"]], ["a", "a", "b", "c", "b", "c"])
    assert export_text(colours).splitlines()[:2] == [
        "colour in {'b'}  [a 33.3%, samples 6, counts [2, 2, 2]]", "|-- yes: b 100%, samples 2, counts [0, 2, 0]"]
    dot = export_graphviz(est)
    assert 'label="size <= 3 or missing\\na 50%\\nsamples 6, counts [3, 3]"' in dot
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    ax = plot_tree(est)
    assert "b 100%\nsamples 3, counts [0, 3]" in [t.get_text() for t in ax.texts]
    matplotlib.pyplot.close(ax.figure)


def test_scikit_learn_tools_take_it():
    X, y = mixed(240)
    est = TreeClassifier(max_depth=4)
    assert clone(est).get_params() == est.get_params()
    assert cross_val_score(est, X, y, cv=3).mean() > 0.7
    numeric = X[["size", "flag"]].astype(float)
    pipe = Pipeline([("impute", SimpleImputer()), ("tree", TreeClassifier())])
    search = GridSearchCV(pipe, {"tree__max_depth": [2, 4], "tree__ccp_alpha": [0.0, 0.01]}, cv=3).fit(numeric, y)
    assert search.best_params_["tree__max_depth"] in (2, 4)
    columns = ColumnTransformer([("keep", "passthrough", ["size", "flag"])])
    assert Pipeline([("cols", columns), ("tree", est)]).fit(X, y).score(X, y) > 0.5
    fitted = TreeClassifier(max_depth=4).fit(X, y)
    importances = permutation_importance(fitted, X, y, n_repeats=3, random_state=0).importances_mean
    assert importances[1] > 0  # colour matters
    # (its grid comes from percentiles, which NaN spoils)
    curve = partial_dependence(fitted, X.fillna({"size": 0.0}), ["size"], grid_resolution=20)["average"]
    assert curve.shape == (1, 20) and np.ptp(curve) > 0
    calibrated = CalibratedClassifierCV(TreeClassifier(max_depth=3), cv=3).fit(numeric, y)
    assert calibrated.predict_proba(numeric).shape == (240, 2)


@given(st.lists(st.floats(0.0, 1e6, allow_subnormal=False), min_size=1, max_size=60), st.randoms())
def test_weights_on_the_grid_add_up_the_same_in_any_order(weights, order):
    from fractions import Fraction

    from tavrin_tools._search_params import on_grid, weight_grid

    w = np.array(weights)
    e = weight_grid(float(w.max()), len(w))
    g = on_grid(w, e)
    shuffled = list(g)
    order.shuffle(shuffled)
    running = 0.0
    for v in shuffled:
        running += v
    assert running == float(sum(map(Fraction, g)))  # every partial sum exact
    assert np.all((g > 0) == (w > 0))
    assert np.all((np.abs(g - w) <= 2.0 ** (e - 1)) | (g == 2.0**e))
    whole = np.floor(w)
    if whole.sum() < 2**50:  # whole numbers are already on the grid
        assert np.array_equal(on_grid(whole, weight_grid(float(whole.max()), len(w))), whole)
