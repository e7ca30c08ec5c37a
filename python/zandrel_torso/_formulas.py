"""The formulas the rest of the package shares, each written once: poses
from angles, angles wrapped onto the circle, and whether a leg's rod can
close at all.

Poses are 4x4 arrays, `t[r, c]` being row r, column c; angles are radians.
"""

from __future__ import annotations

import math

import numpy as np

from ._arrays import FloatArray

_TWO_PI = 2.0 * math.pi


def rotation(roll: float = 0.0, pitch: float = 0.0, yaw: float = 0.0) -> FloatArray:
    """The 3x3 rotation Rz(yaw) * Ry(pitch) * Rx(roll), angles in radians."""
    cr, sr = math.cos(roll), math.sin(roll)
    cp, sp = math.cos(pitch), math.sin(pitch)
    cy, sy = math.cos(yaw), math.sin(yaw)
    return np.array(
        [
            [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
            [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
            [-sp, cp * sr, cp * cr],
        ]
    )


def pose(
    roll: float = 0.0, pitch: float = 0.0, yaw: float = 0.0, x: float = 0.0, y: float = 0.0, z: float = 0.0
) -> FloatArray:
    """A 4x4 pose: rotation Rz(yaw) * Ry(pitch) * Rx(roll) (radians) and
    translation (x, y, z), bottom row (0, 0, 0, 1)."""
    out = np.eye(4)
    out[:3, :3] = rotation(roll, pitch, yaw)
    out[:3, 3] = (x, y, z)
    return out


def rz(psi: float) -> FloatArray:
    """4x4 rotation by psi about the z axis."""
    c, s = np.cos(psi), np.sin(psi)
    out = np.eye(4)
    out[0, 0], out[0, 1], out[1, 0], out[1, 1] = c, -s, s, c
    return out


def wrap_half_open_above(angle: FloatArray) -> FloatArray:
    """Into (-pi, pi]: a servo half a turn away reads +pi, never -pi."""
    out: FloatArray = math.pi - np.mod(math.pi - angle, _TWO_PI)
    return out


def wrap_half_open_below(angle: FloatArray) -> FloatArray:
    """Into [-pi, pi), the interval the extension's angles come in."""
    out: FloatArray = np.mod(angle + math.pi, _TWO_PI) - math.pi
    return out


def closure_terms(q: FloatArray, a: FloatArray | float, b: FloatArray | float) -> tuple[FloatArray, FloatArray]:
    """With a leg's anchor at q = (x, y, z) in its motor's frame (shape
    (..., 3)), horn length a and rod length b (per leg, or one for all),
    the leg closes where
    x cos t + y sin t = k / 2a. Returns k and the radicand
    d = 4 a^2 (x^2 + y^2) - k^2, non-negative exactly when it can close."""
    x, y, z = np.moveaxis(q, -1, 0)
    k = x * x + y * y + z * z + a * a - b * b
    return k, 4.0 * a * a * (x * x + y * y) - k * k


def reach_margin(q: FloatArray, a: FloatArray | float, b: FloatArray | float) -> FloatArray:
    """For anchors at q in their motors' frames (shape (..., 3)),
    d / (4 a^2 (x^2 + y^2)) = 1 - cos^2 of the angle between the closing
    horn and the anchor's direction in the horn's plane: 1 with the horn
    square to that direction (the most comfortable pose), 0 with horn and
    rod in line (the edge of reach: stretched or folded), negative where the
    leg cannot close."""
    _, d = closure_terms(q, a, b)
    x, y = q[..., 0], q[..., 1]
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(d / (4.0 * a * a * (x * x + y * y)), dtype=np.float64)
