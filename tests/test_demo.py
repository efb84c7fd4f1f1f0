"""The demo script: its timings and its pointer to the picture."""
import importlib.util
import pathlib

import pytest

pytest.importorskip("palmerpenguins")
pytest.importorskip("sklearn")

DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("tavrin_demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_timings_are_medians_of_repeated_runs(demo, monkeypatch):
    ticks = iter([0.0, 5.0, 10.0, 11.0, 20.0, 23.0, 30.0, 39.0, 40.0, 42.0, 50.0, 57.0, 60.0, 64.0])
    monkeypatch.setattr(demo, "REPEATS", 7)
    monkeypatch.setattr(demo.time, "perf_counter", lambda: next(ticks))
    calls = []
    assert demo.timed(lambda x: calls.append(x) or x, "r") == ("r", 4.0)  # of 5, 1, 3, 9, 2, 7, 4
    assert len(calls) == 7


def test_the_output_says_how_to_draw_the_picture(demo, monkeypatch, capsys):
    monkeypatch.setattr(demo, "REPEATS", 1)
    demo.main()
    out = capsys.readouterr().out
    assert "medians of 1 runs" in out and "--picture" in out
