"""The MuJoCo model of the mechanism: it holds a loaded platform where the
kinematics puts it, with the servo torques the statics give."""

import dataclasses
import math

import numpy as np
import pytest

mujoco = pytest.importorskip("mujoco")

from zandrel_torso import Geometry, Leg, Load, Torso, pose, sample_geometry  # noqa: E402
from zandrel_torso.sim import set_pose, to_mjcf  # noqa: E402

DEG = math.radians(1.0)
SETTLE_S = 2.0


def a_load(mass, centre, **more):
    return Load(mass=mass, centre=centre, **more)


def half_kilogram(unit_scale=1.0):
    """0.5 kg, 30 mm above the platform origin, under standard gravity."""
    return a_load(0.5, np.array([0.0, 0.0, 0.030]) * unit_scale)


def rotation_vector(rotation):
    quat = np.zeros(4)
    mujoco.mju_mat2Quat(quat, np.ascontiguousarray(rotation).ravel())
    vector = np.zeros(3)
    mujoco.mju_quat2Vel(vector, quat, 1.0)
    return vector


POSES = {
    "home": pose(),
    "roll 10": pose(roll=10 * DEG),
    "pitch -10": pose(pitch=-10 * DEG),
    "yaw 10": pose(yaw=10 * DEG),
    "x 5 mm": pose(x=0.005),
    "y -5 mm, z 5 mm": pose(y=-0.005, z=0.005),
    "roll -10, z -5 mm": pose(roll=-10 * DEG, z=-0.005),
}


@pytest.fixture(scope="module")
def loaded():
    geometry = sample_geometry()
    load = half_kilogram()
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry, load))
    return geometry, load, model


def settle(model, geometry, target):
    data = mujoco.MjData(model)
    data.ctrl[:6] = Torso(geometry).inverse(target)
    set_pose(model, data, geometry, target)
    mujoco.mj_step(model, data, nstep=round(SETTLE_S / model.opt.timestep))
    return data


@pytest.mark.parametrize("name", POSES)
def test_platform_settles_at_the_pose_with_the_static_torques(loaded, name):
    geometry, load, model = loaded
    torso = Torso(geometry)
    target = geometry.home @ POSES[name]
    data = settle(model, geometry, target)

    platform = data.body("platform")
    assert np.abs(data.qvel).max() < 1e-6, "still moving"
    assert np.linalg.norm(platform.xpos - target[:3, 3]) < 1e-4
    turned = rotation_vector(platform.xmat.reshape(3, 3) @ target[:3, :3].T)
    assert math.degrees(np.linalg.norm(turned)) < 0.1

    torques = data.actuator_force[:6]
    expected = torso.torques(target, load)
    assert np.abs(expected).max() > 0.02  # the load does load the servos
    np.testing.assert_allclose(torques, expected, rtol=0.03, atol=2e-3)


def test_a_further_wrench_on_the_load_is_held_as_the_statics_say():
    geometry = sample_geometry()
    # A tool pushed sideways and down, twisted about the vertical.
    load = a_load(0.3, [0.01, 0.0, 0.02], wrench=[1.0, 0.0, -2.0, 0.02, 0.0, 0.05])
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry, load))
    assert model.nu == 7  # the six servos first, then the wrench
    target = geometry.home @ pose(roll=10 * DEG, y=0.005)
    data = settle(model, geometry, target)
    assert np.linalg.norm(data.body("platform").xpos - target[:3, 3]) < 1e-4
    expected = Torso(geometry).torques(target, load)
    np.testing.assert_allclose(data.actuator_force[:6], expected, rtol=0.03, atol=2e-3)
    without = Torso(geometry).torques(target, a_load(0.3, [0.01, 0.0, 0.02]))
    assert np.abs(expected - without).max() > 0.02  # the wrench is felt


def test_a_servo_short_of_torque_lets_the_platform_sag():
    sample = sample_geometry()
    servos = [dataclasses.replace(leg.servo, torque=0.02) for leg in sample.legs]
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, servo) for leg, servo in zip(sample.legs, servos)]
    geometry = Geometry(sample.motor_arm_length, sample.rod_length, legs, sample.unit, sample.home)
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry, half_kilogram()))
    data = mujoco.MjData(model)
    data.ctrl[:6] = Torso(geometry).inverse(geometry.home)
    set_pose(model, data, geometry, geometry.home)
    # Holding half a kilogram at home takes 0.033 N m a servo: a twentieth
    # of a second later each gives all it has and the platform is falling.
    mujoco.mj_step(model, data, nstep=round(0.05 / model.opt.timestep))
    np.testing.assert_allclose(data.actuator_force[:6], -0.02, atol=1e-9)
    assert geometry.home[2, 3] - data.body("platform").xpos[2] > 0.001


def test_a_millimetre_geometry_gives_the_metre_model():
    metres = mujoco.MjModel.from_xml_string(to_mjcf(sample_geometry(), half_kilogram()))
    millimetres = mujoco.MjModel.from_xml_string(to_mjcf(sample_geometry("mm"), half_kilogram(1e3)))
    for field in ("body_pos", "body_quat", "body_ipos", "body_mass", "site_pos", "geom_size"):
        np.testing.assert_allclose(getattr(millimetres, field), getattr(metres, field), atol=1e-12, err_msg=field)


def test_without_a_load_the_servos_hold_nothing_under_standard_gravity():
    geometry = sample_geometry()
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry))
    np.testing.assert_allclose(model.opt.gravity, [0.0, 0.0, -9.81])
    assert model.nu == 6 and model.neq == 6
    data = settle(model, geometry, geometry.home @ pose(pitch=10 * DEG))
    assert np.abs(data.actuator_force).max() < 1e-6


def test_set_pose_closes_every_rod_and_refuses_a_pose_out_of_reach():
    geometry = sample_geometry("mm")
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry))
    data = mujoco.MjData(model)
    set_pose(model, data, geometry, geometry.home @ pose(roll=15 * DEG, x=4.0))
    gaps = [data.site(f"rod{i}_end").xpos - data.site(f"anchor{i}").xpos for i in range(6)]
    assert np.abs(gaps).max() < 1e-9
    with pytest.raises(ValueError, match="out of reach"):
        set_pose(model, data, geometry, geometry.home @ pose(z=200.0))
