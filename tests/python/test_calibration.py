"""Calibration: the robot as built from measured poses, and its findings."""

import dataclasses
import json
import math

import numpy as np
import pytest

from zandrel_torso import Geometry, Leg, Torso, pose, sample_geometry

NOMINAL = sample_geometry("mm")


def with_teeth(geometry, teeth=25):
    return Geometry(geometry.motor_arm_length, geometry.rod_length,
                    [Leg(leg.branch_platform, leg.t_world_motor, leg.solution,
                         dataclasses.replace(leg.servo, spline_teeth=teeth)) for leg in geometry.legs],
                    geometry.unit, geometry.home)


def as_built(rng, geometry, zero_off=3.0, part=0.5, tooth_leg=None):
    """Every zero off by up to zero_off degrees, every length and position
    by about `part` mm; one leg's horn a tooth round when asked."""
    legs = []
    for i, leg in enumerate(geometry.legs):
        motor = leg.t_world_motor.copy()
        motor[:3, 3] += rng.normal(0.0, part, 3)
        shift = math.radians(rng.uniform(-zero_off, zero_off) + (14.4 if i == tooth_leg else 0.0))
        legs.append(Leg(leg.branch_platform + rng.normal(0.0, part, 3), motor, leg.solution,
                        dataclasses.replace(leg.servo, zero=leg.servo.zero + shift),
                        geometry.motor_arm_length + rng.normal(0.0, part), geometry.rod_length + rng.normal(0.0, part)))
    return Geometry(geometry.motor_arm_length, geometry.rod_length, legs, geometry.unit, geometry.home)


def measure(rng, robot, count, noise=(0.5, 0.3)):
    """Readings commanded for poses near home, and the poses a camera sees."""
    torso = Torso(robot)
    poses = np.array([robot.home @ pose(*rng.uniform(-0.2, 0.2, 3), *rng.uniform(-8.0, 8.0, 3)) for _ in range(count)])
    readings = torso.to_servo(torso.inverse(poses))
    seen = np.array([t @ pose(*rng.normal(0.0, math.radians(noise[1]), 3), *rng.normal(0.0, noise[0], 3)) for t in poses])
    return readings, seen, poses


def held_out_error(rng, truth, model, count=30):
    readings, _, poses = measure(rng, truth, count)
    torso = Torso(model)
    angles = torso.from_servo(readings)
    errors = [np.linalg.norm(torso.solve_forward(a, start=t).pose[:3, 3] - t[:3, 3]) for a, t in zip(angles, poses)]
    return float(np.sqrt(np.mean(np.square(errors))))


def test_a_robot_as_built_is_found_within_the_noise():
    rng = np.random.default_rng(7)
    truth = as_built(rng, NOMINAL)
    readings, seen, _ = measure(rng, truth, 30)
    found = Torso(NOMINAL).calibrate(readings, seen)
    assert found.converged and not found.findings and not found.outliers.any()
    # The fit leaves about the noise (0.5 mm per coordinate), and the
    # calibrated robot answers far closer to the truth than nominal does.
    assert 0.5 < found.residual.position < 1.2 and found.residual.rotation < 0.012
    calibrated, nominal = held_out_error(rng, truth, found.geometry), held_out_error(rng, truth, NOMINAL)
    assert calibrated < 0.45 < nominal
    assert Geometry.from_dict(json.loads(found.geometry.to_json())) == found.geometry
    zeros = Torso(NOMINAL).calibrate(readings, seen, parameters=("zero",))
    assert all(np.isnan(v).all() for k, v in zeros.parameter_std.items() if k != "zero")


@pytest.mark.parametrize("seed", range(3))
def test_a_horn_a_tooth_off_is_named_and_a_clean_robot_has_no_finding(seed):
    rng = np.random.default_rng(100 + seed)
    nominal = with_teeth(NOMINAL)
    for tooth_leg in (seed + 2, None):
        readings, seen, _ = measure(rng, as_built(rng, nominal, tooth_leg=tooth_leg), 5)
        findings = Torso(nominal).calibrate(readings, seen, parameters=("zero",)).findings
        if tooth_leg is None:
            assert findings == ()
        else:
            assert len(findings) == 1 and findings[0].startswith(f"leg {tooth_leg}: horn 1 spline tooth off (+1")


def test_too_few_samples_says_how_many_are_needed():
    rng = np.random.default_rng(1)
    readings, seen, _ = measure(rng, NOMINAL, 5)
    with pytest.raises(ValueError, match="calibration needs at least 9 samples for 54 parameters, got 5"):
        Torso(NOMINAL).calibrate(readings, seen)
    with pytest.raises(ValueError, match="unknown parameter 'zeros'"):
        Torso(NOMINAL).calibrate(readings, seen, parameters=("zeros",))


def test_swapped_channels_are_named():
    rng = np.random.default_rng(3)
    readings, seen, _ = measure(rng, as_built(rng, NOMINAL, zero_off=1.0, part=0.2), 12)
    readings[:, [1, 3]] = readings[:, [3, 1]]
    findings = Torso(NOMINAL).calibrate(readings, seen, parameters=("zero",)).findings
    assert "legs 1 and 3: the servo channels look swapped (each one's readings fit the other leg)" in findings
