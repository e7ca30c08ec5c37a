"""The mechanism's kinematics written out in NumPy: the one Python model of it.

`Torso` takes its rod-length errors and reach margins from here; the tests
check the extension's forward step against `Model.forward_step`; the
benchmark times this model beside the extension. It is the readable
statement of what the extension computes, not a fast path: one forward step
costs a few hundred microseconds here against a few in the extension.

Each operation is vectorised over the legs. It follows the extension's
algorithm (platform-coordinate residuals, the absolute 1e-6 cut-off of the
pseudo-inverse, the same rotation formula and halving line search) but not
its summation order, so results agree to within rounding, not to the bit.
Poses are 4x4 arrays, `t[r, c]` being row r, column c.
"""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import numpy.typing as npt

from ._geometry import FloatArray, Geometry

TOLERANCE = 1e-6
"""The solver's absolute tolerance: on the residual norm (it stops stepping
at or below it), on singular values and on the step's rotation angle."""

LINE_SEARCH_TRIALS = 16


def rz(psi: float) -> FloatArray:
    """4x4 rotation by psi about the z axis."""
    c, s = np.cos(psi), np.sin(psi)
    out = np.eye(4)
    out[0, 0], out[0, 1], out[1, 0], out[1, 1] = c, -s, s, c
    return out


def axis_angle_rotation(w: FloatArray) -> FloatArray:
    """Rotation by the angle |w| about the axis w (Rodrigues), written as the
    solver writes it; the identity for an angle at or below the tolerance."""
    phi = float(np.linalg.norm(w))
    if not phi > TOLERANCE:
        return np.eye(3)
    u = w / phi
    ux, uy, uz = u / np.linalg.norm(u)
    s, c = np.sin(phi), np.cos(phi)
    return np.array(
        [
            [(1 - ux * ux) * c + ux * ux, ux * uy * (1 - c) - s * uz, ux * uz * (1 - c) + s * uy],
            [ux * uy * (1 - c) + s * uz, (1 - uy * uy) * c + uy * uy, uy * uz * (1 - c) - s * ux],
            [ux * uz * (1 - c) - s * uy, uy * uz * (1 - c) + s * ux, (1 - uz * uz) * c + uz * uz],
        ]
    )


