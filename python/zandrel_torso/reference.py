"""The mechanism's kinematics written out in NumPy: the one Python model of it.

The closed forms (anchors in motor frames, inverse kinematics, reach
margins, rod-length errors) are the package's shared ones, which `Torso`
and `Geometry` use too; this model adds the forward solver's step on top.
The tests check the extension's forward step against `Model.forward_step`;
the benchmark times this model beside the extension. It is the readable
statement of what the extension computes, not a fast path: one forward step
costs a few hundred microseconds here against a few in the extension.

Each operation is vectorised over the legs. It follows the extension's
algorithm (platform-coordinate residuals, the absolute 1e-6 cut-off of the
pseudo-inverse, the same rotation formula and halving line search) but not
its summation order, so results agree to within rounding, not to the bit.
Poses are 4x4 arrays, `t[r, c]` being row r, column c.
"""

from __future__ import annotations

import functools

import numpy as np

from ._arrays import FloatArray
from ._formulas import rz
from ._mechanism import TOLERANCE, Mechanism

__all__ = ["LINE_SEARCH_TRIALS", "TOLERANCE", "Model", "axis_angle_rotation", "rz"]

LINE_SEARCH_TRIALS = 16


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


class Model(Mechanism):
    """One mechanism: link lengths a (horn) and b (rod), and per leg its
    anchor (platform coordinates), motor pose (world) and solution sign.
    The closed forms are Mechanism's; this adds the forward solver's step."""

    @functools.cached_property
    def point_jacobians(self) -> FloatArray:
        """Velocity of each anchor under a small platform motion (v, w), in
        platform coordinates: v + w x p = [I | -[p]x] (v, w); shape (n, 3, 6)."""
        g = np.zeros((len(self.anchors), 3, 6))
        g[:, :, :3] = np.eye(3)
        x, y, z = self.anchors.T
        g[:, 0, 4], g[:, 0, 5] = z, -y
        g[:, 1, 3], g[:, 1, 5] = -z, x
        g[:, 2, 3], g[:, 2, 4] = y, -x
        return g

    # -- the forward step -----------------------------------------------------

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
