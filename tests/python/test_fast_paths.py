"""Arrays and other buffers of doubles are read in one go instead of item by
item. Whatever form an argument takes, the outcome must be exactly that of
the item-by-item reading: the same bits in every result (NaN and the sign of
zero included), or the same exception with the same message."""

import array
import random
import struct
import sys
import warnings

import numpy as np
import pytest

import sample_geometry as geometry
from zandrel_torso_kinematics import ZandrelRustKinematics as K

SINGULAR = "called `Option::unwrap()` on a `None` value"
START = geometry.pose(roll=0.12, pitch=-0.04, yaw=0.07, x=0.005, y=-0.001, z=0.002)
SEEDS = [11, 12, 13, 14]


# -- what a call returns, exactly --------------------------------------------


def bits(value):
    """The exact bytes of a float or of nested lists of floats."""
    flat = []

    def walk(v):
        if isinstance(v, list):
            for item in v:
                walk(item)
        else:
            flat.append(v)

    walk(value)
    return struct.pack(f"<{len(flat)}d", *flat)


def outcome(run):
    """('returned', exact bytes) or ('raised', exception type, message)."""
    try:
        with warnings.catch_warnings():
            # NumPy warns when a one-element array is taken as a number; both
            # ways of reading meet that alike.
            warnings.simplefilter("ignore")
            return ("returned", bits(run()))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return ("raised", type(e).__qualname__, str(e))


# -- the calls, each observing everything its argument affects ---------------


def sample_model():
    return geometry.make_kinematics()


