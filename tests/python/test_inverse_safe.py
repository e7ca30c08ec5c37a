"""Yaw-limited inverse kinematics: the choice of yaw, its signed zeros, the
limit check and its message, and the angles that follow."""

import math
import random
import struct

import pytest

import reference_ik as ref

LIMIT_PREFIX = "min > max, or either was NaN. min = "
I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def turned_about_z(psi, t=I4):
    c, s = math.cos(psi), math.sin(psi)
    return ref.mat_mul([[c, -s, 0.0, 0.0], [s, c, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]], t)


def clamp(v, lo, hi):
    if v < lo:
        v = lo
    if v > hi:
        v = hi
    return v


def expected_yaw(t, body_yaw, max_relative_yaw, max_body_yaw):
    """The yaw choice written out independently: limits act on the negated yaw,
    relative band first, absolute band last."""
    if body_yaw is None:
        return 0.0
    w = -body_yaw
    if max_relative_yaw is not None:
        heading = math.atan2(t[0][1], t[0][0])
        w = clamp(w - heading, -max_relative_yaw, max_relative_yaw) + heading
    if max_body_yaw is not None:
        w = clamp(w, -max_body_yaw, max_body_yaw)
    return -w


def is_negative_zero(x):
    return x == 0.0 and math.copysign(1.0, x) < 0.0


def is_positive_zero(x):
    return x == 0.0 and math.copysign(1.0, x) > 0.0


# --- worked examples -----------------------------------------------------------------------


@pytest.fixture
def worked(kinematics_class):
    k = kinematics_class(1.0, 1.0)
    k.add_branch([1.0, 1.0, 0.0], I4, 1.0)
    k.add_branch([1.0, 1.0, 0.0], I4, -1.0)
    return k


@pytest.mark.parametrize(
    "limits, yaw",
    [((0.1, None), 0.1), ((0.1, 0.05), 0.05), ((None, 0.05), 0.05), ((None, None), 0.3)],
)
def test_worked_examples(worked, limits, yaw):
    got = worked.inverse_kinematics_safe(I4, 0.3, *limits)
    assert got[0] == yaw
    assert got[1:] == worked.inverse_kinematics(I4, yaw)


@pytest.mark.parametrize(
    "body_yaw, max_relative_yaw, max_body_yaw, want",
    [
        (1.0, 0.1, 0.3, 0.3),  # inside the relative band, capped by the absolute one
        (-1.0, 0.1, 0.3, 0.3),  # pulled up to 0.9 by the relative band, then capped
        (-1.0, 0.1, 2.0, 0.9),  # only the relative band acts
        (-1.0, 3.0, 0.5, -0.5),  # only the absolute band acts
    ],
)
def test_relative_band_then_absolute_band(sample, geometry, body_yaw, max_relative_yaw, max_body_yaw, want):
    t = turned_about_z(1.0, geometry.HOME_POSE)  # platform heading 1.0
    got = sample.inverse_kinematics_safe(t, body_yaw, max_relative_yaw, max_body_yaw)
    assert got[0] == pytest.approx(want, abs=1e-15)


# --- body yaw absent ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "limits", [(None, None), (0.2, 0.3), (-0.5, None), (None, -1.0), (math.nan, math.nan), (-math.inf, -0.1)]
)
def test_absent_body_yaw_uses_positive_zero_and_ignores_limits(sample, geometry, limits):
    t = geometry.pose(roll=0.1, yaw=0.3)
    got = sample.inverse_kinematics_safe(t, None, *limits)
    assert is_positive_zero(got[0])
    assert got[1:] == sample.inverse_kinematics(t, 0.0)
    assert got[1:] == sample.inverse_kinematics(t)
    # Keyword form, and the object is still usable (nothing was raised or poisoned).
    assert sample.inverse_kinematics_safe(t, max_relative_yaw=limits[0], max_body_yaw=limits[1]) == got


