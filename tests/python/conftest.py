"""Shared fixtures: the sample geometry, seeded random poses, fatal-error checks."""

import contextlib
import math
import random

import pytest

import sample_geometry

POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
SINGULAR = "called `Option::unwrap()` on a `None` value"
NOT_SIX = "Forward kinematics requires exactly 6 joint angles"

# Half-widths of the box of poses around home that the sample reaches comfortably.
REACH_ANGLE = math.radians(20.0)
REACH_OFFSET = 0.010


@pytest.fixture(scope="session")
def kinematics_class():
    from zandrel_torso_kinematics import ZandrelRustKinematics

    return ZandrelRustKinematics


@pytest.fixture
def sample():
    """A fresh sample model (six legs, fk_pose still the identity)."""
    return sample_geometry.make_kinematics()


@pytest.fixture(scope="session")
def geometry():
    return sample_geometry


def _home_frame_branches():
    out = []
    for anchor, t_world_motor, solution in sample_geometry.BRANCHES:
        t_home_motor = [row[:] for row in t_world_motor]
        t_home_motor[2][3] -= sample_geometry.HOME_HEIGHT
        out.append((anchor, t_home_motor, solution))
    return out


@pytest.fixture(scope="session")
def home_frame_branches():
    """The sample's legs with the motors expressed in the home platform frame,
    so that the identity is the home pose of this variant."""
    return _home_frame_branches()


@pytest.fixture
def sample_at_identity(kinematics_class):
    """A fresh six-leg model whose home pose is the identity."""
    k = kinematics_class(sample_geometry.MOTOR_ARM_LENGTH, sample_geometry.ROD_LENGTH)
    for branch in _home_frame_branches():
        k.add_branch(*branch)
    return k


def random_pose_params(rng, scale=1.0):
    """(roll, pitch, yaw, x, y, z) uniformly inside the reachable box, shrunk by scale."""
    return tuple(rng.uniform(-REACH_ANGLE, REACH_ANGLE) * scale for _ in range(3)) + tuple(
        rng.uniform(-REACH_OFFSET, REACH_OFFSET) * scale for _ in range(3)
    )


@pytest.fixture
def random_poses():
    """random_poses(n, seed=...) -> n reachable sample poses, reproducible per seed."""

    def make(n, seed=20240611, scale=1.0):
        rng = random.Random(seed)
        return [sample_geometry.pose(*random_pose_params(rng, scale)) for _ in range(n)]

    return make


@contextlib.contextmanager
def _raises_panic(message):
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    assert not isinstance(info.value, Exception)
    assert info.value.args == (message,)


@pytest.fixture
def raises_panic():
    """with raises_panic(message): ... expects a PanicException carrying message."""
    return _raises_panic


@pytest.fixture
def assert_poisoned():
    """Checks that every method of a model fails with the poisoned-lock panic."""

    def check(k):
        pose = sample_geometry.HOME_POSE
        calls = [
            lambda: k.add_branch([0.0, 0.0, 0.0], pose, 1.0),
            lambda: k.inverse_kinematics(pose),
            lambda: k.inverse_kinematics(pose, 0.1),
            lambda: k.inverse_kinematics_safe(pose),
            lambda: k.inverse_kinematics_safe(pose, 0.1, 0.2, 0.3),
            lambda: k.forward_kinematics([0.0] * 6),
            lambda: k.forward_kinematics([0.0] * 6, 0.1),
            lambda: k.reset_forward_kinematics(pose),
        ]
        for call in calls:
            with _raises_panic(POISONED):
                call()
        # Still poisoned after all those attempts.
        with _raises_panic(POISONED):
            k.inverse_kinematics(pose)

    return check


def same_floats(xs, ys):
    """Element-for-element equality treating NaN as equal to NaN and telling
    the two zeros apart."""
    if len(xs) != len(ys):
        return False
    for x, y in zip(xs, ys):
        if isinstance(x, list):
            if not same_floats(x, y):
                return False
        elif math.isnan(x) or math.isnan(y):
            if not (math.isnan(x) and math.isnan(y)):
                return False
        elif x != y or math.copysign(1.0, x) != math.copysign(1.0, y):
            return False
    return True


@pytest.fixture(scope="session")
def same():
    return same_floats
