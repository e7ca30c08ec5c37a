"""Arrays as they come in: real numbers of the right shape, finite, rigid.

Every array a user hands the package passes through here first, so that
every entry refuses the same things with the same words: the extension
takes any numbers and answers confidently, and a complex array, a string
array or a pose that is not rigid gives angles that look plausible and are
wrong.
"""

from __future__ import annotations

from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

from ._messages import brief

FloatArray: TypeAlias = npt.NDArray[np.float64]
BoolArray: TypeAlias = npt.NDArray[np.bool_]

# How far a rotation block may be from orthonormal, and its determinant from
# +1, before it is rounding rather than a mistake: numbers typed or exported
# from CAD with 6 significant digits sit near 1e-6, a scaled frame, a mirror
# or a pose typed in degrees is off by order one.
ROUNDING_TOLERANCE = 1e-4
# A rotation this close to rigid is kept exactly as written (so that files
# read back bit for bit); one off by more, up to ROUNDING_TOLERANCE, is
# replaced by the nearest rotation.
RIGID_TOLERANCE = 1e-9


# Array kinds that are numbers as they are: floats, integers, booleans. A
# complex array would lose its imaginary part in the cast to float64 and a
# string array would be parsed, both silently.
_REAL_KINDS = frozenset("fiub")


def _not_real(array: npt.NDArray[Any]) -> str | None:
    """Why an array is not one of real numbers, or None when it is."""
    kind = array.dtype.kind
    if kind in _REAL_KINDS:
        return None
    if kind == "c":
        return "got complex numbers (the imaginary part would be dropped)"
    if kind in "USa":
        return "got strings"
    if kind == "O":  # Python objects: each must be a real number, not text
        for item in array.flat:
            if isinstance(item, (str, bytes)):
                return f"got the string {brief(item)}"
            if isinstance(item, (complex, np.complexfloating)):
                return f"got the complex number {brief(item)}"
        return None
    return f"got an array of {array.dtype}"


def real_array(value: object, name: str, shape: str) -> FloatArray:
    """`value` as a float64 array, or a ValueError naming the argument and
    the shape it should have (`shape`, as text) when it is not real numbers:
    ragged, complex, strings, or numbers beyond a double. Returns `value`
    itself when it already is a float64 array, without a copy: this sits on
    Torso's hot path. The one place where arrays come in, so that every
    entry refuses the same things."""
    if isinstance(value, np.ndarray) and value.dtype == np.float64:
        return value
    try:
        array = np.asarray(value)
        problem = _not_real(array)
        if problem is None:
            return np.asarray(array, dtype=np.float64)
    except (TypeError, ValueError, OverflowError, RecursionError) as error:
        problem = brief(error, 120)
    raise ValueError(f"{name} must be an array of real numbers of shape {shape}: {problem}")


def float_array(value: npt.ArrayLike, shape: tuple[int, ...], name: str) -> FloatArray:
    """`value` as a float64 array of exactly `shape`, or a ValueError naming
    the argument and the shape it had (see real_array)."""
    array = real_array(value, name, str(shape))
    if array.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, got shape {array.shape}")
    return array


def check_finite(array: FloatArray, name: str) -> None:
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} has non-finite elements: {brief(array.tolist())}")


def _rigidity_error(rotation: FloatArray) -> float:
    return max(
        float(np.max(np.abs(rotation.T @ rotation - np.eye(3)))),
        abs(float(np.linalg.det(rotation)) - 1.0),
    )


def _diagnosis(rotation: FloatArray) -> str:
    """What a rotation block that is not one most likely is."""
    det = float(np.linalg.det(rotation))
    lengths = np.linalg.svd(rotation, compute_uv=False)
    mean = float(np.mean(lengths))
    if det < 0.0:
        return f"its determinant is {det:.3g} < 0: a mirrored (left-handed) frame; reverse one axis"
    if _rigidity_error(rotation) <= 1e-2:
        return (
            "it looks rounded to too few digits: write at least 6 significant digits "
            f"(off by up to {ROUNDING_TOLERANCE:g} is corrected)"
        )
    if float(np.ptp(lengths)) <= 1e-3 * mean:
        return f"its axes all have length {mean:.6g}: a scaled frame (a length unit in the rotation block?)"
    if float(np.max(np.abs(rotation))) > 1.0 + 1e-3:
        return "it holds numbers beyond 1 in size: angles in degrees where cosines belong?"
    return "it is not a rotation: its columns are the frame's X, Y and Z axes, unit length and square"


def check_rigid(t: FloatArray, name: str, tolerance: float = RIGID_TOLERANCE) -> None:
    """A proper rigid transform: rotation block orthonormal with determinant
    +1 within the tolerance, bottom row exactly (0, 0, 0, 1). The error says
    what the block looks like instead."""
    check_finite(t, name)
    if tuple(t[3].tolist()) != (0.0, 0.0, 0.0, 1.0):
        raise ValueError(f"{name}: the bottom row must be (0, 0, 0, 1), got {tuple(t[3].tolist())}")
    off = _rigidity_error(t[:3, :3])
    if not off <= tolerance:
        raise ValueError(
            f"{name}: the rotation block is not orthonormal with determinant +1 "
            f"(off by {off:.3g}, allowed {tolerance:g}): {_diagnosis(t[:3, :3])}"
        )


def rigid(t: FloatArray, name: str) -> FloatArray:
    """`t` itself when its rotation block is rigid to RIGID_TOLERANCE; a copy
    with the block replaced by the nearest rotation (the orthogonal factor of
    its polar decomposition) when it is off by rounding, at most
    ROUNDING_TOLERANCE; else the diagnosing ValueError of check_rigid."""
    check_rigid(t, name, ROUNDING_TOLERANCE)
    rotation = t[:3, :3]
    if _rigidity_error(rotation) <= RIGID_TOLERANCE:
        return t
    u, _, vt = np.linalg.svd(rotation)
    out = np.array(t, dtype=np.float64)
    out[:3, :3] = u @ vt
    return out
