"""Text and Graphviz exports of fitted trees, and the tree plot."""
import re

import numpy as np
import pandas as pd
import pytest

import tavrin
from tavrin_tools import export_graphviz, export_text, plot_tree

from ecosystem_support import CLASSES, chain, fitted, mixed_data


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


def categorical_tree(cls):
    # Category means of the codes at the root: v 0.0, u 0.5, w 1.0.
    X = pd.DataFrame({"colour": pd.Categorical(["u", "u", "v", "w", "w"])})
    return fitted(cls, X, pd.Series(["b", "a", "a", "b", "b"]))


def numeric_tree(cls):
    # The missing value goes right at every split.
    X = pd.DataFrame({"x": [1.0, 2.0, np.nan, 4.0, 5.0, 6.0], "k": [3, 1, 2, 2, 1, 0]})
    return fitted(cls, X, pd.Series([0, 0, 1, 1, 0, 1]))


CATEGORICAL_TEXT = """\
colour in {'v', 'u'}  [b 60%]
|-- yes: colour in {'v'}  [a 66.7%]
|   |-- yes: a 100%
|   `-- no: a 50%
`-- no: b 100%
"""

NUMERIC_TEXT = """\
x < 3  [0 50%]
|-- yes: 0 100%
`-- no: x < 5.5  [1 75%]
    |-- yes: x < 4.5  [0 50%]
    |   |-- yes: 1 100%
    |   `-- no: 0 100%
    `-- no: 1 100%
"""


def test_text_of_a_categorical_tree(cls):
    assert export_text(categorical_tree(cls)) == CATEGORICAL_TEXT


def test_text_of_a_numeric_tree_with_integer_labels(cls):
    est = numeric_tree(cls)
    assert export_text(est) == NUMERIC_TEXT
    assert export_text(est, max_depth=1) == (
        "x < 3  [0 50%]\n|-- yes: 0 100%\n`-- no: x < 5.5  [1 75%] ...\n")
    assert export_text(est, max_depth=0) == "x < 3  [0 50%] ...\n"


def test_text_of_a_single_leaf_and_of_an_unfitted_estimator(cls):
    est = fitted(cls, pd.DataFrame({"x": [1.0, 2.0]}), pd.Series(["only", "only"]))
    assert export_text(est) == "only 100%\n"
    with pytest.raises(ValueError, match="not fitted"):
        export_text(cls())
    with pytest.raises(ValueError, match="max_depth"):
        export_text(est, max_depth=-1)


def test_thresholds_take_the_precision_and_the_digits_that_keep_them_exact():
    est = fitted(tavrin.BinaryClassificationTree, pd.DataFrame({"w": [1.0, 1.23456789, 5.0]}),
                 pd.Series(["p", "q", "q"]))
    assert export_text(est, precision=2).splitlines()[0] == "w < 1.117283945  [q 66.7%]"
    # Four digits would print "w < 3538", which 3537.8 passes; the tree's test does not.
    est = fitted(tavrin.BinaryClassificationTree, pd.DataFrame({"w": [3525.0, 3550.0, 3600.0]}),
                 pd.Series(["p", "q", "q"]))
    assert export_text(est, precision=4).splitlines()[0] == "w < 3537.5  [q 66.7%]"
    est.tree_.threshold = 3e-5
    assert "w < 3e-05  " in export_text(est, precision=4)


def test_a_tree_deeper_than_the_recursion_limit():
    est = tavrin.BinaryClassificationTree()
    est.tree_, est.feature_names = chain(3000), pd.Index(["x"])
    lines = export_text(est).splitlines()
    assert len(lines) == 1 + 2 * 3000
    assert lines[-1] == "    " * 2999 + "`-- no: b 75%"
    assert export_graphviz(est).count("->") == 2 * 3000


DOT_STATEMENT = re.compile(
    r'^(?:(?P<node>\d+) \[label="(?P<label>(?:[^"\\]|\\.)*)", fillcolor="#[0-9a-f]{6}"\];'
    r'|(?P<parent>\d+) -> (?P<child>\d+) \[label="(?P<answer>yes|no)"\];)$')


