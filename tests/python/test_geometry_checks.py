"""Geometry as a robot builder writes it: the three-pair layout, frames from
CAD numbers, home, and the mistakes a file can hold, each with its message."""

import json
import math

import numpy as np
import pytest
from zandrel_torso import Geometry, motor_frame, sample_geometry

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


def head_file(**changes):
    data = json.loads(Geometry.three_pairs(**HEAD).to_json())
    for key, value in changes.items():
        where, _, field = key.rpartition("__")
        (data["legs"][int(where[3:])] if where else data)[field] = value
    return data


ROUNDED = np.round(sample_geometry().legs[0].t_world_motor, 6)


def _with_rotation(factor):
    motor = sample_geometry().legs[0].t_world_motor.copy()
    motor[:3, :3] = motor[:3, :3] @ factor
    return motor.tolist()


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (head_file(rod_length=0.095), "home is out of reach of leg 0 (reach margin"),
        ({k: v for k, v in head_file(rod_length=1.0).items() if k != "home"}, "no height on the world Z axis lets every leg reach"),
        (head_file(rod_length="95"), "rod_length must hold numbers, got '95'"),
        (head_file(leg2__branch_platform=[1.0, "2", 3.0]), "leg 2: branch_platform must hold numbers, got '2'"),
        (head_file(leg1__solution=True), "leg 1: solution must hold numbers"),
        (head_file(unit=None), 'unit must be "m" or "mm"'),
        ({k: v for k, v in head_file().items() if k != "unit"}, 'add "unit": "m" or "unit": "mm"'),
        (head_file() | {"legs": head_file()["legs"][:2] + head_file()["legs"][:1]}, "leg 2 repeats leg 0 exactly"),
        (head_file() | {"legs": head_file()["legs"][:2] + [head_file()["legs"][0] | {"servo": {"zero": 0.1}}]}, "leg 2 repeats leg 0"),
        (head_file(leg0__t_world_motor=np.round(ROUNDED, 3).tolist()), "rounded to too few digits"),
        (head_file(leg0__t_world_motor=_with_rotation(np.diag([1.0, 1.0, -1.0]))), "a mirrored (left-handed) frame"),
        (head_file(leg0__t_world_motor=_with_rotation(np.eye(3) * 1000.0)), "axes all have length 1000: a scaled"),
        (head_file(leg0__t_world_motor=_with_rotation(np.diag([90.0, 1.0, 1.0]))), "angles in degrees"),
        (head_file(home=np.diag([1.0, 1.0, 1.001, 1.0]).tolist()), "home: the rotation block is not orthonormal"),
    ],
)
def test_each_file_mistake_is_named(data, message):
    with pytest.raises(ValueError) as info:
        Geometry.from_dict(data)
    assert message in str(info.value)


def test_frames_off_by_rounding_are_corrected_and_saved_corrected(tmp_path):
    data = json.loads(sample_geometry().to_json())
    del data["home"]  # as the first files were written: home is computed
    for leg in data["legs"]:
        leg["t_world_motor"] = np.round(leg["t_world_motor"], 6).tolist()
    geometry = Geometry.from_dict(data)
    for leg, written in zip(geometry.legs, data["legs"], strict=True):
        rotation = leg.t_world_motor[:3, :3]
        np.testing.assert_allclose(rotation.T @ rotation, np.eye(3), rtol=0, atol=1e-15)
        np.testing.assert_allclose(leg.t_world_motor, written["t_world_motor"], rtol=0, atol=1e-6)
    geometry.save(tmp_path / "robot.json")
    assert Geometry.load(tmp_path / "robot.json") == geometry


@pytest.mark.parametrize("seed", range(3))
def test_motor_frame_from_cad_directions(seed):
    rng = np.random.default_rng(seed)
    origin, shaft, horn = rng.normal(size=(3, 3)) * [[100.0], [3.0], [3.0]]
    frame = motor_frame(origin, shaft, horn)
    np.testing.assert_allclose(frame[:3, :3].T @ frame[:3, :3], np.eye(3), rtol=0, atol=1e-15)
    assert np.linalg.det(frame[:3, :3]) == pytest.approx(1.0)
    np.testing.assert_allclose(frame[:3, 2], shaft / np.linalg.norm(shaft), rtol=0, atol=1e-15)
    # X is horn_zero with its part along the shaft removed, turned to unit length.
    along = horn - (horn @ frame[:3, 2]) * frame[:3, 2]
    np.testing.assert_allclose(frame[:3, 0], along / np.linalg.norm(along), rtol=0, atol=1e-14)
    np.testing.assert_array_equal(frame[:3, 3], origin)
    with pytest.raises(ValueError, match="parallel to the shaft"):
        motor_frame(origin, shaft, -2.0 * shaft)
