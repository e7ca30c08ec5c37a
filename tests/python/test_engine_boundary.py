"""The motion engine's own binding with arguments Torso would never pass.

Torso checks and converts before it calls zandrel_torso._engine, but the
engine is importable on its own: a wrong shape, dtype, layout or a None
must be refused with TypeError or ValueError, never crash the process or
reach the C++ with the wrong bytes. Under the sanitizer run these calls
reach the instrumented engine.
"""

import math

import numpy as np
import pytest

from zandrel_torso import Torso, sample_geometry
from zandrel_torso import _engine


@pytest.fixture(scope="module")
def arguments():
    """motion_model's arguments for the sample (metres), by name."""
    metres = sample_geometry()
    legs = metres.legs
    n = len(legs)
    return {
        "motor_arm_length": np.full(n, metres.motor_arm_length),
        "rod_length": np.full(n, metres.rod_length),
        "t_world_motor": np.array([leg.t_world_motor for leg in legs], dtype=np.float64).reshape(-1, 4, 4),
        "branch_platform": np.array([leg.branch_platform for leg in legs], dtype=np.float64).reshape(-1, 3),
        "solution": np.array([leg.solution for leg in legs], dtype=np.float64),
        "zero": np.zeros(n),
        "direction": np.ones(n),
        "lower": np.full(n, -math.pi),
        "upper": np.full(n, math.pi),
        "speed": np.full(n, 6.0),
        "acceleration": np.full(n, 80.0),
        "pulse_lower": np.full(n, 500.0),
        "pulse_upper": np.full(n, 2500.0),
        "torque": np.full(n, 2.0),
        "home": np.ascontiguousarray(metres.home, dtype=np.float64),
        "unit_per_metre": 1.0,
        # mass, centre, gravity, force, moment
        "load": np.array([0.5, 0.0, 0.0, 0.03, 0.0, 0.0, -9.81, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]),
    }


@pytest.fixture(scope="module")
def model():
    return Torso(sample_geometry())._motion_model


@pytest.fixture(scope="module")
def home():
    return np.ascontiguousarray(sample_geometry().home, dtype=np.float64)


def refused(call, *args, **kwargs):
    """The call raises TypeError or ValueError; anything else fails the test."""
    with pytest.raises((TypeError, ValueError)):
        call(*args, **kwargs)


def outcome(call, *args, **kwargs):
    """("ok", result) or ("raised", exception), only TypeError or ValueError raised."""
    try:
        return "ok", call(*args, **kwargs)
    except (TypeError, ValueError) as error:
        return "raised", error


def same(a, b):
    """Two command tuples equal to the bit (NaN equal to itself)."""
    return len(a) == len(b) and all(
        np.asarray(x).tobytes() == np.asarray(y).tobytes() and np.shape(x) == np.shape(y) for x, y in zip(a, b)
    )


# Stand-ins for a float64 C-contiguous array that the binding may convert
# (another real dtype, Fortran order, a strided view, a buffer): either
# refused or taken as the float64 copy of the same values.
def convertible(array):
    yield array.astype(np.float32)
    yield array.astype(np.int64)
    yield array.astype(np.bool_)
    yield np.asfortranarray(array)
    yield np.repeat(array, 2, axis=-1)[..., ::2]
    yield memoryview(np.ascontiguousarray(array))


def plain(array):
    return np.ascontiguousarray(np.asarray(array), dtype=np.float64)


# Stand-ins that are no such array at all: wrong shape, no buffer, a dtype
# with no real value, a byte order that is not the machine's.
def wrong_poses(pose):
    yield pose.tolist()
    yield pose.astype(object)
    yield pose.astype(np.complex128)
    yield pose.astype(">f8")
    yield pose[:3]
    yield pose.reshape(16)
    yield pose.reshape(1, 4, 4)
    yield np.zeros((0, 4))
    yield np.zeros((4, 4, 0))
    yield "pose"
    yield memoryview(pose.tobytes())


def wrong_values(values):
    n = len(values)
    yield None
    yield values.tolist()
    yield values.astype(np.complex128)
    yield values.reshape(1, n)
    yield values[:-1]
    yield np.append(values, 1.0)
    yield np.zeros(0)
    yield 1.0


def test_motion_model_refuses_wrong_arrays(arguments):
    assert _engine.motion_model(**arguments).legs == 6
    for name, good in arguments.items():
        if isinstance(good, float):
            wrongs = [None, "1", [1.0], np.zeros(2), math.nan, -1.0, math.inf, 0.0]
        elif name == "home":
            wrongs = [None, *wrong_poses(good)]
        elif good.ndim == 1:
            wrongs = [w for w in wrong_values(good) if not (name == "load" and w is None)]
        else:
            wrongs = [None, good.tolist(), good[:-1], good.reshape(-1), good[..., :-1], good.astype(">f8"),
                      good.astype(np.complex128)]
        for wrong in wrongs:
            refused(_engine.motion_model, **{**arguments, name: wrong})
        if not isinstance(good, float):
            for stand_in in convertible(good):
                result = outcome(_engine.motion_model, **{**arguments, name: stand_in})
                if result[0] == "ok":
                    assert result[1].legs == 6
    refused(_engine.motion_model, *arguments.values(), 1.0)
    refused(_engine.motion_model, **{**arguments, "extra": 1.0})


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, 1e308])
def test_values_out_of_range_are_value_errors(arguments, bad):
    for name in ("zero", "direction", "lower", "upper", "speed", "acceleration", "pulse_lower", "pulse_upper",
                 "solution", "motor_arm_length", "rod_length", "torque", "load"):
        values = arguments[name].copy()
        values[3] = bad
        # Refused in words, or accepted when the value is valid there.
        result = outcome(_engine.motion_model, **{**arguments, name: values})
        assert result[0] == "ok" or type(result[1]) is ValueError, result


