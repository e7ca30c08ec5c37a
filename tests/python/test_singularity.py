"""The singularity margin in every verdict: what check calls ok is where
the robot really goes, and explain() says why a pose cannot be sent."""

import math

import numpy as np
import pytest
from zandrel_torso import Servo, Torso, pose, rotation, sample_geometry


def test_margin_sign_is_where_warm_solves_stay_with_the_command():
    """Ramp the platform out from home and follow it with warm forward
    solves of the commanded angles, as the robot follows its servos: while
    the margin is positive the solve lands on the command; past the
    singularity the same angles leave the robot somewhere else."""
    torso = Torso(sample_geometry())
    home = torso.geometry.home
    crossed = 0
    for roll, pitch, yaw in [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0.6, 0.8, 0), (0.7, -0.7, 0.3)]:
        solved = home
        seen = set()
        for step in np.arange(0.5, 75.0, 0.5):
            commanded = home @ pose(*(math.radians(step) * np.array([roll, pitch, yaw])))
            check = torso.check(commanded)
            if not (abs(check.singularity_margin) >= 0.02 and np.min(check.reach) >= 0.05):
                # Out of reach, or too near the singularity or a stretched
                # leg, where the two assemblies meet and either may follow.
                continue
            solution = torso.solve_forward(check.angles, start=solved)
            solved = solution.pose
            lands = np.allclose(solved, commanded, atol=1e-4)  # the solver stops within ~1e-5
            assert lands == (check.singularity_margin > 0.0), (roll, pitch, yaw, step)
            assert solution.status == "converged"  # where the robot really is
            seen.add(lands)
        crossed += seen == {True, False}
    assert crossed >= 4  # most ramps cross a singularity before leaving reach


def test_margin_is_one_at_home_and_the_same_in_millimetres():
    metres, millimetres = Torso(sample_geometry()), Torso(sample_geometry("mm"))
    rng = np.random.default_rng(7)
    poses = np.array([pose(*rng.uniform(-0.6, 0.6, 3), *rng.uniform(-0.01, 0.01, 3)) for _ in range(50)])
    poses[:, :3, 3] += metres.geometry.home[:3, 3]
    scaled = poses.copy()
    scaled[:, :3, 3] *= 1000.0
    m, mm = metres.check(poses).singularity_margin, millimetres.check(scaled).singularity_margin
    assert metres.check(metres.geometry.home).singularity_margin == 1.0
    np.testing.assert_allclose(mm, m, atol=1e-6)
    assert np.any(m < 0.0) and np.any(m > 0.0)


def test_explain_names_each_leg_and_limit():
    geometry = sample_geometry()
    servo = geometry.legs[3].servo
    legs = list(geometry.legs)
    legs[3] = type(legs[3])(legs[3].branch_platform, legs[3].t_world_motor, legs[3].solution,
                            Servo(servo.zero, servo.direction, -0.2, 0.2, servo.pulse))
    torso = Torso(type(geometry)(geometry.motor_arm_length, geometry.rod_length, legs, "m", geometry.home))
    home = geometry.home
    stack = np.array([home, home @ pose(roll=math.radians(20)), home @ pose(z=0.1), home @ pose(roll=math.radians(62))])
    lines = torso.check(stack).explain()
    assert torso.check(home).explain() == []
    assert any(line.startswith("pose 1: leg 3: servo reading") and "lower limit -11.5°" in line for line in lines)
    assert any(line.startswith("pose 2: leg ") and "out of reach" in line for line in lines)
    assert "pose 3: the pose is past a singularity (margin -0.0476)" in lines
    assert not any(line.startswith("pose 0") for line in lines)
