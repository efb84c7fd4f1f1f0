"""TreeClassifier's fitted state: refits that fail, are interrupted or race
with other threads, and the inputs whose errors must name what is wrong."""
import numpy as np
import pandas as pd
import pytest

from tavrin_tools import TreeClassifier, _learner

STATE = ("tree_", "classes_", "n_classes_", "n_features_in_", "feature_names_in_", "categories_", "is_categorical_")


def two_models(n=300):
    """Data for two models that differ in every fitted attribute: a frame of
    three named columns with labels 0/1, and an array of two columns with
    three text labels."""
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"a": rng.normal(size=n), "b": pd.Categorical(rng.choice(list("pqrs"), n)),
                          "c": rng.normal(size=n)})
    y_frame = ((frame["a"] > 0) ^ frame["b"].isin(["p", "q"])).astype(int).to_numpy()
    array = rng.normal(size=(n, 2))
    y_array = np.array(["x", "y", "z"])[(array[:, 0] > 0).astype(int) + (array[:, 1] > 0.5)]
    return (frame, y_frame), (array, y_array)


def test_numeric_object_multiindex_and_sparse_columns_are_read_as_scikit_learn_reads_them():
    (frame, y), _ = two_models(200)
    ref = TreeClassifier(n_jobs=1).fit(frame, y)
    objects = frame.assign(a=frame["a"].astype(object).where(frame["a"] > -1.5, None))
    assert objects["a"].dtype == object
    est = TreeClassifier(n_jobs=1).fit(objects, y)
    np.testing.assert_array_equal(est.predict(objects), TreeClassifier(n_jobs=1).fit(
        objects.astype({"a": float}), y).predict(objects.astype({"a": float})))
    multi = frame.set_axis(pd.MultiIndex.from_tuples([("x", "a"), ("x", "b"), ("y", "c")]), axis=1)
    texts = multi.astype({("x", "b"): str})
    for X, params in ((multi, {}), (texts, {"categorical_features": [("x", "b")]})):
        est = TreeClassifier(n_jobs=1, **params).fit(X, y)
        assert "feature_names_in_" not in vars(est)  # tuples are not string names
        assert est.is_categorical_.tolist() == [False, True, False]
        np.testing.assert_array_equal(est.predict(X), ref.predict(frame))
    assert isinstance(multi.columns, pd.MultiIndex)  # the caller's frame is left alone
    sparse = frame.assign(a=pd.arrays.SparseArray(frame["a"].to_numpy()))
    np.testing.assert_array_equal(TreeClassifier(n_jobs=1).fit(sparse, y).predict(frame), ref.predict(frame))


def test_errors_name_the_column_or_the_weights_at_fault(monkeypatch):
    (frame, y), _ = two_models(60)
    refused = [
        (frame.assign(a=pd.Series(["1", 2.0] * 30, dtype=object)), r"column 'a' holds text.*astype\('category'\)"),
        (frame.assign(a=pd.period_range("2020", periods=60, freq="D")), r"'a' holds dates or times \(period.*numbers"),
        (frame.assign(a=frame["a"] + 1j), r"'a' holds complex numbers \(complex128\).*real and imaginary"),
        (frame.assign(a=pd.interval_range(0, 60)), r"'a' holds .* \(interval"),
    ]
    for X, message in refused:
        with pytest.raises(ValueError, match=message):
            TreeClassifier().fit(X, y)
    monkeypatch.setattr(_learner, "MAX_CATEGORIES", 3)
    with pytest.raises(ValueError, match=r"column 'b' has 4 categories, more than the 3"):
        TreeClassifier().fit(frame, y)
    with pytest.raises(ValueError, match=r"column 1 has 4 categories, more than the 3"):
        TreeClassifier(categorical_features=[1]).fit(frame.to_numpy(), y)


def test_categories_of_another_type_than_at_fit_are_named_in_a_warning():
    (frame, y), _ = two_models(60)
    codes = frame.assign(b=frame["b"].cat.codes)
    est = TreeClassifier(categorical_features=["b"]).fit(codes, y)
    with pytest.warns(UserWarning, match=r"column 'b' held numbers at fit, but here it holds text"):
        est.predict(codes.assign(b=codes["b"].astype(str)))
    text = TreeClassifier().fit(frame, y)
    with pytest.warns(UserWarning, match=r"column 'b' held text at fit, but here it holds numbers"):
        got = text.apply(codes.astype({"b": "category"}))
    np.testing.assert_array_equal(got, text.apply(frame.assign(b=pd.Categorical([None] * 60, categories=["p"]))))