# --- the yaw choice ---------------------------------------------------------------------------


@pytest.mark.parametrize("body_yaw", [0.3, -0.3, 0.0, -0.0, 2.0, -7.5, 1e-300, 123456.789])
def test_no_limits_use_body_yaw_exactly(sample, geometry, body_yaw):
    got = sample.inverse_kinematics_safe(geometry.HOME_POSE, body_yaw)
    assert got[0] == body_yaw
    assert math.copysign(1.0, got[0]) == math.copysign(1.0, body_yaw)


@pytest.mark.parametrize("body_yaw", [-2.0, 0.0, 0.1, 0.7, 5.0])
def test_zero_relative_band_follows_platform_heading(sample, geometry, body_yaw):
    t = turned_about_z(0.7, geometry.HOME_POSE)
    assert sample.inverse_kinematics_safe(t, body_yaw, 0.0)[0] == pytest.approx(0.7, abs=1e-15)


def test_relative_difference_is_not_wrapped(sample, geometry):
    t = turned_about_z(-3.0, geometry.HOME_POSE)  # atan2 of row 0 reads a heading of -3.0
    assert sample.inverse_kinematics_safe(t, 3.0, 0.5)[0] == pytest.approx(-2.5, abs=1e-14)


def test_signed_zero_from_the_relative_band(sample):
    got = sample.inverse_kinematics_safe(I4, 0.0, 0.5)
    assert is_negative_zero(got[0])


@pytest.mark.parametrize("body_yaw", [1.0, -2.0, 0.0, -0.0, 1e300, math.inf, -math.inf])
def test_negative_zero_absolute_limit_forces_zero_yaw(sample, geometry, body_yaw):
    got = sample.inverse_kinematics_safe(geometry.HOME_POSE, body_yaw, None, -0.0)
    assert got[0] == 0.0
    assert got[1:] == sample.inverse_kinematics(geometry.HOME_POSE)


@pytest.mark.parametrize("seed", range(4))
def test_yaw_choice_and_angles_on_random_requests(sample, random_poses, same, seed):
    rng = random.Random(seed)

    def maybe(x):
        return None if rng.random() < 0.3 else x

    for t in random_poses(60, seed=100 + seed):
        body_yaw = maybe(rng.uniform(-1.0, 1.0))
        max_rel = maybe(rng.choice([0.0, -0.0, rng.uniform(0.0, 0.5)]))
        max_body = maybe(rng.choice([0.0, rng.uniform(0.0, 0.6)]))
        got = sample.inverse_kinematics_safe(t, body_yaw, max_rel, max_body)
        yaw = expected_yaw(t, body_yaw, max_rel, max_body)
        assert same([got[0]], [yaw]), (body_yaw, max_rel, max_body)
        assert same(got[1:], sample.inverse_kinematics(t, yaw))


@pytest.mark.parametrize("limits", [(None, None), (0.1, None), (None, 0.1), (0.1, 0.2)])
def test_nan_body_yaw_gives_nan_everywhere_without_error(sample, geometry, limits):
    got = sample.inverse_kinematics_safe(geometry.HOME_POSE, math.nan, *limits)
    assert len(got) == 7 and all(math.isnan(x) for x in got)
    assert len(sample.inverse_kinematics(geometry.HOME_POSE)) == 6  # not poisoned


@pytest.mark.parametrize("body_yaw, want", [(None, 0.0), (0.4, 0.2), (-0.1, -0.1)])
def test_model_without_branches_returns_only_the_yaw(kinematics_class, body_yaw, want):
    k = kinematics_class(0.04, 0.085)
    assert k.inverse_kinematics_safe(I4, body_yaw, 0.2, 0.3) == [want]


# --- invalid limits ---------------------------------------------------------------------------


