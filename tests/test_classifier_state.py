"""TreeClassifier's fitted state: refits that fail, are interrupted or race
with other threads, and the inputs whose errors must name what is wrong."""
import sys
import threading

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


def snapshot(est):
    return {name: vars(est)[name] for name in STATE if name in vars(est)}


def assert_same_objects(got, want):
    assert got.keys() == want.keys()
    for name in want:
        assert got[name] is want[name], name


def test_a_failed_or_interrupted_refit_keeps_the_previous_model(monkeypatch):
    (frame, y_frame), (array, y_array) = two_models()
    est = TreeClassifier(n_jobs=1).fit(frame, y_frame)
    before, proba = snapshot(est), est.predict_proba(frame)
    with pytest.raises(ValueError, match="Input y contains NaN"):
        est.fit(array, np.r_[np.nan, np.ones(len(array) - 1)])
    with pytest.raises(ValueError, match="sample_weight"):
        est.fit(array, y_array, sample_weight=np.full(len(array), 1e308))

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(_learner, "fit", interrupted)
    with pytest.raises(KeyboardInterrupt):
        est.fit(array, y_array)
    assert_same_objects(snapshot(est), before)
    np.testing.assert_array_equal(est.predict_proba(frame), proba)
    # A first fit that fails leaves the estimator unfitted.
    first = TreeClassifier()
    with pytest.raises(KeyboardInterrupt):
        first.fit(array, y_array)
    assert snapshot(first) == {}


def test_a_refit_on_an_array_drops_the_frames_names():
    (frame, y_frame), (array, y_array) = two_models()
    est = TreeClassifier().fit(frame, y_frame).fit(array, y_array)
    assert "feature_names_in_" not in vars(est) and est.n_features_in_ == 2


def run_threads(targets):
    threads = [threading.Thread(target=t) for t in targets]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, to interleave the calls
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)


def test_predicting_during_refits_gives_the_old_or_the_new_models_answer():
    (frame, y_frame), (array, y_array) = two_models()
    # Both models take the same rows: the frame's two numeric columns as an array.
    X = frame[["a", "c"]].to_numpy()
    est = TreeClassifier(n_jobs=1)
    fits = [lambda: est.fit(X, y_frame), lambda: est.fit(X, y_array, sample_weight=np.linspace(1, 2, len(X)))]
    answers = []
    for fit in fits:
        fit()
        answers.append((est.predict(X), est.predict_proba(X), est.apply(X), est.get_n_leaves()))
    failures = []
    stop = threading.Event()

    def refit():
        for i in range(60):
            fits[i % 2]()
        stop.set()

    def predict():
        while not stop.is_set():
            try:
                got = (est.predict(X), est.predict_proba(X), est.apply(X), est.get_n_leaves())
                for i, name in enumerate(("predict", "predict_proba", "apply", "get_n_leaves")):
                    if not any(np.array_equal(got[i], want[i]) for want in answers):
                        failures.append(f"{name} mixes two models")
            except Exception as exc:  # noqa: BLE001 - every failure is one to report
                failures.append(repr(exc))

    run_threads([refit, predict, predict, predict])
    assert failures == []


def test_two_concurrent_fits_leave_one_of_them_whole():
    data = two_models(120)
    refs = {X.shape[1]: TreeClassifier(n_jobs=1).fit(X, y) for X, y in data}
    est = TreeClassifier(n_jobs=1)
    together = threading.Barrier(2, timeout=60)
    mixed = []

    def whole():
        ref = refs[est.n_features_in_]
        got, want = est.tree_.to_dict(), ref.tree_.to_dict()
        return snapshot(est).keys() == snapshot(ref).keys() and np.array_equal(est.classes_, ref.classes_) and all(
            np.array_equal(got[key], want[key]) for key in ("children_left", "feature", "value"))

    def fit_many(X, y, check):
        def run():
            for _ in range(20):
                together.wait()
                try:
                    est.fit(X, y)
                except Exception as exc:  # noqa: BLE001 - a failure to report, not to stop the other thread
                    mixed.append(repr(exc))
                together.wait()
                if check:
                    mixed.append(not whole())
        return run

    run_threads([fit_many(*data[0], check=True), fit_many(*data[1], check=False)])
    assert mixed == [False] * 20


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
    huge = np.full(60, 1e308)
    with pytest.raises(ValueError, match="sample_weight"):
        TreeClassifier().fit(frame, y, sample_weight=huge)
    with pytest.raises(ValueError, match="class_weight"):
        TreeClassifier(class_weight={0: 1e300, 1: 1e300}).fit(frame, y, sample_weight=huge / 1e300)
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


def test_every_pruning_path_alpha_is_accepted_and_gives_its_steps_tree():
    # Weights and ties that make one step's alpha a rounding residue below 0.
    rng = np.random.default_rng(56)
    n = rng.integers(6, 40)
    X = rng.integers(0, 3, size=(n, 2)).astype(float)
    y = rng.integers(0, 3, n)
    w = rng.choice([0.1, 0.3, 0.7, 1.1], n)
    path = TreeClassifier().cost_complexity_pruning_path(X, y, sample_weight=w)
    assert path.ccp_alphas[1] == 0.0 and (np.diff(path.ccp_alphas) >= 0).all()
    for i, alpha in enumerate(path.ccp_alphas):
        t = TreeClassifier(ccp_alpha=alpha).fit(X, y, sample_weight=w).tree_
        leaves = t.children_left < 0
        risk = np.sum(t.weighted_n_node_samples[leaves] * t.impurity[leaves]) / t.weighted_n_node_samples[0]
        step = 0 if alpha == 0.0 else np.flatnonzero(path.ccp_alphas == alpha)[-1]  # 0: the whole tree
        assert risk == pytest.approx(path.impurities[step], rel=1e-12, abs=1e-15), i


def test_an_export_reads_one_fit_while_another_refits(monkeypatch):
    # The exporters read the classes, categories and tree at different
    # moments; a refit landing in between must not mix two models.
    from tavrin_tools import _walk, export_graphviz, export_text

    (frame, y_frame), (array, y_array) = two_models()
    est = TreeClassifier(n_jobs=1).fit(frame, y_frame)
    want = export_text(est), export_graphviz(est)
    real = _walk.linked_root

    def refit_first(estimator):
        est.fit(array, y_array)
        return real(estimator)

    monkeypatch.setattr(_walk, "linked_root", refit_first)
    got_text = export_text(est)
    est.fit(frame, y_frame)
    assert (got_text, export_graphviz(est)) == want
