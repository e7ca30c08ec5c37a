"""Warm-started forward kinematics: convergence over repeated calls, the
single damped step per call, the yaw-turned output, the stored pose, and the
fatal errors."""

import math
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import reference_ik as ref
from zandrel_torso.reference import Model

NOT_SIX = "Forward kinematics requires exactly 6 joint angles"
SINGULAR = "called `Option::unwrap()` on a `None` value"
PIVOT = 0.177
I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def max_abs_diff(p, q):
    return max(abs(p[r][c] - q[r][c]) for r in range(4) for c in range(4))


def model_of(geometry):
    """The package's NumPy model of a mechanism given as the tests give it."""
    return Model(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH, geometry.BRANCHES)


def residual_norm(geometry, pose, angles):
    return float(np.linalg.norm(model_of(geometry).rod_errors(np.array(pose), angles)))


def settle(k, angles, body_yaw=None, max_calls=200):
    """Calls forward_kinematics until the returned pose repeats; returns every pose."""
    poses = [k.forward_kinematics(angles, body_yaw)]
    while len(poses) < max_calls:
        poses.append(k.forward_kinematics(angles, body_yaw))
        if poses[-1] == poses[-2]:
            return poses
    pytest.fail(f"no settled pose after {max_calls} calls")


def turn_output(pose, psi):
    """The yaw-turned copy of a stored pose, about the vertical axis through
    (0, 0, PIVOT), evaluated as the solver does for a finite non-zero yaw."""
    shifted = [row[:] for row in pose]
    shifted[2][3] = shifted[2][3] + (-PIVOT)
    s, c = math.sin(psi), math.cos(psi)
    rz = [[c, -s, 0.0, 0.0], [s, c, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
    out = ref.mat_mul(rz, shifted)
    out[2][3] = out[2][3] + PIVOT
    return out


# --- convergence ------------------------------------------------------------------------------


def test_round_trips_through_random_poses(sample, geometry, random_poses):
    sample.reset_forward_kinematics(geometry.HOME_POSE)
    worst_error, most_calls = 0.0, 0
    for target in random_poses(250, seed=99):
        angles = sample.inverse_kinematics(target)
        poses = settle(sample, angles)
        norms = [residual_norm(geometry, p, angles) for p in poses]
        # A step is only taken when it lowers the residual (recomputed here,
        # so allow for a last-bit difference in the recomputation).
        assert all(n1 <= n0 + 1e-15 for n0, n1 in zip(norms, norms[1:])), norms
        assert norms[-1] <= 1e-6 * (1 + 1e-9)
        worst_error = max(worst_error, max_abs_diff(poses[-1], target))
        most_calls = max(most_calls, len(poses))
    assert worst_error <= 1e-4
    assert most_calls <= 60


@pytest.mark.parametrize("psi", [0.25, -1.0, 3.0])
def test_round_trips_with_body_yaw(sample, geometry, random_poses, psi):
    # The solve happens at zero body yaw; only the returned copy is turned back.
    # Targets are reachable poses turned by psi about world z, so that the
    # body, turned by psi too, sees them inside its reach.
    sample.reset_forward_kinematics(geometry.HOME_POSE)
    for reachable in random_poses(20, seed=int(psi * 100)):
        target = ref.mat_mul(ref.yaw_prerotation(-psi), reachable)  # Rz(psi) * T
        angles = sample.inverse_kinematics(target, psi)
        poses = settle(sample, angles, psi)
        assert max_abs_diff(poses[-1], target) <= 1e-4


def test_each_call_takes_one_damped_step(sample, geometry, random_poses):
    model = model_of(geometry)
    stored = geometry.HOME_POSE
    sample.reset_forward_kinematics(stored)
    compared = 0
    for target in random_poses(6, seed=3):
        angles = sample.inverse_kinematics(target)
        for _ in range(40):
            want = model.forward_step(np.array(stored), angles)[0].tolist()
            got = sample.forward_kinematics(angles)
            assert max_abs_diff(got, want) <= 1e-12
            compared += 1
            if got == stored:
                break
            stored = got
    assert compared > 30


def test_solution_signs_play_no_part(kinematics_class, geometry):
    flipped = kinematics_class(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    for anchor, t_world_motor, solution in geometry.BRANCHES:
        flipped.add_branch(anchor, t_world_motor, -solution)
    k = geometry.make_kinematics()
    angles = k.inverse_kinematics(geometry.pose(pitch=0.2, x=0.005))
    for _ in range(5):
        assert flipped.forward_kinematics(angles) == k.forward_kinematics(angles)


# --- a solved pose is kept -----------------------------------------------------------------


def test_solved_pose_is_returned_element_for_element(sample, random_poses):
    for target in random_poses(40, seed=17):
        sample.reset_forward_kinematics(target)
        angles = sample.inverse_kinematics(target)
        assert sample.forward_kinematics(angles) == target
        assert sample.forward_kinematics(angles) == target


def test_fresh_object_solved_at_identity(sample_at_identity):
    angles = sample_at_identity.inverse_kinematics(I4)
    assert sample_at_identity.forward_kinematics(angles) == I4


# --- body yaw on the output -----------------------------------------------------------------------


@pytest.mark.parametrize("psi", [0.3, -0.7, 2.0, 1e-7])
def test_yawed_request_comes_back_turned(sample, random_poses, psi):
    for target in random_poses(15, seed=23):
        stored = ref.mat_mul(ref.yaw_prerotation(psi), target)  # Rz(-psi) * T
        sample.reset_forward_kinematics(stored)
        angles = sample.inverse_kinematics(target, psi)
        got = sample.forward_kinematics(angles, psi)
        assert got == turn_output(stored, psi)
        assert max_abs_diff(got, target) <= 1e-12
        # The yaw is not stored.
        assert sample.forward_kinematics(angles) == stored


def test_zero_yaw_differs_from_absent_only_by_pivot_rounding(sample, random_poses):
    for target in random_poses(30, seed=29):
        sample.reset_forward_kinematics(target)
        angles = sample.inverse_kinematics(target)
        want = [row[:] for row in target]
        want[2][3] = (target[2][3] + (-PIVOT)) + PIVOT
        assert sample.forward_kinematics(angles, 0.0) == want
        assert sample.forward_kinematics(angles, -0.0) == want
        assert sample.forward_kinematics(angles) == target


@pytest.mark.parametrize("psi", [math.nan, math.inf, -math.inf])
def test_non_finite_yaw_keeps_only_the_bottom_row(sample, geometry, psi):
    stored = geometry.pose(roll=0.1)
    sample.reset_forward_kinematics(stored)
    got = sample.forward_kinematics(sample.inverse_kinematics(stored), psi)
    assert all(math.isnan(x) for row in got[:3] for x in row)
    assert got[3] == [0.0, 0.0, 0.0, 1.0]
    assert sample.forward_kinematics([math.nan] * 6) == stored


@pytest.mark.parametrize("psi", [math.nan, math.inf])
def test_non_finite_yaw_with_a_non_rigid_bottom_row(sample, geometry, same, psi):
    stored = [row[:] for row in geometry.pose(roll=0.1)[:3]] + [[0.25, -0.5, 0.125, 2.0]]
    sample.reset_forward_kinematics(stored)
    got = sample.forward_kinematics([math.nan] * 6, psi)  # NaN angles: no step
    assert all(math.isnan(x) for row in got[:3] for x in row)
    assert got[3] == [0.25, -0.5, 0.125, 2.0]
    assert same(sample.forward_kinematics([math.nan] * 6), stored)


# --- no step taken ---------------------------------------------------------------------------


@pytest.mark.parametrize("nan_slot", [0, 5, None])
@pytest.mark.parametrize("psi", [None, 0.4])
def test_nan_angle_returns_the_stored_pose(sample, geometry, nan_slot, psi):
    start = geometry.pose(roll=0.05, y=0.003)
    sample.reset_forward_kinematics(start)
    angles = sample.inverse_kinematics(geometry.pose(pitch=0.2))  # far from the stored pose
    if nan_slot is None:
        angles = [math.nan] * 6
    else:
        angles[nan_slot] = math.nan
    want = start if psi is None else turn_output(start, psi)
    for _ in range(3):
        assert sample.forward_kinematics(angles, psi) == want
    assert sample.forward_kinematics([math.nan] * 6) == start


def _stuck_at_local_minimum(cls, geometry):
    """The sample with one horn turned almost half a turn from the others:
    the solver walks to a pose where no trial step lowers the residual."""
    k = geometry.make_kinematics()
    k.reset_forward_kinematics(geometry.HOME_POSE)
    return k, geometry, [0.0, 0.0, 0.0, 0.0, 0.0, 3.0]


class _ZeroHorns:
    """Zero-length horns with every anchor on its motor's origin (fk_pose at
    the identity): every rod vector is zero, so the Jacobian and the step vanish."""

    MOTOR_ARM_LENGTH = 0.0
    ROD_LENGTH = 0.085

    def __init__(self, geometry):
        self.BRANCHES = [
            ([t_world_motor[r][3] for r in range(3)], t_world_motor, solution)
            for _, t_world_motor, solution in geometry.BRANCHES
        ]


def _stuck_with_zero_jacobian(cls, geometry):
    model = _ZeroHorns(geometry)
    k = cls(model.MOTOR_ARM_LENGTH, model.ROD_LENGTH)
    for branch in model.BRANCHES:
        k.add_branch(*branch)
    return k, model, [0.1, -0.2, 0.3, -0.4, 0.5, -0.6]


@pytest.mark.parametrize("make", [_stuck_at_local_minimum, _stuck_with_zero_jacobian])
def test_rejected_line_search_repeats_the_same_result(kinematics_class, geometry, make):
    k, model, angles = make(kinematics_class, geometry)
    poses = settle(k, angles)
    final = poses[-1]
    # Not converged: the residual is far above the threshold, the step was refused.
    assert residual_norm(model, final, angles) > 1e-3
    norms = [residual_norm(model, p, angles) for p in poses]
    assert all(n1 <= n0 + 1e-15 for n0, n1 in zip(norms, norms[1:]))
    for _ in range(3):
        assert k.forward_kinematics(angles) == final


# --- the stored pose -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "matrix",
    [
        [[1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0], [9.0, 10.0, 12.0, 12.0], [0.5, -0.25, 0.125, 2.0]],
        [[2.0, 0.0, 0.0, -0.0], [0.0, 3.0, 0.0, 1e300], [0.0, 0.0, -1.0, -1e-300], [0.0, 0.0, 0.0, 1.0]],
        [[0.0, 1.0, 0.0, 0.1], [1.0, 0.0, 0.0, 0.2], [0.0, 0.0, 1.0, 0.3], [1.0, 1.0, 1.0, 1.0]],
    ],
)
def test_reset_stores_any_sixteen_numbers(sample, same, matrix):
    assert sample.reset_forward_kinematics(matrix) is None
    got = sample.forward_kinematics([math.nan] * 6)
    assert same(got, matrix)


def test_reset_does_not_need_branches(kinematics_class):
    k = kinematics_class(0.04, 0.085)
    assert k.reset_forward_kinematics(I4) is None
    assert k.inverse_kinematics(I4) == []


# --- fatal errors -----------------------------------------------------------------------------


@pytest.mark.parametrize("count", [0, 1, 5, 7, 12])
def test_needs_exactly_six_branches(kinematics_class, geometry, raises_panic, assert_poisoned, count):
    k = kinematics_class(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    for i in range(count):
        k.add_branch(*geometry.BRANCHES[i % 6])
    with raises_panic(NOT_SIX):
        k.forward_kinematics([0.0] * 6)
    assert_poisoned(k)


def test_six_branches_after_a_count_error_is_too_late(kinematics_class, geometry, raises_panic):
    k = kinematics_class(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    for branch in geometry.BRANCHES[:5]:
        k.add_branch(*branch)
    with raises_panic(NOT_SIX):
        k.forward_kinematics([0.0] * 6)
    with raises_panic("called `Result::unwrap()` on an `Err` value: PoisonError { .. }"):
        k.add_branch(*geometry.BRANCHES[5])
    # A new object works.
    fresh = geometry.make_kinematics()
    assert len(fresh.forward_kinematics(fresh.inverse_kinematics(I4))) == 4


@pytest.mark.parametrize("angles", [[0.0] * 6, [math.nan] * 6])
def test_singular_stored_pose_fails(sample, raises_panic, assert_poisoned, angles):
    assert sample.reset_forward_kinematics([[0.0] * 4 for _ in range(4)]) is None
    with raises_panic(SINGULAR):
        sample.forward_kinematics(angles)
    assert_poisoned(sample)


# --- non-finite inputs must not hang -------------------------------------------------------


_GUARD_SCRIPT = textwrap.dedent(
    """
    import math, sys
    sys.path.insert(0, sys.argv[1])
    import sample_geometry as g
    from zandrel_torso_kinematics import ZandrelRustKinematics

    a, b, stored, angle = (eval(x, {"inf": math.inf, "nan": math.nan}) for x in sys.argv[2:6])
    k = ZandrelRustKinematics(a, b)
    for branch in g.BRANCHES:
        k.add_branch(*branch)
    if stored is not None:
        pose = g.pose(roll=0.1)
        pose[stored[0]][stored[1]] = stored[2]
        k.reset_forward_kinematics(pose)
    angles = [angle, 0.1, -0.1, 0.2, -0.2, 0.0]
    try:
        for _ in range(20):
            k.forward_kinematics(angles)
            k.forward_kinematics(angles, 0.3)
        k.inverse_kinematics(g.HOME_POSE, 0.2)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
    print("returned")
    """
)


@pytest.mark.parametrize(
    "a, b, stored, angle",
    [
        ("inf", "0.085", "None", "0.0"),
        ("0.04", "inf", "None", "0.0"),
        ("nan", "0.085", "None", "0.0"),
        ("0.04", "nan", "None", "0.0"),
        ("inf", "nan", "None", "0.0"),
        ("0.04", "0.085", "(0, 3, inf)", "0.0"),
        ("0.04", "0.085", "(1, 1, inf)", "0.0"),
        ("0.04", "0.085", "(2, 0, -inf)", "0.3"),
        ("0.04", "0.085", "(0, 0, nan)", "0.0"),
        ("0.04", "0.085", "(2, 3, 1e308)", "0.0"),
        ("0.04", "0.085", "None", "inf"),
        ("1e300", "1e-300", "None", "0.0"),
    ],
)
def test_non_finite_inputs_return(a, b, stored, angle):
    here = str(pathlib.Path(__file__).resolve().parent)
    done = subprocess.run(
        [sys.executable, "-c", _GUARD_SCRIPT, here, a, b, stored, angle],
        capture_output=True,
        text=True,
        timeout=20,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "returned"
