"""Plans and the follower: within every servo limit, on the straight path,
inside the feasible set, arriving exactly or clamping with a reason."""

import dataclasses
import math

import numpy as np
import pytest

from zandrel_torso import Geometry, Leg, Torso, rotation, sample_geometry

SPEED, ACCELERATION = 6.1, 60.0  # a hobby servo: 350°/s


def limited(unit="mm"):
    g = sample_geometry().in_unit(unit)
    legs = [
        Leg(leg.branch_platform, leg.t_world_motor, leg.solution,
            dataclasses.replace(leg.servo, speed=SPEED, acceleration=ACCELERATION))
        for leg in g.legs
    ]
    return Torso(Geometry(g.motor_arm_length, g.rod_length, legs, g.unit, g.home))


def moved(home, roll=0.0, pitch=0.0, yaw=0.0, lift=0.0):
    t = home.copy()
    t[:3, :3] = home[:3, :3] @ rotation(roll=roll, pitch=pitch, yaw=yaw)[:3, :3]
    t[2, 3] += lift
    return t


def assert_within_limits(servo_angles, rate):
    """Finite differences at rest before the first command and after the last."""
    r = np.concatenate([servo_angles[:1], servo_angles, servo_angles[-1:]])
    speed = np.abs(np.diff(r, axis=0)) * rate
    acceleration = np.abs(np.diff(r, 2, axis=0)) * rate**2
    assert speed.max() <= SPEED * (1 + 1e-9)
    assert acceleration.max() <= ACCELERATION * (1 + 1e-9)


def off_path(a, b, poses):
    """Largest distance of each pose's translation from segment a-b and of
    its rotation from the geodesic at the same parameter."""
    d = b[:3, 3] - a[:3, 3]
    s = np.clip((poses[:, :3, 3] - a[:3, 3]) @ d / max(d @ d, 1e-300), 0, 1)
    translation = np.linalg.norm(poses[:, :3, 3] - (a[:3, 3] + s[:, None] * d), axis=1).max()
    return translation


@pytest.mark.parametrize("unit", ["m", "mm"])
def test_plan_keeps_limits_path_and_stops_at_each_keyframe(unit):
    torso = limited(unit)
    home = torso.geometry.home
    lift = 0.008 if unit == "m" else 8.0
    keys = np.array([home, moved(home, roll=math.radians(20)), moved(home, pitch=-0.3, yaw=0.2, lift=lift), home])
    rate = 200.0
    plan = torso.plan(keys, rate)
    np.testing.assert_array_equal(plan.angles, torso.inverse(plan.poses))
    assert torso.check(plan.poses).ok.all()
    assert_within_limits(plan.servo_angles, rate)
    np.testing.assert_allclose(np.diff(plan.times), 1.0 / rate)
    assert plan.duration == plan.times[-1]
    # Each keyframe is reached exactly and held for a tick; between two,
    # every sample is on the straight line.
    stops = [0]
    for key in keys[1:]:
        stops.append(stops[-1] + 1 + int(np.flatnonzero((plan.poses[stops[-1] + 1:] == key).all(axis=(1, 2)))[0]))
    assert (plan.poses[np.array(stops[1:]) + 1] == keys[1:]).all()
    for k in range(len(keys) - 1):
        assert off_path(keys[k], keys[k + 1], plan.poses[stops[k]:stops[k + 1] + 1]) < 1e-12 * (1000 if unit == "mm" else 1)
    np.testing.assert_array_equal(plan.pulses, torso.to_pulses(plan.angles))


def test_follower_keeps_every_limit_on_any_target_stream():
    torso = limited()
    home = torso.geometry.home
    rng = np.random.default_rng(3)
    follower = torso.follower(100.0)
    readings, poses, target, statuses = [follower.last.servo_angles], [], home, set()
    for tick in range(1500):
        if tick % 60 == 0:
            reach = 80.0 if tick % 180 == 0 else 10.0
            target = None if tick % 300 == 240 else moved(home, *(rng.uniform(-0.4, 0.4, 3)), lift=rng.uniform(-reach, reach))
        command = follower.step(target)
        readings.append(command.servo_angles)
        poses.append(command.pose)
        statuses.add(command.status)
    poses = np.array(poses)
    r = np.array(readings)
    assert (np.abs(np.diff(r, axis=0)) * 100 <= SPEED * (1 + 1e-9)).all()
    assert (np.abs(np.diff(r, 2, axis=0)) * 1e4 <= ACCELERATION * (1 + 1e-9)).all()
    np.testing.assert_array_equal(np.array(readings[1:]), torso.to_servo(torso.inverse(poses)))
    assert torso.check(poses).ok.all()
    assert {"arrived", "clamped", "holding"} <= statuses
    assert follower.overruns == 0


def test_follower_arrives_exactly_from_rest_on_the_straight_path():
    torso = limited()
    home = torso.geometry.home
    target = moved(home, roll=math.radians(20))
    follower = torso.follower(50.0)
    commands = [follower.step(target) for _ in range(50)]
    assert [c.status for c in commands].count("moving") < 49 and commands[-1].status == "arrived"
    np.testing.assert_array_equal(commands[-1].pose, target)
    assert off_path(home, target, np.array([c.pose for c in commands])) < 1e-12


def test_clamps_at_the_last_feasible_pose_and_says_why():
    torso = limited()
    home = torso.geometry.home
    follower = torso.follower(50.0)
    for _ in range(200):
        command = follower.step(moved(home, lift=200.0))
    assert command.status == "clamped" and command.leg >= 0
    assert command.reason.startswith("servo reading at its")
    assert torso.check(command.pose).ok.all()
    with pytest.raises(ValueError, match=r"segment 1 \(keyframe 1 to 2\) leaves the feasible set: stopped at t = .* s, leg \d: servo"):
        torso.plan([home, moved(home, lift=5.0), moved(home, lift=200.0)], 50.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.plan(np.zeros((2, 4, 4)), 50.0), "keyframe 0"),
        (lambda t: t.plan(np.eye(4), 50.0), r"shape \(K, 4, 4\)"),
        (lambda t: t.follower(0.0), "rate must be positive"),
        (lambda t: t.follower(float("nan")), "rate must be positive"),
        (lambda t: t.follower("50"), "rate must be a number"),
        (lambda t: t.follower(50.0).step(np.eye(3)), "target"),
    ],
)
def test_mistakes_are_value_errors(call, message):
    with pytest.raises(ValueError, match=message):
        call(limited())


def test_a_load_beyond_a_servos_torque_stops_plans_and_the_follower():
    from zandrel_torso import Load

    load = Load(0.5, (0.0, 0.0, 30.0))
    base = limited()
    limit = 2.0 * float(np.max(np.abs(base.torques(base.geometry.home, load))))
    g = base.geometry
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, dataclasses.replace(leg.servo, torque=limit))
            for leg in g.legs]
    torso = Torso(Geometry(g.motor_arm_length, g.rod_length, legs, g.unit, g.home))
    tilted = moved(g.home, roll=0.6)
    assert torso.plan(np.array([g.home, tilted]), 100.0).duration > 0.0  # without the load it goes
    with pytest.raises(ValueError, match=r"segment 0 .*leg \d: servo torque over its limit"):
        torso.plan(np.array([g.home, tilted]), 100.0, load=load)
    follower = torso.follower(100.0, load=load)
    commands = [follower.step(tilted) for _ in range(300)]
    assert commands[-1].status == "clamped" and commands[-1].reason == "servo torque over its limit"
    held = torso.torques(np.array([c.pose for c in commands]), load)
    assert np.all(np.abs(held) <= limit)
