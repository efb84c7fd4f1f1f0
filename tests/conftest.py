import os

from hypothesis import HealthCheck, settings

settings.register_profile("default", deadline=None)
# Under the sanitizers every call is several times slower: fewer examples.
settings.register_profile(
    "sanitizer",
    deadline=None,
    max_examples=25,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def pytest_report_header(config):
    import tavrin

    return f"tavrin from {tavrin.__file__}"


def pytest_sessionstart(session):
    # CI runs the suite a second time against the sanitizer build; make sure
    # that build is the one imported, not an installed copy.
    expected = os.environ.get("TAVRIN_EXPECT_BUILD")
    if expected:
        import tavrin

        assert os.path.dirname(os.path.abspath(tavrin.__file__)) == os.path.abspath(expected), (
            tavrin.__file__
        )
        from tavrin_tools import _learner

        assert os.path.dirname(os.path.abspath(_learner.__file__)) == os.path.join(
            os.path.abspath(expected), "tavrin_tools"
        ), _learner.__file__
