"""The time-optimal motion reference of benchmarks/motion_reference.py, on the
case whose answer is known: a reading linear in s runs the trapezoid (or
triangle) profile of its own limits, whatever unlimited servos do beside it."""

import importlib.util
import math
import pathlib

import numpy as np
import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / "motion_reference.py"
if not SOURCE.exists():  # the wheel checks copy tests/ and examples/ only
    pytest.skip("benchmarks/ is not here", allow_module_level=True)
spec = importlib.util.spec_from_file_location("motion_reference", SOURCE)
reference = importlib.util.module_from_spec(spec)
spec.loader.exec_module(reference)

GRID = 2000


@pytest.mark.parametrize(("distance", "speed", "acceleration"), [
    (0.3, 6.1, 60.0),  # a triangle: the top speed is never reached
    (-2.0, 1.0, 60.0),  # a trapezoid
    (1.0, math.inf, 10.0),
    (1.0, 2.0, math.inf),
])
def test_a_reading_linear_in_s_runs_its_trapezoid(distance, speed, acceleration):
    s = np.linspace(0.0, 1.0, GRID + 1)
    # Beside it, a servo that moves unlimited and a limited one that stays.
    q = np.outer(s, [distance, 5.0, 0.0])
    found = reference.duration_along(q, s, [speed, math.inf, 1.0], [acceleration, math.inf, 1.0])
    d, v, a = abs(distance), speed, acceleration
    expected = d / v + v / a if d >= v * v / a else 2.0 * math.sqrt(d / a)
    # Speed and acceleration switch within a grid interval at worst.
    assert expected <= found * (1.0 + 1e-12) and found <= expected * (1.0 + 2.0 / GRID)
