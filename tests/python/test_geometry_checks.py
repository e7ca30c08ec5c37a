"""Geometry as a robot builder writes it: the three-pair layout, frames from
CAD numbers, home, and the mistakes a file can hold, each with its message."""

import json
import math

import numpy as np
import pytest
from zandrel_torso import Geometry, sample_geometry

DEG = math.pi / 180.0
HEAD = dict(base_radius=60.0, base_spread=40 * DEG, platform_radius=40.0, platform_spread=30 * DEG,
            motor_arm_length=25.0, rod_length=95.0, home_height=90.0, unit="mm")


def test_three_pairs_builds_the_sample_layout():
    built = Geometry.three_pairs(base_radius=0.06, base_spread=40 * DEG, platform_radius=0.035,
                                 platform_spread=32 * DEG, platform_offset=-60 * DEG, motor_arm_length=0.04,
                                 rod_length=0.085, home_height=0.099, motor_height=0.078, anchor_height=-0.03,
                                 shaft="radial")
    sample = sample_geometry()
    np.testing.assert_array_equal(built.home, sample.home)
    for ours, theirs in zip(built.legs, sample.legs, strict=True):
        assert ours.solution == theirs.solution
        np.testing.assert_allclose(ours.branch_platform, theirs.branch_platform, rtol=0, atol=1e-15)
        np.testing.assert_allclose(ours.t_world_motor, theirs.t_world_motor, rtol=0, atol=1e-15)


@pytest.mark.parametrize("side", [1, -1])
def test_three_pairs_first_pair_by_hand(side):
    # Pair 0 of the head: motors at +-20 degrees drive the anchors at +-45
    # degrees; shafts tangent, pointing away from the partner; horns up at 0.
    leg = Geometry.three_pairs(**HEAD).legs[0 if side == 1 else 1]
    c, s = math.cos(20 * DEG), side * math.sin(20 * DEG)
    shaft = side * np.array([-s, c, 0.0])
    expected = np.eye(4)
    expected[:3, 0], expected[:3, 1], expected[:3, 2] = (0, 0, 1), np.cross(shaft, (0, 0, 1)), shaft
    expected[:3, 3] = (60 * c, 60 * s, 0.0)
    np.testing.assert_allclose(leg.t_world_motor, expected, rtol=0, atol=1e-13)
    np.testing.assert_allclose(leg.branch_platform, [40 * math.cos(45 * DEG), side * 40 * math.sin(45 * DEG), 0.0],
                               rtol=0, atol=1e-13)
    assert leg.solution == side