def run_add_branch(branch_platform, t_world_motor, solution):
    # Five sample legs and the one under test: inverse kinematics sees the
    # motor pose and anchor, forward kinematics the anchor's Jacobian too.
    k = K(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    for branch in geometry.BRANCHES[:5]:
        k.add_branch(*branch)
    k.add_branch(branch_platform, t_world_motor, solution)
    out = [k.inverse_kinematics(geometry.HOME_POSE), k.inverse_kinematics(START, 0.2)]
    k.reset_forward_kinematics(START)
    out.append(k.forward_kinematics([-1.5] * 6))
    return out


def run_inverse(t_world_platform, body_yaw):
    return sample_model().inverse_kinematics(t_world_platform, body_yaw)


def run_inverse_safe(t_world_platform, body_yaw, max_relative_yaw, max_body_yaw):
    return sample_model().inverse_kinematics_safe(
        t_world_platform, body_yaw, max_relative_yaw, max_body_yaw
    )


def run_forward(joint_angles, body_yaw):
    k = sample_model()
    k.reset_forward_kinematics(START)
    return [k.forward_kinematics(joint_angles, body_yaw), k.forward_kinematics(joint_angles)]


def run_reset(t_world_platform):
    # The stored pose is only seen through forward kinematics.
    k = sample_model()
    k.reset_forward_kinematics(t_world_platform)
    angles = geometry.make_kinematics().inverse_kinematics(geometry.HOME_POSE)
    return [k.forward_kinematics(angles, 0.3), k.forward_kinematics(angles)]


# -- random arguments --------------------------------------------------------


def random_pose(rng):
    """A reachable pose for about half the draws, arbitrary numbers (NaN
    angles likely) for the others."""
    if rng.random() < 0.5:
        params = [rng.uniform(-0.3, 0.3) for _ in range(3)] + [rng.uniform(-0.01, 0.01) for _ in range(3)]
        return geometry.pose(*params)
    return [[rng.gauss(0.0, 1.0) for _ in range(4)] for _ in range(4)]


def random_arguments(method, rng):
    yaw = rng.choice([None, 0.0, -0.0, rng.uniform(-1.0, 1.0)])
    if method == "add_branch":
        anchor, motor, solution = geometry.BRANCHES[5]
        anchor = [x + rng.gauss(0.0, 0.005) for x in anchor]
        motor = [[x + rng.gauss(0.0, 0.01) for x in row] for row in motor]
        return [anchor, motor, solution]
    if method == "inverse_kinematics":
        return [random_pose(rng), yaw]
    if method == "inverse_kinematics_safe":
        return [random_pose(rng), yaw, rng.uniform(0.0, 0.5), rng.uniform(0.0, 0.5)]
    if method == "forward_kinematics":
        return [[rng.uniform(-1.8, -1.2) for _ in range(6)], yaw]
    return [random_pose(rng)]


RUNNERS = {
    "add_branch": run_add_branch,
    "inverse_kinematics": run_inverse,
    "inverse_kinematics_safe": run_inverse_safe,
    "forward_kinematics": run_forward,
    "reset_forward_kinematics": run_reset,
}

# (method, index of the argument under test, its name, 1 for a flat sequence or 2 for a 4x4)
FLAT_ARGUMENTS = [("add_branch", 0, "branch_platform"), ("forward_kinematics", 0, "joint_angles")]
MATRIX_ARGUMENTS = [
    ("add_branch", 1, "t_world_motor"),
    ("inverse_kinematics", 0, "t_world_platform"),
    ("inverse_kinematics_safe", 0, "t_world_platform"),
    ("reset_forward_kinematics", 0, "t_world_platform"),
]


def call_with(method, args, index, value):
    args = list(args)
    args[index] = value
    return outcome(lambda: RUNNERS[method](*args))


def item_by_item(value, depth):
    """The items the sequence protocol yields, fetched as the conversion does
    (len, then [i] for each i), down `depth` levels, in plain lists."""
    items = [value[i] for i in range(len(value))]
    if depth == 1:
        return items
    # An item that is no sequence stays as it is: the list then fails on it
    # with the same message.
    return [item_by_item(item, depth - 1) if hasattr(item, "__len__") else item for item in items]


def readonly(a):
    a.flags.writeable = False
    return a


class PlainSubclass(np.ndarray):
    pass


def strided(values):
    """A view that skips every other element (of every row and column for 2-D)."""
    a = np.asarray(values, dtype=np.float64)
    big = np.zeros(tuple(2 * n for n in a.shape))
    index = tuple(slice(None, None, 2) for _ in a.shape)
    big[index] = a
    return big[index]


# The same doubles in other containers: results must match the list's bit for bit.
SAME_DOUBLES_FLAT = {
    "ndarray": np.array,
    "read-only ndarray": lambda v: readonly(np.array(v)),
    "array.array": lambda v: array.array("d", v),
    "memoryview of array.array": lambda v: memoryview(array.array("d", v)),
    "memoryview of ndarray": lambda v: memoryview(np.array(v)),
    "big-endian ndarray": lambda v: np.array(v, dtype=">f8"),
    "strided view": strided,
    "reversed view": lambda v: np.array(v[::-1])[::-1],
    "object ndarray": lambda v: np.array(v, dtype=object),
    "ndarray subclass": lambda v: np.array(v).view(PlainSubclass),
    "tuple of float64 scalars": lambda v: tuple(np.float64(x) for x in v),
}
SAME_DOUBLES_MATRIX = {
    "ndarray": np.array,
    "read-only ndarray": lambda m: readonly(np.array(m)),
    "Fortran-ordered ndarray": np.asfortranarray,
    "transposed copy, viewed back": lambda m: np.array(m).T.copy().T,
    "strided view": strided,
    "big-endian ndarray": lambda m: np.array(m, dtype=">f8"),
    "object ndarray": lambda m: np.array(m, dtype=object),
    "ndarray subclass": lambda m: np.array(m).view(PlainSubclass),
    "rows of ndarrays": lambda m: [np.array(row) for row in m],
    "tuple of array.array rows": lambda m: tuple(array.array("d", row) for row in m),
    "rows of memoryviews": lambda m: [memoryview(array.array("d", row)) for row in m],
    "ndarray rows of a wider array": lambda m: [np.array(row + [9.0])[:4] for row in m],
}

# Other element types, other shapes: compared with the items they yield.
OTHER_FLAT = {
    "float32 ndarray": lambda v: np.array(v, dtype=np.float32),
    "int64 ndarray": lambda v: np.round(np.array(v) * 100).astype(np.int64),
    "float16 ndarray": lambda v: np.array(v, dtype=np.float16),
    "array.array of floats": lambda v: array.array("f", v),
    "array.array of ints": lambda v: array.array("q", [round(x * 100) for x in v]),
    "one longer": lambda v: np.array(v + [0.5]),
    "one shorter": lambda v: np.array(v[:-1]),
    "column": lambda v: np.array(v).reshape(-1, 1),
    "row": lambda v: np.array(v).reshape(1, -1),
    "complex ndarray": lambda v: np.array(v, dtype=complex),
    "string ndarray": lambda v: np.array([str(x) for x in v]),
    "bytes": lambda v: bytes(range(1, len(v) + 1)),
    "memoryview of bytes": lambda v: memoryview(bytes(range(1, len(v) + 1))),
    "timedelta ndarray, no buffer": lambda v: np.arange(1, len(v) + 1).astype("m8"),
}
OTHER_MATRIX = {
    "float32 ndarray": lambda m: np.array(m, dtype=np.float32),
    "int64 ndarray": lambda m: np.round(np.array(m) * 100).astype(np.int64),
    "three rows": lambda m: np.array(m[:3]),
    "three columns": lambda m: np.array(m)[:, :3].copy(),
    "five columns": lambda m: np.hstack([np.array(m), np.ones((4, 1))]),
    "flat sixteen": lambda m: np.array(m).ravel(),
    "trailing axis of one": lambda m: np.array(m).reshape(4, 4, 1),
    "two stacked": lambda m: np.array([m, m]),
    "complex ndarray": lambda m: np.array(m, dtype=complex),
    "rows of float32 ndarrays": lambda m: [np.array(row, dtype=np.float32) for row in m],
    "rows of wrong length": lambda m: [np.array(row[:3]) for row in m],
    "matrix subclass": lambda m: _matrix(m),
    "timedelta ndarray, no buffer": lambda m: np.round(np.array(m) * 100).astype(np.int64).astype("m8"),
}


def _matrix(m):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(m)


def cases(flat_forms, matrix_forms):
    """(method, argument index, depth, form, seed) for every sequence argument."""
    out = []
    for arguments, depth, forms in ((FLAT_ARGUMENTS, 1, flat_forms), (MATRIX_ARGUMENTS, 2, matrix_forms)):
        for method, index, name in arguments:
            for form_name, form in forms.items():
                for seed in SEEDS:
                    out.append(pytest.param(method, index, depth, form, seed, id=f"{method}-{name}-{form_name}-{seed}"))
    return out


@pytest.mark.parametrize("method, index, depth, form, seed", cases(SAME_DOUBLES_FLAT, SAME_DOUBLES_MATRIX))
def test_same_doubles_give_the_same_bits_as_lists(method, index, depth, form, seed):
    args = random_arguments(method, random.Random(seed))
    assert call_with(method, args, index, form(args[index])) == call_with(method, args, index, args[index])


@pytest.mark.parametrize("method, index, depth, form, seed", cases(OTHER_FLAT, OTHER_MATRIX))
def test_other_arrays_behave_like_their_items(method, index, depth, form, seed):
    args = random_arguments(method, random.Random(seed))
    value = form(args[index])
    assert call_with(method, args, index, value) == call_with(method, args, index, item_by_item(value, depth))


@pytest.mark.parametrize("method, index, name", FLAT_ARGUMENTS + MATRIX_ARGUMENTS)
@pytest.mark.parametrize("value", [np.array(0.5), np.array(0.5, dtype=np.float32)], ids=["float64", "float32"])
def test_zero_dimensional_array_is_not_a_sized_sequence(method, index, name, value):
    args = random_arguments(method, random.Random(1))
    assert call_with(method, args, index, value) == (
        "raised",
        "TypeError",
        f"argument '{name}': len() of unsized object",
    )


@pytest.mark.parametrize("method, index, name", MATRIX_ARGUMENTS)
def test_two_dimensional_memoryview_keeps_its_indexing_error(method, index, name):
    # The buffer would read fine, but indexing a 2-D memoryview raises, and
    # the conversion indexes it.
    args = random_arguments(method, random.Random(2))
    value = memoryview(np.array(args[index]))
    assert call_with(method, args, index, value) == (
        "raised",
        "NotImplementedError",
        "multi-dimensional sub-views are not implemented",
    )


@pytest.mark.parametrize("method, index, name", FLAT_ARGUMENTS + MATRIX_ARGUMENTS)
def test_released_memoryview_reports_its_own_error(method, index, name):
    args = random_arguments(method, random.Random(4))
    view = memoryview(np.array(args[index]))
    view.release()
    assert call_with(method, args, index, view) == (
        "raised",
        "ValueError",
        "operation forbidden on released memoryview object",
    )


class Scaled(np.ndarray):
    """Items as the subclass chooses to hand them out, not as stored."""

    def __getitem__(self, i):
        return 2.0 * np.asarray(self)[i]


class Short(np.ndarray):
    def __len__(self):
        return 2


# A Python class may carry any name, that of NumPy's array type included.
Disguised = type("numpy.ndarray", (Scaled,), {})


@pytest.mark.parametrize("method, index, name", FLAT_ARGUMENTS + MATRIX_ARGUMENTS)
@pytest.mark.parametrize("scaled", [Scaled, Disguised], ids=["subclass", "subclass named numpy.ndarray"])
def test_subclass_item_access_is_honoured(method, index, name, scaled):
    args = random_arguments(method, random.Random(3))
    stored = np.array(args[index])
    depth = 1 if stored.ndim == 1 else 2
    doubled = (2.0 * stored).tolist() if depth == 1 else [(2.0 * row).tolist() for row in stored]
    assert call_with(method, args, index, stored.view(scaled)) == call_with(method, args, index, doubled)
    assert call_with(method, args, index, stored.view(Short)) == (
        "raised",
        "ValueError",
        f"expected a sequence of length {len(stored)} (got 2)",
    )


@pytest.mark.parametrize(
    "motor",
    [
        np.zeros((4, 4)),
        np.array([[1.0, 0.0, 0.0, 0.0], [2.0, 0.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]),
        np.asfortranarray(np.diag([1.0, 1.0, -0.0, 1.0])),
    ],
    ids=["zero", "rank two", "negative zero on the diagonal, Fortran order"],
)
def test_singular_motor_pose_from_an_array_still_fails_the_inverse(motor, raises_panic):
    k = K(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    k.add_branch(np.array([0.01, 0.0, -0.03]), motor, -1.0)
    with raises_panic(SINGULAR):
        k.inverse_kinematics(np.array(geometry.HOME_POSE))


def test_arrays_keep_their_reference_counts_and_stay_resizable():
    k = sample_model()
    pose = np.array(geometry.HOME_POSE)
    angles = array.array("d", k.inverse_kinematics(pose))
    before = sys.getrefcount(pose), sys.getrefcount(angles)
    for _ in range(100):
        k.inverse_kinematics(pose, 0.1)
        k.forward_kinematics(angles)
        k.forward_kinematics(memoryview(angles))
    assert (sys.getrefcount(pose), sys.getrefcount(angles)) == before
    # Every buffer export was released: an array.array refuses to resize while exported.
    angles.append(0.0)
    assert len(angles) == 7
