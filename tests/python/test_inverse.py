"""Closed-form inverse kinematics: agreement with the pure-Python reference,
yaw handling, per-leg independence and the singular-motor failure."""

import math
import random

import pytest

import reference_ik as ref

SINGULAR = "called `Option::unwrap()` on a `None` value"

I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def translation(x, y, z):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


def build(cls, a, b, branches):
    k = cls(a, b)
    for branch in branches:
        k.add_branch(*branch)
    return k


def rz_minus(psi):
    """Rz(-psi) in the form the pre-rotation uses."""
    return ref.yaw_prerotation(psi)


# --- agreement with the reference ---------------------------------------------------


def test_matches_reference_on_random_reachable_poses(sample, geometry, random_poses):
    a, b = geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH
    rng = random.Random(1234)
    worst = 0.0
    for i, reachable in enumerate(random_poses(1200, seed=1234)):
        if i % 3 == 0:
            t, yaw = reachable, None
        else:
            # Turn the request by a body yaw anywhere in [-pi, pi] and ask for
            # that yaw: the body sees the reachable pose again.
            yaw = rng.uniform(-math.pi, math.pi)
            t = ref.mat_mul(ref.yaw_prerotation(-yaw), reachable)
        got = sample.inverse_kinematics(t, yaw)
        want = ref.inverse_kinematics(a, b, geometry.BRANCHES, t, yaw)
        assert len(got) == 6
        assert all(math.isfinite(x) and -math.pi <= x < math.pi for x in got), (t, yaw, got)
        worst = max(worst, max(abs(g - w) for g, w in zip(got, want)))
    assert worst <= 1e-12


def test_sample_home_pose_has_level_horns(sample, geometry):
    # The sample's assembly mode keeps every horn within a few degrees of level
    # (a quarter turn from its motor's zero) at home.
    angles = sample.inverse_kinematics(geometry.HOME_POSE)
    assert all(abs(x - math.pi / 2) < math.radians(5.0) for x in angles)


