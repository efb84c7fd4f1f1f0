"""Hypothesis pieces shared by the property tests over random frames."""
import pandas as pd
from hypothesis import strategies as st

LABEL_SETS = [["no", "yes"], [0, 1], [3, 1, 2], ["a", "b", "c"], ["only"]]


def draw_target(draw, X, n):
    """A target of n labels for X; sometimes both get the same shuffled
    index, so that rows pair by position, never by label."""
    labels = draw(st.sampled_from(LABEL_SETS))
    y = pd.Series(draw(st.lists(st.sampled_from(labels), min_size=n, max_size=n)))
    if draw(st.booleans()):
        index = draw(st.permutations(list(range(100, 100 + n))))
        X.index = index
        y.index = index
    return y
