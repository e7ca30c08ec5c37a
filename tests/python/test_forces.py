"""The servos' holding torques under a load, against the work the load does
when a servo turns a little, and their limits in the pose checks."""

import dataclasses

import numpy as np
import pytest
from zandrel_torso import Load, Torso, pose, rotation, sample_geometry

from test_servo import with_servos

GEOMETRY = sample_geometry()
# A head and a push: weight off the centre line (metres), and a wrench that turns it.
CENTRE, WRENCH = np.array([0.004, -0.006, 0.03]), (0.4, -0.3, 0.2, 0.02, -0.01, 0.015)


def poses_within_workspace(torso, count, seed):
    """Poses mixing every axis, each within half its single-axis excursion,
    that the check passes."""
    w, home = torso.workspace(), torso.geometry.home
    half = 0.5 * np.array([w.roll, w.pitch, w.yaw, w.x, w.y, w.z])
    rng = np.random.default_rng(seed)
    candidates = np.array([home @ pose(*rng.uniform(-half, half)) for _ in range(3 * count)])
    return candidates[torso.check(candidates).ok.all(axis=1)][:count]


def wrench_at(t, load, scale):
    """The load's force and moment about the platform origin (world axes,
    SI), written out independently of the engine."""
    weight = load.mass * load.gravity
    moment = np.cross(t[:3, :3] @ (load.centre / scale), weight)
    return np.concatenate((weight, moment)) + load.extra()


def rotation_vector(r):
    """The rotation vector of a small rotation r."""
    angle = np.arccos(np.clip((np.trace(r) - 1.0) / 2.0, -1.0, 1.0))
    axis = np.array([r[2, 1] - r[1, 2], r[0, 2] - r[2, 0], r[1, 0] - r[0, 1]])
    return axis * (0.5 if angle < 1e-12 else angle / (2.0 * np.sin(angle)))


def virtual_work_torques(torso, t, load, eps=1e-4):
    """Torques from virtual work alone: turn each servo by +-eps, let the
    forward solver find where the platform goes, read the exact angles of
    those poses back (so each pair of poses and angles closes every rod to
    rounding), and solve sum_i tau_i dθ_i + W . dx = 0 over the six motions."""
    scale = 1000.0 if torso.geometry.unit == "mm" else 1.0
    angles = torso.inverse(t)
    w = wrench_at(t, load, scale)
    turns, work = [], []
    for leg in range(6):
        ends = []
        for sign in (1.0, -1.0):
            moved = angles.copy()
            moved[leg] += sign * eps
            solved = torso.solve_forward(moved, start=t)
            assert solved.status == "converged"
            ends.append((solved.pose, torso.inverse(solved.pose)))
        (up, up_angles), (down, down_angles) = ends
        dx = np.concatenate(((up[:3, 3] - down[:3, 3]) / scale, rotation_vector(up[:3, :3] @ down[:3, :3].T)))
        turns.append(up_angles - down_angles)
        work.append(w @ dx)
    return -np.linalg.solve(np.array(turns), np.array(work))


@pytest.mark.parametrize("unit", ["m", "mm"])
def test_torques_are_what_virtual_work_says(unit):
    torso = Torso(GEOMETRY.in_unit(unit))
    load = Load(0.5, CENTRE * (1000.0 if unit == "mm" else 1.0), wrench=WRENCH)
    poses = poses_within_workspace(torso, 12, seed=3)
    assert len(poses) >= 8
    torques = torso.torques(poses, load)
    assert torques.shape == (len(poses), 6)
    for t, tau in zip(poses, torques):
        expected = virtual_work_torques(torso, t, load)
        np.testing.assert_allclose(tau, expected, rtol=1e-6, atol=1e-6 * np.abs(expected).max())


def test_an_overloaded_servo_fails_the_check_and_says_by_how_much():
    limits = [None, None, None, 1.2, 2.0, 2.0]
    torso = Torso(with_servos(GEOMETRY, [dataclasses.replace(leg.servo, torque=q)
                                         for leg, q in zip(GEOMETRY.legs, limits)]))
    heavy = Load(20.0, (0.0, 0.0, 0.03))
    home = GEOMETRY.home
    checked = torso.check(home, load=heavy)
    np.testing.assert_array_equal(checked.torque, torso.torques(home, heavy))
    assert checked.ok.tolist() == [True, True, True, False, True, True]
    assert np.isinf(checked.torque_margin[:3]).all()
    assert checked.explain() == ["leg 3: servo torque 1.30 N m is over its 1.20 N m limit by 0.10 N m"]
    # Without a load nothing is asked of a servo.
    unloaded = torso.check(home)
    assert np.isnan(unloaded.torque).all() and np.isinf(unloaded.torque_margin).all() and unloaded.ok.all()


@pytest.mark.parametrize(("make", "message"), [
    (lambda: Load(-1.0, (0, 0, 0)), "mass must be finite and zero or more (kg), got -1.0"),
    (lambda: Load(1.0, (0, 0, 0), wrench=(0, 0, 0)), "wrench (force N, then moment N m) must have shape (6,)"),
    (lambda: Torso(GEOMETRY).torques(GEOMETRY.home, 0.5), "load must be a Load"),
])
def test_load_mistakes(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert message in str(info.value)


@pytest.mark.parametrize("body_yaw", [0.3, -1.1])
def test_a_body_turned_by_its_yaw_holds_the_load_it_sees_turned_back(body_yaw):
    # Platform and body turned together: the mechanism stands as at home,
    # and the load's horizontal push comes from a direction turned back.
    torso, t = Torso(GEOMETRY), GEOMETRY.home @ pose(roll=0.1, x=0.004)
    push = np.array([0.8, -0.5, 0.3])
    turned = np.array(pose(yaw=body_yaw)) @ t
    checked = torso.check(turned, body_yaw, load=Load(0.3, (0.01, 0.0, 0.02), wrench=(*push, 0.0, 0.0, 0.0)))
    seen = Load(0.3, (0.01, 0.0, 0.02), wrench=(*(rotation(yaw=body_yaw).T @ push), 0.0, 0.0, 0.0))
    np.testing.assert_allclose(checked.torque, torso.torques(t, seen), rtol=1e-9, atol=1e-12)