def _exact_branches():
    # Motor poses and anchors whose products and inverses are exact in binary.
    swap_xy = [[0.0, 1.0, 0.0, 0.5], [1.0, 0.0, 0.0, -0.25], [0.0, 0.0, -1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
    scaled = [[2.0, 0.0, 0.0, 0.0], [0.0, 2.0, 0.0, 0.0], [0.0, 0.0, 2.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
    turned = [[0.0, -1.0, 0.0, 0.0], [1.0, 0.0, 0.0, 1.0], [0.0, 0.0, 1.0, -0.5], [0.0, 0.0, 0.0, 1.0]]
    return [
        ([1.0, 1.0, 0.0], I4, 1.0),
        ([1.0, 1.0, 0.0], I4, -1.0),
        ([0.5, -0.75, 0.25], translation(0.25, 0.0, -0.5), 1.0),
        ([1.5, 0.5, 0.0], swap_xy, -1.0),
        ([2.0, 1.0, 0.5], scaled, 1.0),  # not rigid: inverted like any matrix
        ([0.25, 0.5, 0.125], turned, -1.0),
        ([1.0, 0.5, 0.25], I4, 0.5),  # any solution value multiplies the root
        ([1.0, 0.5, 0.25], I4, 0.0),
    ]


@pytest.mark.parametrize(
    "t_world_platform",
    [
        I4,
        translation(0.25, -0.5, 0.125),
        [[0.0, -1.0, 0.0, 0.5], [1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.25], [0.0, 0.0, 0.0, 1.0]],
        [[1.0, 0.0, 0.0, 0.0], [0.0, 0.0, -1.0, 0.25], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]],
    ],
)
@pytest.mark.parametrize("a, b", [(1.0, 1.0), (0.5, 1.25), (1.0, 2.0)])
def test_exact_matrices_match_reference_bit_for_bit(kinematics_class, same, t_world_platform, a, b):
    branches = _exact_branches()
    k = build(kinematics_class, a, b, branches)
    want = ref.inverse_kinematics(a, b, branches, t_world_platform)
    assert same(k.inverse_kinematics(t_world_platform), want)
    # Zero yaw still forms the (exact) identity product: same angles.
    assert same(k.inverse_kinematics(t_world_platform, 0.0), want)


def test_translated_motor_is_read_row_by_row(kinematics_class):
    # Motor 10 along world x: an anchor at platform (11, 1, 0) is (1, 1, 0) for it.
    k = kinematics_class(1.0, 1.0)
    k.add_branch([11.0, 1.0, 0.0], translation(10.0, 0.0, 0.0), 1.0)
    assert k.inverse_kinematics(I4) == [math.pi / 2]


# --- the worked example ---------------------------------------------------------------


@pytest.fixture
def worked(kinematics_class):
    return build(kinematics_class, 1.0, 1.0, [([1.0, 1.0, 0.0], I4, 1.0), ([1.0, 1.0, 0.0], I4, -1.0)])


def test_worked_example_without_yaw(worked):
    assert worked.inverse_kinematics(I4) == [math.pi / 2, 0.0]


def test_worked_example_with_quarter_turn_yaw(worked):
    first, second = worked.inverse_kinematics(I4, math.pi / 2)
    assert abs(first) < 1e-15
    assert second == pytest.approx(-math.pi / 2, abs=1e-15)


# --- edges of reach and of the wrap -----------------------------------------------------


@pytest.mark.parametrize(
    "a, b, anchor, want",
    [
        (1.0, 1.0, [0.0, 2.0, 0.0], math.pi / 2),  # fully stretched towards +y: D == 0
        (1.0, 2.0, [-1.0, 0.0, 0.0], 0.0),  # stretched away: doubled angle 2*pi wraps to 0
    ],
)
def test_edge_of_reach_gives_one_angle_for_both_modes(kinematics_class, a, b, anchor, want):
    k = build(kinematics_class, a, b, [(anchor, I4, 1.0), (anchor, I4, -1.0)])
    assert k.inverse_kinematics(I4) == [want, want]


def test_doubled_angle_of_pi_wraps_to_minus_pi(kinematics_class):
    # u == 0 and v > 0: half-angle pi/2, doubled exactly pi, returned as -pi.
    # The other root has u == v == 0, where the half-angle form says nothing:
    # its angle comes from the anchor's direction instead (3pi/4 - pi/4).
    k = build(kinematics_class, 1.0, 1.0, [([-1.0, 1.0, 0.0], I4, 1.0), ([-1.0, 1.0, 0.0], I4, -1.0)])
    assert k.inverse_kinematics(I4) == [-math.pi, math.pi / 2]


# --- yaw ------------------------------------------------------------------------------------


def test_zero_yaw_of_either_sign_equals_absent_yaw(sample, random_poses):
    for t in random_poses(50, seed=7):
        absent = sample.inverse_kinematics(t)
        assert sample.inverse_kinematics(t, None) == absent
        assert sample.inverse_kinematics(t, 0.0) == absent
        assert sample.inverse_kinematics(t, -0.0) == absent


@pytest.mark.parametrize("psi", [0.3, -0.3, 1.0, -2.5, math.pi, 1e-9, 7.0])
def test_yaw_equals_absent_yaw_on_prerotated_pose(sample, random_poses, same, psi):
    for t in random_poses(20, seed=11):
        # The module turns the requested pose by -psi about world z (rotation on the left).
        assert same(sample.inverse_kinematics(t, psi), sample.inverse_kinematics(ref.mat_mul(rz_minus(psi), t)))


def test_body_yaw_cancels_the_same_turn_of_the_pose(sample, geometry):
    # Turning the requested pose by psi about world z and asking for body yaw
    # psi leaves the pose the motors see unchanged.
    psi = 0.4
    turned = ref.mat_mul([[math.cos(psi), -math.sin(psi), 0.0, 0.0], [math.sin(psi), math.cos(psi), 0.0, 0.0],
                          [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]], geometry.HOME_POSE)
    got = sample.inverse_kinematics(turned, psi)
    assert got == pytest.approx(sample.inverse_kinematics(geometry.HOME_POSE), abs=1e-12)


@pytest.mark.parametrize("psi", [math.nan, math.inf, -math.inf])
def test_non_finite_yaw_gives_nan_everywhere(sample, geometry, psi):
    got = sample.inverse_kinematics(geometry.HOME_POSE, psi)
    assert len(got) == 6 and all(math.isnan(x) for x in got)


# --- branch list ----------------------------------------------------------------------------


@pytest.mark.parametrize("yaw", [None, 0.0, 0.5, math.nan])
def test_empty_model_gives_empty_list(kinematics_class, geometry, yaw):
    k = kinematics_class(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    assert k.inverse_kinematics(geometry.HOME_POSE, yaw) == []
    assert k.inverse_kinematics(I4, yaw) == []


@pytest.mark.parametrize("count", [1, 2, 5, 7, 12, 25])
def test_any_number_of_branches(kinematics_class, geometry, random_poses, count):
    a, b = geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH
    branches = [geometry.BRANCHES[i % 6] for i in range(count)]
    k = build(kinematics_class, a, b, branches)
    for t in random_poses(10, seed=count):
        got = k.inverse_kinematics(t)
        assert len(got) == count
        assert got == pytest.approx(ref.inverse_kinematics(a, b, branches, t), abs=1e-12)


def test_branches_added_after_use_are_seen(kinematics_class, geometry):
    k = kinematics_class(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    full = geometry.make_kinematics().inverse_kinematics(geometry.HOME_POSE)
    for n, branch in enumerate(geometry.BRANCHES, start=1):
        k.add_branch(*branch)
        assert k.inverse_kinematics(geometry.HOME_POSE) == full[:n]


@pytest.mark.parametrize("slot", [0, 3, 6])
def test_unreachable_anchor_is_nan_in_its_own_slot_only(kinematics_class, geometry, slot):
    branches = list(geometry.BRANCHES)
    far_anchor = [0.5, 0.0, 0.0]  # half a metre out: no horn and rod reach it
    branches.insert(slot, (far_anchor, geometry.BRANCHES[0][1], -1.0))
    k = build(kinematics_class, geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH, branches)
    reachable = geometry.make_kinematics().inverse_kinematics(geometry.HOME_POSE)
    got = k.inverse_kinematics(geometry.HOME_POSE)
    assert math.isnan(got[slot])
    assert got[:slot] + got[slot + 1:] == reachable


def test_nan_in_motor_pose_is_not_singular(kinematics_class, geometry):
    # A NaN determinant is no failure: only that leg's angle turns NaN.
    branches = list(geometry.BRANCHES)
    broken = [row[:] for row in branches[2][1]]
    broken[1][1] = math.nan
    branches[2] = (branches[2][0], broken, branches[2][2])
    k = build(kinematics_class, geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH, branches)
    got = k.inverse_kinematics(geometry.HOME_POSE)
    reachable = geometry.make_kinematics().inverse_kinematics(geometry.HOME_POSE)
    assert math.isnan(got[2])
    assert got[:2] + got[3:] == reachable[:2] + reachable[3:]


def test_does_not_touch_forward_kinematics_start(sample_at_identity, geometry, same):
    k = sample_at_identity
    k.inverse_kinematics(geometry.pose(roll=0.2))
    k.inverse_kinematics_safe(geometry.pose(yaw=0.2), 0.1, 0.1, 0.1)
    # fk_pose is still the identity: NaN angles take no step and return it.
    assert same(k.forward_kinematics([math.nan] * 6), I4)


# --- singular motor pose ------------------------------------------------------------------------


SINGULAR_POSES = [
    [[0.0] * 4 for _ in range(4)],
    [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]],
    [[1.0, 2.0, 3.0, 4.0], [2.0, 4.0, 6.0, 8.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]],
    [[-1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 0.0]],
]


@pytest.mark.parametrize("motor_pose", SINGULAR_POSES)
@pytest.mark.parametrize("slot", [0, 4])
@pytest.mark.parametrize("safe", [False, True])
def test_singular_motor_pose_panics_and_poisons(
    kinematics_class, geometry, raises_panic, assert_poisoned, motor_pose, slot, safe
):
    branches = list(geometry.BRANCHES)[:4]
    branches.insert(slot, ([0.01, 0.02, 0.0], motor_pose, 1.0))
    k = build(kinematics_class, geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH, branches)  # registering is fine
    with raises_panic(SINGULAR):
        if safe:
            k.inverse_kinematics_safe(geometry.HOME_POSE, 0.1, 0.2, 0.3)
        else:
            k.inverse_kinematics(geometry.HOME_POSE)
    assert_poisoned(k)
    # A new object is unaffected.
    fresh = geometry.make_kinematics()
    assert len(fresh.inverse_kinematics(geometry.HOME_POSE)) == 6


def test_rods_close_where_the_other_root_is_at_pi():
    """Poses that put one leg's anchor where the horn at pi would also close
    the leg: there the half-angle form's arguments cancel (for the leg whose
    solution is the other root). Every leg that reaches must still close its
    rod to 1e-9 m."""
    import numpy as np
    from zandrel_torso import Torso, rotation, sample_geometry
    from zandrel_torso.reference import Model

    geometry = sample_geometry()
    model, torso = Model.from_geometry(geometry), Torso(geometry)
    a, b = geometry.motor_arm_length, geometry.rod_length
    centre = np.array([-a, 0.0, 0.0])  # horn tip at pi
    rng = np.random.default_rng(25)
    worst, degenerate = 0.0, 0
    for trial in range(300):
        leg = geometry.legs[trial % 6]
        t = geometry.home.copy()
        t[:3, :3] = rotation(*rng.uniform(-0.4, 0.4, 3))
        q_home = model.anchors_in_motor_frames(t)[trial % 6]
        q = centre + b * (q_home - centre) / np.linalg.norm(q_home - centre)
        t[:3, 3] = (leg.t_world_motor @ np.append(q, 1.0))[:3] - t[:3, :3] @ leg.branch_platform
        angles = torso.inverse(t)
        assert np.isfinite(angles[trial % 6])
        degenerate += bool(leg.solution * q[1] < 0.0)
        reached = np.isfinite(angles)
        worst = max(worst, float(np.max(np.abs(model.rod_errors(t, angles)[reached]))))
    assert degenerate > 50
    assert worst <= 1e-9