class Model:
    """One mechanism: link lengths a (horn) and b (rod), and per leg its
    anchor (platform coordinates), motor pose (world) and solution sign."""

    def __init__(
        self,
        motor_arm_length: float,
        rod_length: float,
        branches: Iterable[tuple[npt.ArrayLike, npt.ArrayLike, float]],
    ) -> None:
        listed = list(branches)
        n = len(listed)
        self.a = float(motor_arm_length)
        self.b = float(rod_length)
        self.anchors = np.array([b[0] for b in listed], dtype=np.float64).reshape(n, 3)
        self.t_world_motor = np.array([b[1] for b in listed], dtype=np.float64).reshape(n, 4, 4)
        self.t_motor_world = np.linalg.inv(self.t_world_motor) if n else self.t_world_motor.copy()
        self.solutions = np.array([b[2] for b in listed], dtype=np.float64)
        # Velocity of each anchor under a small platform motion (v, w), in
        # platform coordinates: v + w x p = [I | -[p]x] (v, w).
        g = np.zeros((n, 3, 6))
        g[:, :, :3] = np.eye(3)
        x, y, z = self.anchors.T
        g[:, 0, 4], g[:, 0, 5] = z, -y
        g[:, 1, 3], g[:, 1, 5] = -z, x
        g[:, 2, 3], g[:, 2, 4] = y, -x
        self.point_jacobians = g

    @classmethod
    def from_geometry(cls, geometry: Geometry) -> Model:
        return cls(
            geometry.motor_arm_length,
            geometry.rod_length,
            [(leg.branch_platform, leg.t_world_motor, leg.solution) for leg in geometry.legs],
        )

    # -- inverse kinematics and reach -----------------------------------------

    def anchors_in_motor_frames(self, t_world_platform: FloatArray) -> FloatArray:
        """Each leg's anchor in its own motor's frame, shape (n, 3), or
        (N, n, 3) for a stack of N poses."""
        m = self.t_motor_world @ t_world_platform[..., None, :, :]
        q: FloatArray = np.einsum("...nij,nj->...ni", m[..., :3, :3], self.anchors) + m[..., :3, 3]
        return q

    def _closure_terms(self, q: FloatArray) -> tuple[FloatArray, FloatArray]:
        """With the anchor at q in the motor frame, the leg closes where
        x cos t + y sin t = k / 2a. Returns k and the radicand
        d = 4 a^2 (x^2 + y^2) - k^2, non-negative exactly when it can close."""
        x, y, z = np.moveaxis(q, -1, 0)
        a, b = self.a, self.b
        k = x * x + y * y + z * z + a * a - b * b
        return k, 4.0 * a * a * (x * x + y * y) - k * k

    def inverse_kinematics(self, t_world_platform: FloatArray, body_yaw: float | None = None) -> FloatArray:
        """One angle per leg, wrapped into [-pi, pi); NaN where out of reach."""
        t = t_world_platform if body_yaw is None else rz(-body_yaw) @ t_world_platform
        q = self.anchors_in_motor_frames(t)
        k, d = self._closure_terms(q)
        x, y = q[:, 0], q[:, 1]
        with np.errstate(invalid="ignore"):
            v = self.solutions * np.sqrt(d) + 2.0 * self.a * y
        phi = 2.0 * np.arctan2(v, k + 2.0 * self.a * x)
        return np.asarray((phi + np.pi) % (2.0 * np.pi) - np.pi, dtype=np.float64)

    def reach(self, t_world_platform: FloatArray) -> FloatArray:
        """Per leg, d / (4 a^2 (x^2 + y^2)) = 1 - cos^2 of the angle between
        the closing horn and the anchor's direction in the horn's plane: 1
        with the horn square to that direction (the most comfortable pose),
        0 with horn and rod in line (the edge of reach: stretched or folded),
        negative where the leg cannot close. Shape (n,), or (N, n) for a
        stack of N poses."""
        q = self.anchors_in_motor_frames(t_world_platform)
        _, d = self._closure_terms(q)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.asarray(d / (4.0 * self.a * self.a * (q[..., 0] ** 2 + q[..., 1] ** 2)), dtype=np.float64)

    # -- rods and the forward step --------------------------------------------

    def horn_tips(self, joint_angles: FloatArray) -> FloatArray:
        """Horn tips in their motor frames, shape (n, 3)."""
        a = self.a
        theta = np.asarray(joint_angles, dtype=np.float64)
        return np.stack((a * np.cos(theta), a * np.sin(theta), np.full_like(theta, a * 0.0)), axis=1)

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

    def _rod_jacobian(self, rod_vectors: FloatArray) -> FloatArray:
        jacobian: FloatArray = np.einsum("ni,nij->nj", rod_vectors, self.point_jacobians)
        return jacobian

    def aspect(self, t_world_platform: FloatArray, joint_angles: FloatArray) -> float:
        """The sign of the determinant of the rod-constraint Jacobian (the
        solver's, six legs) at this pose and these angles: +1, -1, or 0 at a
        singularity. Poses of one aspect are joined without crossing a
        singularity; the mechanism cannot leave its aspect while it moves."""
        d = self.rod_vectors(t_world_platform, self.horn_tips(joint_angles))
        return float(np.sign(np.linalg.det(self._rod_jacobian(d))))

    def forward_step(self, t_world_platform: FloatArray, joint_angles: FloatArray) -> tuple[FloatArray, int | None]:
        """One call's worth of the forward solver from `t_world_platform`: at
        most one damped Gauss-Newton step. Returns the pose reached and the
        line-search trial that was accepted (None: no step taken)."""
        pose = np.asarray(t_world_platform, dtype=np.float64)
        tips = self.horn_tips(joint_angles)
        d = self.rod_vectors(pose, tips)
        r = self.b - np.linalg.norm(d, axis=1)
        rho = np.linalg.norm(r)
        if not rho > TOLERANCE:
            return pose, None
        # Row i is d_i^T G_i, the rod vector not normalised: the step asks each
        # residual to change by -r_i / |d_i|, about 1/b times the plain
        # Gauss-Newton step. That is why the tolerances suit metres.
        jacobian = self._rod_jacobian(d)
        u, sigma, vt = np.linalg.svd(jacobian)
        with np.errstate(divide="ignore"):
            sigma_plus = np.where(sigma > TOLERANCE, 1.0 / sigma, 0.0)
        delta = vt.T @ (sigma_plus * (u.T @ r))
        v, w = delta[:3], delta[3:]
        for trial in range(LINE_SEARCH_TRIALS):
            step = np.eye(4)
            step[:3, :3] = axis_angle_rotation(w)
            step[:3, 3] = v
            candidate = pose @ step  # applied on the right: a motion in platform coordinates
            if rho > np.linalg.norm(self.b - np.linalg.norm(self.rod_vectors(candidate, tips), axis=1)):
                return candidate, trial
            v, w = v * 0.5, w * 0.5
        return pose, None