LIMIT_TEXTS = [
    (-0.5, "0.5", "-0.5"),
    (-0.1, "0.1", "-0.1"),
    (-1e-5, "1e-5", "-1e-5"),
    (-2.5e-7, "2.5e-7", "-2.5e-7"),
    (-2.0, "2.0", "-2.0"),
    (-1e-4, "0.0001", "-0.0001"),
    (-123.456, "123.456", "-123.456"),
    (-1e15, "1000000000000000.0", "-1000000000000000.0"),
    (-1e16, "1e16", "-1e16"),
    (-1.5e300, "1.5e300", "-1.5e300"),
    (-5e-324, "5e-324", "-5e-324"),
    (-math.inf, "inf", "-inf"),
    (math.nan, "NaN", "NaN"),
    (-math.nan, "NaN", "NaN"),
]


@pytest.mark.parametrize("limit, low, high", LIMIT_TEXTS)
@pytest.mark.parametrize("which", ["relative", "absolute"])
def test_invalid_limit_message_and_poisoning(sample, geometry, raises_panic, assert_poisoned, limit, low, high, which):
    args = (limit, None) if which == "relative" else (None, limit)
    with raises_panic(f"{LIMIT_PREFIX}{low}, max = {high}"):
        sample.inverse_kinematics_safe(geometry.HOME_POSE, 0.1, *args)
    assert_poisoned(sample)


def test_invalid_relative_limit_stops_before_the_absolute_one(sample, geometry, raises_panic):
    with raises_panic(f"{LIMIT_PREFIX}0.5, max = -0.5"):
        sample.inverse_kinematics_safe(geometry.HOME_POSE, 0.1, -0.5, math.nan)


def test_valid_relative_limit_then_invalid_absolute_one(sample, geometry, raises_panic):
    with raises_panic(f"{LIMIT_PREFIX}0.25, max = -0.25"):
        sample.inverse_kinematics_safe(geometry.HOME_POSE, 0.1, 0.5, -0.25)


def test_invalid_limit_is_checked_even_when_body_yaw_is_inside_it(sample, raises_panic):
    # The check is on the limit itself, not on whether clamping was needed.
    with raises_panic(f"{LIMIT_PREFIX}1e-5, max = -1e-5"):
        sample.inverse_kinematics_safe(I4, 0.0, -1e-5)


def test_fresh_object_after_a_limit_error(kinematics_class, geometry, raises_panic):
    k = geometry.make_kinematics()
    with raises_panic(f"{LIMIT_PREFIX}0.5, max = -0.5"):
        k.inverse_kinematics_safe(geometry.HOME_POSE, 0.1, -0.5)
    fresh = geometry.make_kinematics()
    got = fresh.inverse_kinematics_safe(geometry.HOME_POSE, 0.1, 0.5)
    assert got[0] == 0.1 and len(got) == 7


def in_message_notation(x):
    """repr(x), whose digits are the shortest that read back as x, with the
    exponent written bare as the message writes it (1e-05 -> 1e-5)."""
    mantissa, e, exponent = repr(x).partition("e")
    return f"{mantissa}e{int(exponent)}" if e else repr(x)


def test_limit_message_has_the_digits_of_repr(kinematics_class, raises_panic):
    rng = random.Random(20261208)
    bits = [rng.getrandbits(63) for _ in range(600)] + [rng.getrandbits(52) for _ in range(200)]
    values = [struct.unpack("<d", struct.pack("<Q", b))[0] for b in bits]
    # Powers of two are where the nearest decimal of the shortest length can
    # miss while the one above it reads back: every third holds 14 such.
    values += [10.0**k for k in range(-323, 309)] + [2.0**k for k in range(-1074, 1024, 3)]
    for x in (v for v in values if 0.0 < v < math.inf):
        with raises_panic(f"{LIMIT_PREFIX}{in_message_notation(x)}, max = {in_message_notation(-x)}"):
            kinematics_class(1.0, 1.0).inverse_kinematics_safe(I4, 0.0, None, -x)
