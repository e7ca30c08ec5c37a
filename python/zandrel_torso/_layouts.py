"""Where legs go: motor frames from CAD directions, the three-pair layout,
and the search for a home on the world Z axis. All of it works on plain
numbers and arrays; `Geometry` turns the results into a checked mechanism.
"""

from __future__ import annotations

import math
from typing import Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from ._arrays import FloatArray, check_finite, float_array
from ._formulas import reach_margin
from ._mechanism import Mechanism

Side: TypeAlias = Literal["above", "below"]
SIDES: tuple[Side, ...] = ("above", "below")

# Heights tried, over each stretch searched, for a computed home.
_HOME_SEARCH_POINTS = 4001


def motor_frame(origin: npt.ArrayLike, shaft: npt.ArrayLike, horn_zero: npt.ArrayLike) -> FloatArray:
    """A motor pose (4x4) from what a CAD model shows: the origin on the
    shaft axis, in the plane the horn's rod joint turns in; the shaft
    direction (the frame's Z: positive angles turn counter-clockwise seen
    from its tip); and any direction towards the horn's rod joint at angle
    0 (its part normal to the shaft becomes X). Y completes a right-handed
    frame. Directions need not be unit length."""
    o = float_array(origin, (3,), "origin")
    z = float_array(shaft, (3,), "shaft")
    h = float_array(horn_zero, (3,), "horn_zero")
    for vector, name in ((o, "origin"), (z, "shaft"), (h, "horn_zero")):
        check_finite(vector, name)
    length = float(np.linalg.norm(z))
    if not length > 0.0:
        raise ValueError("shaft must be a non-zero direction")
    z = z / length
    x = h - float(h @ z) * z
    if not float(np.linalg.norm(x)) > 1e-9 * float(np.linalg.norm(h)):
        raise ValueError("horn_zero must not be parallel to the shaft (or zero)")
    x = x / float(np.linalg.norm(x))
    out = np.eye(4)
    out[:3, 0], out[:3, 1], out[:3, 2], out[:3, 3] = x, np.cross(z, x), z, o
    return out


def pose_at_height(z: float) -> FloatArray:
    """The unrotated pose with its origin at height z on the world Z axis."""
    out = np.eye(4)
    out[2, 3] = z
    return out


def three_pair_legs(
    *,
    base_radius: float,
    base_spread: float,
    platform_radius: float,
    platform_spread: float,
    motor_height: float,
    anchor_height: float,
    base_offset: float,
    platform_offset: float,
    shaft: str,
    solution: int,
) -> list[tuple[list[float], FloatArray, int]]:
    """The legs (anchor, motor frame, solution sign) of the three-pair
    layout that Geometry.three_pairs describes, pair by pair."""
    if shaft not in ("tangent", "radial"):
        raise ValueError(f'shaft must be "tangent" or "radial", got {shaft!r}')
    if isinstance(solution, bool) or solution not in (1, -1):
        raise ValueError(f"solution must be +1 or -1, got {solution!r}")
    third, spread = 2.0 * math.pi / 3.0, base_spread / 2.0
    anchors = [
        (platform_offset + math.pi / 3.0 + third * pair + side * platform_spread / 2.0)
        for pair in range(3)
        for side in (1.0, -1.0)
    ]
    up = np.array([0.0, 0.0, 1.0])
    legs: list[tuple[list[float], FloatArray, int]] = []
    used: set[int] = set()
    for pair in range(3):
        for side in (1.0, -1.0):
            phi = base_offset + third * pair + side * spread
            origin = [base_radius * math.cos(phi), base_radius * math.sin(phi), motor_height]
            away = side * np.array([-math.sin(phi), math.cos(phi), 0.0])  # from the partner
            z_axis = away if shaft == "tangent" else np.cross(up, away)
            sign = solution if shaft == "radial" or side > 0 else -solution
            nearest = min(range(6), key=lambda j: abs(math.remainder(anchors[j] - phi, 2.0 * math.pi)))
            if nearest in used:
                raise ValueError("two motors share their nearest anchor: check the spreads and offsets")
            used.add(nearest)
            psi = anchors[nearest]
            anchor = [platform_radius * math.cos(psi), platform_radius * math.sin(psi), anchor_height]
            legs.append((anchor, motor_frame(origin, z_axis, up), sign))
    return legs


def home_on_side(mechanism: Mechanism, side: Side) -> FloatArray | None:
    """The most comfortable unrotated pose on the world Z axis above (or
    below) the highest motor, or None when no height there lets every
    leg reach."""
    a, b = mechanism.a, mechanism.b
    motors, anchors = mechanism.t_world_motor, mechanism.anchors
    # With the platform at height z, anchor p sits at q0 + z * axis in its
    # motor's frame; it can only close within a + b of the motor origin.
    rotations_t = np.transpose(motors[:, :3, :3], (0, 2, 1))
    q0 = np.einsum("nij,nj->ni", rotations_t, anchors - motors[:, :3, 3])
    axis = rotations_t[:, :, 2]
    offsets = motors[:, 2, 3] - anchors[:, 2]
    low, high = float(np.max(offsets - (a + b))), float(np.min(offsets + (a + b)))
    top = float(np.max(motors[:, 2, 3]))

    def worst(z: FloatArray) -> FloatArray:
        """The smallest reach margin over the legs, per height."""
        q = q0[None, :, :] + z[:, None, None] * axis[None, :, :]
        lowest: FloatArray = np.min(np.nan_to_num(reach_margin(q, a, b), nan=-np.inf), axis=1)
        return lowest

    lo, hi = (max(low, top), high) if side == "above" else (low, min(high, top))
    if not lo < hi:
        return None
    heights = np.linspace(lo, hi, _HOME_SEARCH_POINTS)
    margins = worst(heights)
    best = int(np.argmax(margins))
    if not margins[best] > 0.0:
        return None
    # Golden-section refinement between the neighbouring grid points.
    left, right = heights[max(best - 1, 0)], heights[min(best + 1, len(heights) - 1)]
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    for _ in range(60):
        m1, m2 = right - ratio * (right - left), left + ratio * (right - left)
        if worst(np.array([m1]))[0] < worst(np.array([m2]))[0]:
            left = m1
        else:
            right = m2
    z = (left + right) / 2.0
    return pose_at_height(z if worst(np.array([z]))[0] >= margins[best] else float(heights[best]))