def test_solver_refuses_wrong_arguments(arguments, home):
    legs = [arguments[name] for name in ("motor_arm_length", "rod_length", "t_world_motor", "branch_platform", "solution")]
    solver = _engine.Solver(*legs)
    for index, good in enumerate(legs):
        for wrong in (None, good.tolist(), good[:-1], good.astype(np.complex128)):
            refused(_engine.Solver, *legs[:index], wrong, *legs[index + 1:])
    for wrong in (None, "pose", home[:3], home.reshape(16), np.zeros((4, 3))):
        refused(solver.inverse_kinematics, wrong)
        refused(solver.reset_forward_kinematics, wrong)
    for wrong in (None, np.zeros(5), np.zeros(7), "angles"):
        refused(solver.forward_kinematics, wrong)
    # Refused calls leave the solver standing at home.
    solver.reset_forward_kinematics(home)
    refused(solver.reset_forward_kinematics, [[1.0] * 4] * 3)
    assert solver.forward_kinematics([math.nan] * 6) == home.tolist()


def test_follower_refuses_wrong_arguments(model, home):
    follower = _engine.Follower(model, 200.0, None)
    for wrong in wrong_poses(home):
        refused(_engine.Follower, model, 200.0, wrong)
        refused(follower.step, wrong)
    for rate in (None, "200", [200.0], math.nan, math.inf, -math.inf, 0.0, -200.0):
        refused(_engine.Follower, model, rate, None)
    for stand_in in (None, object(), _engine, follower):
        refused(_engine.Follower, stand_in, 200.0, None)
    refused(_engine.Follower, model, 200.0, np.full((4, 4), math.nan))
    refused(_engine.Follower, model, 200.0, home * 2.0)  # not rigid
    refused(follower.step)
    refused(follower.step, home, home)
    # Refused calls leave the follower as it was: at rest at home.
    assert np.array_equal(follower.last()[0], home) and follower.at_rest


def test_converted_targets_act_as_their_float64_copies(model, home):
    target = home.copy()
    target[2, 3] += 0.004
    for stand_in in convertible(target):
        fed, twin = _engine.Follower(model, 200.0, None), _engine.Follower(model, 200.0, None)
        for _ in range(3):
            result = outcome(fed.step, stand_in)
            if result[0] == "raised":
                break
            assert same(result[1], twin.step(plain(stand_in)))


def test_step_takes_any_pose_values_and_none(model, home):
    follower = _engine.Follower(model, 200.0, home)
    odd = [np.full((4, 4), math.nan), np.full((4, 4), math.inf), home * 1.5, np.zeros((4, 4)),
           np.full((4, 4), 1e308), home + 1e3, None, home]
    for target in odd:
        for _ in range(3):
            pose, angles, readings, pulses, status, leg, reason = follower.step(target)
            assert pose.shape == (4, 4) and angles.shape == readings.shape == pulses.shape == (6,)
            assert np.all(np.isfinite(pose)) and np.all(np.isfinite(angles))
            assert status in (0, 1, 2, 3) and -1 <= leg < 6 and 0 <= reason <= 5


def test_plan_refuses_wrong_keyframes_and_rates(model, home):
    frames = np.ascontiguousarray(np.stack([home, home]))
    assert _engine.plan(model, frames, 100.0)[-1] is None
    for wrong in (None, frames.tolist(), frames.astype(object), frames.astype(">f8"), frames[:, :3], home,
                  frames.reshape(-1), np.zeros((0, 4)), "frames"):
        refused(_engine.plan, model, wrong, 100.0)
    refused(_engine.plan, model, np.zeros((0, 4, 4)), 100.0)  # no keyframe
    for stand_in in convertible(frames):
        result = outcome(_engine.plan, model, stand_in, 100.0)
        assert result[0] == "raised" or same(result[1][:-1], _engine.plan(model, plain(stand_in), 100.0)[:-1])
    for rate in (None, "100", math.nan, math.inf, -math.inf, 0.0, -1.0):
        refused(_engine.plan, model, frames, rate)
    for stand_in in (None, object(), _engine.Follower(model, 100.0, None)):
        refused(_engine.plan, stand_in, frames, 100.0)


def test_odd_keyframes_fail_the_plan_or_are_value_errors(model, home):
    for frame in (np.full((4, 4), math.nan), np.full((4, 4), math.inf), home * 1.5, home + 1e3,
                  np.zeros((4, 4))):
        for frames in ([frame], [home, frame], [frame, home]):
            # A first keyframe that a follower cannot start from is refused.
            result = outcome(_engine.plan, model, np.ascontiguousarray(np.stack(frames)), 100.0)
            if result[0] == "raised":
                assert type(result[1]) is ValueError
                continue
            times, poses, angles, readings, pulses, duration, failure = result[1]
            if failure is not None:
                assert len(times) == len(poses) == len(angles) == len(readings) == len(pulses) == 0
            else:
                assert poses.shape == (len(times), 4, 4) and angles.shape == (len(times), 6)
