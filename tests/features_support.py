"""What the feature-preparation tests share: both estimator classes as a
fixture, a context in which every warning is an error, traceback names."""

import traceback
import warnings

import pytest

import tavrin

CLASSES = [tavrin.BinaryClassificationTree, tavrin.BinaryClassificationTreePy]


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


@pytest.fixture
def no_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


def tb_names(excinfo):
    """The code names of the traceback entries, outermost first."""
    return [f.f_code.co_name for f, _ in traceback.walk_tb(excinfo.value.__traceback__)]
