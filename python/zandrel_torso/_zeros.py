"""Servo zeros from measured poses.

A horn goes onto its spline a few degrees off, so the zeros a builder writes
down are guesses. Command the servos to a few angles, measure where the
platform went (a tracker, a camera, a jig), and each sample says where each
servo's zero must be: the leg angle θ at the measured pose, from inverse
kinematics, is zero + direction * servo_angle, up to whole turns.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol

import numpy as np
import numpy.typing as npt

from ._arrays import ROUNDING_TOLERANCE, FloatArray, check_rigid, real_array
from ._formulas import wrap_half_open_below
from ._geometry import Geometry

IntArray = npt.NDArray[np.int_]


class InverseSolver(Protocol):
    """What the estimate uses of a Torso: its geometry and its inverse."""

    @property
    def geometry(self) -> Geometry: ...
    def inverse(self, t_world_platform: npt.ArrayLike, body_yaw: float | None = None) -> FloatArray: ...


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
    sample_residual: per sample, shape (N,), the root mean square in
        radians over the legs it was used for of what the fitted zeros leave
        unexplained in it (NaN when it was used for none). One sample far
        above the others is a measurement gone wrong: a pose mistyped, a
        tracker that lost its marker; leave it out and estimate again.
    """

    zeros: FloatArray
    residual: FloatArray
    samples: IntArray
    sample_residual: FloatArray


def measured_samples(legs: int, servo_angles: npt.ArrayLike, measured_poses: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
    """Servo readings (N, legs) and the poses measured for them (N, 4, 4),
    checked: the shapes agree and every pose is rigid."""
    readings = real_array(servo_angles, "servo_angles", f"(N, {legs})")
    poses = real_array(measured_poses, "measured_poses", "(N, 4, 4)")
    if readings.ndim != 2 or readings.shape[1] != legs:
        raise ValueError(f"servo_angles must have shape (N, {legs}), got shape {readings.shape}")
    if poses.shape != (len(readings), 4, 4):
        raise ValueError(
            f"measured_poses must have shape ({len(readings)}, 4, 4), one pose per row of servo_angles, "
            f"got shape {poses.shape}"
        )
    # A lost reading may be NaN (that leg skips the sample), but a pose is
    # the whole sample: a NaN or a frame that is not rigid would be read as
    # a confident, wrong angle for every leg. Measured rotations carry
    # noise, so rounding-size errors pass, as they do for a motor frame.
    for index, t in enumerate(poses):
        check_rigid(t, f"measured_poses[{index}]", ROUNDING_TOLERANCE)
    return readings, poses


def estimate_zeros(torso: InverseSolver, servo_angles: npt.ArrayLike, measured_poses: npt.ArrayLike) -> ZeroEstimate:
    readings, poses = measured_samples(len(torso.geometry.legs), servo_angles, measured_poses)
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
        per_sample = np.sqrt((spread * spread).sum(axis=1) / used.sum(axis=1))
    return ZeroEstimate(wrap_half_open_below(centre + mean), residual, samples, per_sample)
