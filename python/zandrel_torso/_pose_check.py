"""What Torso.check answers for a pose, and its reasons in words.

It lives apart from Torso so that the workspace scan, which reads checks,
can name it without importing Torso.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from ._arrays import BoolArray, FloatArray


@dataclass(frozen=True)
class PoseCheck:
    """What Torso.check found, per leg: shape (legs,), or (N, legs) for a
    stack of N poses.

    reach: the reach margin (see Torso.reach): 1 comfortable, 0 at the edge,
        negative beyond.
    angles: the leg angles θ, NaN where out of reach.
    servo_angles: the servo angles, direction * (θ - zero) in (-pi, pi].
    servo_margin: radians to the nearer end of the servo's range, negative
        outside it, NaN out of reach.
    singularity_margin: per pose (a float, or shape (N,) for a stack), how
        far the pose is from a parallel singularity: the determinant of the
        rod-constraint Jacobian (the horns where inverse kinematics puts
        them) over its value at home. 1 at home, 0 at a singularity, negative
        past one. At a singularity the rods no longer hold the platform with
        the servos locked: it can move (or needs unbounded servo torque) in
        some direction. Past one, the angles belong to a pose the robot
        cannot reach from home without going through the singularity;
        commanded anyway, the platform goes somewhere else. Unit-free; NaN
        where a leg cannot reach, and for a mechanism of other than six legs
        (which does not count in `ok`).
    torque: with a load, the torque (N m) the servo holds about its motor's
        +Z axis, positive towards increasing θ (see Torso.torques); NaN
        where a leg cannot reach or at a singularity. Without a load, NaN.
    torque_margin: N m left below the servo's torque limit, limit - |torque|:
        negative over it, +inf for a servo without a limit, NaN where the
        torque is. Without a load, +inf: nothing was asked of the servo.
    ok: the leg reaches, its servo is within range and (given a load) can
        hold it, and the pose's singularity margin is positive. `ok.all()`
        says the pose can be commanded; `explain()` says why not.
    """

    reach: FloatArray
    angles: FloatArray
    servo_angles: FloatArray
    servo_margin: FloatArray
    singularity_margin: FloatArray | float
    torque: FloatArray
    torque_margin: FloatArray
    ok: BoolArray
    servo_lower: FloatArray = field(repr=False)
    servo_upper: FloatArray = field(repr=False)
    torque_limit: FloatArray = field(repr=False)

    def explain(self) -> list[str]:
        """One line per problem, naming the leg and the limit, each prefixed
        by "pose K: " for a stack; [] when every pose is ok."""
        if self.angles.ndim == 1:
            return _problems(self, ())
        return [f"pose {k}: {line}" for k in range(len(self.angles)) for line in _problems(self, (k,))]


def _beyond(reading: float, limit: float, which: str) -> str:
    """A reading past its limit in words, with as many decimals as it takes
    for the two numbers to differ (at most four)."""
    digits = 1
    while digits < 4 and f"{reading:.{digits}f}" == f"{limit:.{digits}f}":
        digits += 1
    return f"{reading:.{digits}f}° beyond its {which} limit {limit:.{digits}f}°"


def _over(torque: float, limit: float) -> str:
    """A torque over its limit in words, with as many decimals as it takes
    for the two numbers and their difference to show (at most four)."""
    digits = 2
    while digits < 4 and (f"{torque:.{digits}f}" == f"{limit:.{digits}f}" or float(f"{torque - limit:.{digits}f}") == 0.0):
        digits += 1
    return (
        f"servo torque {torque:.{digits}f} N m is over its {limit:.{digits}f} N m limit "
        f"by {torque - limit:.{digits}f} N m"
    )


def _problems(check: PoseCheck, at: tuple[int, ...]) -> list[str]:
    lines = []
    angles, servo, reach = check.angles[at], check.servo_angles[at], check.reach[at]
    for leg in range(len(angles)):
        if not math.isfinite(angles[leg]):
            lines.append(f"leg {leg}: out of reach (reach margin {reach[leg]:.3g})")
            continue
        reading, lower, upper = (math.degrees(x) for x in (servo[leg], check.servo_lower[leg], check.servo_upper[leg]))
        if reading > upper:
            lines.append(f"leg {leg}: servo reading {_beyond(reading, upper, 'upper')}")
        elif reading < lower:
            lines.append(f"leg {leg}: servo reading {_beyond(reading, lower, 'lower')}")
        if check.torque_margin[at][leg] < 0.0:
            lines.append(f"leg {leg}: {_over(abs(float(check.torque[at][leg])), float(check.torque_limit[leg]))}")
    margin = float(np.asarray(check.singularity_margin)[at])
    if margin <= 0.0:
        where = "at" if margin == 0.0 else "past"
        lines.append(f"the pose is {where} a singularity (margin {margin:.3g})")
    return lines
