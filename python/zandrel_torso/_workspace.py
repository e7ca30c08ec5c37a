"""How far the platform can move from home, one axis at a time."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Protocol

import numpy as np
import numpy.typing as npt

from ._arrays import FloatArray
from ._geometry import Geometry
from ._load import Load
from ._pose_check import PoseCheck


class PoseChecker(Protocol):
    """What the scan uses of a Torso: its geometry and its pose checks."""

    @property
    def geometry(self) -> Geometry: ...
    def check(
        self, t_world_platform: npt.ArrayLike, body_yaw: float | None = None, load: Load | None = None
    ) -> PoseCheck: ...


AXES = ("roll", "pitch", "yaw", "x", "y", "z")
# Steps checked in one batch: the scan usually ends within the first one or
# two, and a batch costs about one extension call per pose.
_CHUNK = 128


@dataclass(frozen=True)
class Workspace:
    """From home, the largest symmetric excursion along or about each axis
    of the platform's frame at home (the world's axes when home is not
    rotated), one axis at a time, over which every leg reaches, every
    servo stays within its range and, for a scan with a load, every servo
    can hold it.

    roll, pitch, yaw: radians, about the X, Y and Z axes.
    x, y, z: along them, in the geometry's unit.
    angle_step, length_step: the steps of the scan; each figure is a whole
        number of them, and every step up to it passes on both sides.
    """

    roll: float
    pitch: float
    yaw: float
    x: float
    y: float
    z: float
    angle_step: float
    length_step: float


def excursions(axis: int, values: FloatArray) -> FloatArray:
    """Poses (M, 4, 4) relative to home: a turn about axis 0, 1 or 2 (X, Y,
    Z) by each value, or a move along axis 3, 4 or 5 (X, Y, Z)."""
    out = np.broadcast_to(np.eye(4), (len(values), 4, 4)).copy()
    if axis >= 3:
        out[:, axis - 3, 3] = values
    else:
        i, j = ((1, 2), (2, 0), (0, 1))[axis]  # the plane the turn happens in
        c, s = np.cos(values), np.sin(values)
        out[:, i, i], out[:, j, j], out[:, i, j], out[:, j, i] = c, c, -s, s
    return out


def _farthest_reach(geometry: Geometry) -> float:
    """A move longer than this takes some anchor beyond its motor's reach:
    an anchor closes only within horn plus rod of its motor's origin."""
    home = geometry.home
    reaches: list[float] = (geometry.motor_arm_lengths + geometry.rod_lengths).tolist()
    return min(
        float(np.linalg.norm(home[:3, :3] @ leg.branch_platform + home[:3, 3] - leg.t_world_motor[:3, 3])) + reach
        for leg, reach in zip(geometry.legs, reaches)
    )


def _excursion(torso: PoseChecker, axis: int, step: float, limit: float, load: Load | None) -> float:
    """step times the largest k (k * step <= limit) for which steps 1 to k
    all pass, on both sides of home."""
    home = torso.geometry.home
    most = int(limit // step)
    done = 0
    while done < most:
        k = np.arange(done + 1, min(done + _CHUNK, most) + 1)
        values = k * step
        ok = np.all(torso.check(home @ excursions(axis, np.concatenate((values, -values))), load=load).ok, axis=1)
        both = ok[: len(k)] & ok[len(k) :]
        if not both.all():
            return step * (done + int(np.argmin(both)))
        done = int(k[-1])
    return step * most


def _failing_leg(check: PoseCheck, leg: int) -> str:
    servo = float(check.servo_angles[leg])
    if not np.isfinite(servo):
        return f"leg {leg} (out of reach)"
    if check.torque_margin[leg] < 0.0:
        return f"leg {leg} (servo torque {abs(float(check.torque[leg])):.4g} N m, over its limit)"
    return f"leg {leg} (servo angle {servo:.4g} rad)"


def scan_workspace(
    torso: PoseChecker, angle_step: float, length_step: float, load: Load | None = None
) -> Workspace:
    geometry = torso.geometry
    if not geometry.legs:
        raise ValueError("a geometry without legs has no workspace")
    at_home = torso.check(geometry.home, load=load)
    if not at_home.ok.all():
        failing = ", ".join(_failing_leg(at_home, leg) for leg in np.flatnonzero(~at_home.ok).tolist())
        raise ValueError(f"home itself does not pass, so there is no workspace around it: {failing}")
    farthest = _farthest_reach(geometry)
    figures = {
        name: _excursion(torso, axis, *((angle_step, math.pi) if axis < 3 else (length_step, farthest)), load)
        for axis, name in enumerate(AXES)
    }
    return Workspace(**figures, angle_step=angle_step, length_step=length_step)