def parse_dot(source):
    lines = source.splitlines()
    assert lines[0] == "digraph tavrin {" and lines[-1] == "}"
    labels, edges = {}, []
    for line in lines[3:-1]:
        m = DOT_STATEMENT.match(line)
        assert m, line
        if m["node"]:
            labels[int(m["node"])] = re.sub(r"\\(.)", lambda e: "\n" if e[1] == "n" else e[1], m["label"])
        else:
            edges.append((int(m["parent"]), int(m["child"]), m["answer"]))
    return labels, edges


def test_dot_of_a_categorical_tree(cls):
    labels, edges = parse_dot(export_graphviz(categorical_tree(cls)))
    assert labels == {
        0: "colour in {'v', 'u'}\nb 60%",
        1: "colour in {'v'}\na 66.7%",
        2: "a 100%",
        3: "a 50%",
        4: "b 100%",
    }
    assert edges == [(0, 1, "yes"), (1, 2, "yes"), (1, 3, "no"), (0, 4, "no")]


def test_dot_edges_follow_the_tree(cls):
    X, y = mixed_data()
    est = fitted(cls, X, y, max_depth=4)
    labels, edges = parse_dot(export_graphviz(est))
    # Walk the tree in the same order and collect the edges it must have.
    want, stack, count = [], [(est.tree_, None, None)], 0
    while stack:
        node, parent, answer = stack.pop()
        me, count = count, count + 1
        if parent is not None:
            want.append((parent, me, answer))
        if node.left is not None:
            stack += [(node.right, me, "no"), (node.left, me, "yes")]
    assert edges == want and sorted(labels) == list(range(count))
    # Every split node's box holds its test, every leaf's only the outcome.
    splits = {p for p, _, _ in edges}
    assert all(("<" in labels[i] or " in {" in labels[i]) == (i in splits) for i in labels)


def test_dot_escapes_quotes_and_backslashes():
    X = pd.DataFrame({'say "hi"': pd.Categorical(['a"b', "c\\d", "c\\d"])})
    est = fitted(tavrin.BinaryClassificationTree, X, pd.Series(["x", "y", "y"]))
    labels, _ = parse_dot(export_graphviz(est))
    assert labels[0] == "say \"hi\" in {'a\"b'}\ny 66.7%"
    cut_labels, cut_edges = parse_dot(export_graphviz(est, max_depth=0))
    assert cut_labels == {0: labels[0] + "\n..."} and cut_edges == []


def test_plot_is_saved_as_png(cls, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    est = categorical_tree(cls)
    ax = plot_tree(est)
    # One box per node, one answer per edge.
    texts = [t.get_text() for t in ax.texts]
    assert sorted(texts) == sorted(["colour in {'v', 'u'}\nb 60%", "colour in {'v'}\na 66.7%",
                                    "a 100%", "a 50%", "b 100%", "yes", "yes", "no", "no"])
    path = tmp_path / "tree.png"
    ax.figure.savefig(path)
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 1000
    image = matplotlib.image.imread(path)
    assert image.shape[0] > 100 and image.shape[1] > 100
    # Not a blank canvas: the boxes are filled in their class colours.
    assert len(np.unique(image.reshape(-1, image.shape[-1]), axis=0)) > 10
    plt.close(ax.figure)

    fig, given = plt.subplots()
    assert plot_tree(est, ax=given, max_depth=0) is given
    assert [t.get_text() for t in given.texts] == ["colour in {'v', 'u'}\nb 60%\n..."]
    plt.close(fig)


def test_plot_places_children_below_and_around_their_parent():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from tavrin_tools.plot import _layout
    from tavrin_tools._walk import walk

    est = numeric_tree(tavrin.BinaryClassificationTree)
    visits = list(walk(est))
    pos = _layout(visits)
    for v in visits:
        if v.parent_id is not None:
            assert pos[v.node_id][1] == pos[v.parent_id][1] + 1
            side = pos[v.node_id][0] - pos[v.parent_id][0]
            assert (side < 0) == v.went_left and side != 0
    leaves = sorted(pos[v.node_id][0] for v in visits if v.node.left is None)
    assert leaves == [0.0, 1.0, 2.0, 3.0]
    plt.close("all")
