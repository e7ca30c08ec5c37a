"""A mechanism as arrays, and the closed forms over its legs: each leg's
anchor in its motor's frame, its reach margin, its angle, and its rod-length
error at given angles.

`Torso` checks poses with these, `Geometry` finds and checks its home with
them, and the reference model builds its forward step on them: one
statement of each formula. Each operation is vectorised over the legs.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Protocol, TypeVar

import numpy as np
import numpy.typing as npt

from ._arrays import FloatArray
from ._formulas import closure_terms, reach_margin, rz, wrap_half_open_below

TOLERANCE = 1e-6
"""The solver's absolute tolerance: on the residual norm (it stops stepping
at or below it), on singular values and on the step's rotation angle."""


class LegDescription(Protocol):
    """What a leg must tell to be turned into arrays (a Leg does)."""

    @property
    def branch_platform(self) -> FloatArray: ...
    @property
    def t_world_motor(self) -> FloatArray: ...
    @property
    def solution(self) -> float: ...


class GeometryDescription(Protocol):
    """What a mechanism must tell to be turned into arrays (a Geometry
    does). Structural, so that this module needs nothing of the geometry
    module, which builds on it."""

    @property
    def motor_arm_length(self) -> float: ...
    @property
    def rod_length(self) -> float: ...
    @property
    def legs(self) -> Sequence[LegDescription]: ...
    @property
    def motor_arm_lengths(self) -> FloatArray: ...
    @property
    def rod_lengths(self) -> FloatArray: ...


_Self = TypeVar("_Self", bound="Mechanism")


@dataclass(frozen=True)
class LegPoints:
    """Where each leg's parts are, in world coordinates and the mechanism's
    unit, shape (n, 3) each: what a picture of the mechanism draws.

    origins: each motor frame's origin, on the shaft.
    shafts: each shaft's direction (the motor's +Z), a unit vector.
    tips: each horn's tip at the given angles; NaN where the angle is.
    anchors: each rod's anchor on the platform.
    """

    origins: FloatArray
    shafts: FloatArray
    tips: FloatArray
    anchors: FloatArray


class Mechanism:
    """One mechanism: per leg its horn length a and rod length b (shape
    (n,); one number stands for every leg), its anchor (platform
    coordinates), motor pose (world) and solution sign."""

    def __init__(
        self,
        motor_arm_length: npt.ArrayLike,
        rod_length: npt.ArrayLike,
        branches: Iterable[tuple[npt.ArrayLike, npt.ArrayLike, float]],
    ) -> None:
        listed = list(branches)
        n = len(listed)
        self.a: FloatArray = np.broadcast_to(np.asarray(motor_arm_length, dtype=np.float64), (n,)).copy()
        self.b: FloatArray = np.broadcast_to(np.asarray(rod_length, dtype=np.float64), (n,)).copy()
        self.anchors = np.array([b[0] for b in listed], dtype=np.float64).reshape(n, 3)
        self.t_world_motor = np.array([b[1] for b in listed], dtype=np.float64).reshape(n, 4, 4)
        self.t_motor_world = np.linalg.inv(self.t_world_motor) if n else self.t_world_motor.copy()
        self.solutions = np.array([b[2] for b in listed], dtype=np.float64)

    @classmethod
    def from_geometry(cls: type[_Self], geometry: GeometryDescription) -> _Self:
        return cls(
            geometry.motor_arm_lengths,
            geometry.rod_lengths,
            [(leg.branch_platform, leg.t_world_motor, leg.solution) for leg in geometry.legs],
        )

    # -- inverse kinematics and reach -----------------------------------------

    def anchors_in_motor_frames(self, t_world_platform: FloatArray) -> FloatArray:
        """Each leg's anchor in its own motor's frame, shape (n, 3), or
        (N, n, 3) for a stack of N poses."""
        m = self.t_motor_world @ t_world_platform[..., None, :, :]
        q: FloatArray = np.einsum("...nij,nj->...ni", m[..., :3, :3], self.anchors) + m[..., :3, 3]
        return q

    def inverse_kinematics(self, t_world_platform: FloatArray, body_yaw: float | None = None) -> FloatArray:
        """One angle per leg, wrapped into [-pi, pi); NaN where out of reach."""
        t = t_world_platform if body_yaw is None else rz(-body_yaw) @ t_world_platform
        q = self.anchors_in_motor_frames(t)
        k, d = closure_terms(q, self.a, self.b)
        x, y = q[:, 0], q[:, 1]
        with np.errstate(invalid="ignore"):
            v = self.solutions * np.sqrt(d) + 2.0 * self.a * y
        phi = 2.0 * np.arctan2(v, k + 2.0 * self.a * x)
        return np.asarray(wrap_half_open_below(phi), dtype=np.float64)

    def reach(self, t_world_platform: FloatArray) -> FloatArray:
        """Per leg, the reach margin (see reach_margin): 1 with the horn
        square to the anchor's direction, 0 at the edge of reach, negative
        where the leg cannot close. Shape (n,), or (N, n) for a stack of N
        poses."""
        return reach_margin(self.anchors_in_motor_frames(t_world_platform), self.a, self.b)

    def leg_points(self, t_world_platform: FloatArray, joint_angles: FloatArray) -> LegPoints:
        """The motors, horn tips and anchors in the world, with the platform
        at t_world_platform and the horns at joint_angles (see LegPoints)."""
        motors = self.t_world_motor
        tips = np.einsum("nij,nj->ni", motors[:, :3, :3], self.horn_tips(joint_angles)) + motors[:, :3, 3]
        anchors = self.anchors @ t_world_platform[:3, :3].T + t_world_platform[:3, 3]
        return LegPoints(motors[:, :3, 3].copy(), motors[:, :3, 2].copy(), tips, anchors)

    def outline(self) -> FloatArray:
        """The anchors in platform coordinates, in turn about the platform's
        Z axis: the platform's outline, shape (n, 3)."""
        out: FloatArray = self.anchors[np.argsort(np.arctan2(self.anchors[:, 1], self.anchors[:, 0]))]
        return out

    # -- rods ------------------------------------------------------------------

    def horn_tips(self, joint_angles: FloatArray) -> FloatArray:
        """Horn tips in their motor frames, shape (n, 3)."""
        a = self.a
        theta = np.asarray(joint_angles, dtype=np.float64)
        return np.stack((a * np.cos(theta), a * np.sin(theta), np.broadcast_to(a * 0.0, theta.shape)), axis=1)

    def rod_vectors(self, t_world_platform: FloatArray, horn_tips: FloatArray) -> FloatArray:
        """From each horn tip to its anchor, in platform coordinates (where the
        solver measures them), shape (n, 3)."""
        m = np.linalg.inv(t_world_platform) @ self.t_world_motor
        q = np.einsum("nij,nj->ni", m[:, :3, :3], horn_tips) + m[:, :3, 3]
        return np.asarray(self.anchors - q, dtype=np.float64)

    def rod_errors(self, t_world_platform: FloatArray, joint_angles: FloatArray) -> FloatArray:
        """Per leg, horn-tip-to-anchor distance minus the rod length: positive
        where the rod is too short to close the leg at this pose and these
        angles."""
        d = self.rod_vectors(t_world_platform, self.horn_tips(joint_angles))
        return np.asarray(np.linalg.norm(d, axis=1) - self.b, dtype=np.float64)
