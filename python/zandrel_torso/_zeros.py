"""Servo zeros from measured poses.

A horn goes onto its spline a few degrees off, so the zeros a builder writes
down are guesses. Command the servos to a few angles, measure where the
platform went (a tracker, a camera, a jig), and each sample says where each
servo's zero must be: the leg angle θ at the measured pose, from inverse
kinematics, is zero + direction * servo_angle, up to whole turns.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from ._geometry import FloatArray
from ._servo import wrap_half_open_below

if TYPE_CHECKING:
    from ._torso import Torso

IntArray = npt.NDArray[np.int_]


@dataclass(frozen=True)
class ZeroEstimate:
    """Per leg, from Torso.estimate_zeros:

    zeros: the servo zero that best explains the samples (radians, in
        [-pi, pi)): the least-squares fit on the circle. NaN for a leg
        with no usable sample.
    residual: the root mean square, in radians, of what that zero leaves
        unexplained in the samples used: measurement noise, or a geometry
        that does not match the robot when it is large.
    samples: how many samples the leg used. A sample is left out for a leg
        that cannot reach its measured pose, or whose servo angle is NaN.
    """

    zeros: FloatArray
    residual: FloatArray
    samples: IntArray


def _array(value: npt.ArrayLike, name: str, shape: str) -> FloatArray:
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be an array of numbers of shape {shape}: {error}") from None


def estimate_zeros(torso: Torso, servo_angles: npt.ArrayLike, measured_poses: npt.ArrayLike) -> ZeroEstimate:
    legs = len(torso.geometry.legs)
    readings = _array(servo_angles, "servo_angles", f"(N, {legs})")
    poses = _array(measured_poses, "measured_poses", "(N, 4, 4)")
    if readings.ndim != 2 or readings.shape[1] != legs:
        raise ValueError(f"servo_angles must have shape (N, {legs}), got shape {readings.shape}")
    if poses.shape != (len(readings), 4, 4):
        raise ValueError(
            f"measured_poses must have shape ({len(readings)}, 4, 4), one pose per row of servo_angles, "
            f"got shape {poses.shape}"
        )
    directions = np.array([leg.servo.direction for leg in torso.geometry.legs], dtype=np.float64)
    # Each usable sample proposes a zero: θ - direction * servo_angle.
    proposed = torso.inverse(poses) - directions * readings
    used = np.isfinite(proposed)
    samples = used.sum(axis=0)
    # Proposals are angles, so they are averaged on the circle: around their
    # circular mean, their offsets are small, and the mean offset is the
    # least-squares zero.
    centre = np.arctan2(np.where(used, np.sin(proposed), 0.0).sum(axis=0), np.where(used, np.cos(proposed), 0.0).sum(axis=0))
    offsets = np.where(used, wrap_half_open_below(proposed - centre), 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):  # a leg without samples: 0 / 0 is its NaN
        mean = offsets.sum(axis=0) / samples
        spread = np.where(used, offsets - mean, 0.0)
        residual = np.sqrt((spread * spread).sum(axis=0) / samples)
    return ZeroEstimate(wrap_half_open_below(centre + mean), residual, samples)
