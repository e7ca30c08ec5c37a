"""The same kinematics written with NumPy, as a user without the extension would.

Each operation is vectorised over the legs (stacked 4x4 matrices, one row per
leg) and the forward step uses ``numpy.linalg.pinv``. The benchmark times it
beside the extension and checks first that both agree to within rounding.

This is a reference for speed, not for the last bit: it uses the factored
forms of the formulas, NumPy's own summation order, and ``pinv``'s relative
cut-off instead of the extension's absolute one (the sample geometry's
Jacobian is far from singular, so the step is the same to within rounding).
"""

import numpy as np

_TWO_PI = 2.0 * np.pi
_YAW_PIVOT_HEIGHT = 0.177


def _rz(psi):
    """4x4 rotation by psi about the z axis."""
    c, s = np.cos(psi), np.sin(psi)
    r = np.eye(4)
    r[0, 0], r[0, 1], r[1, 0], r[1, 1] = c, -s, s, c
    return r


class NumpyKinematics:
    """Same methods and arguments as the extension's class; results are arrays."""

    def __init__(self, motor_arm_length, rod_length):
        self.a = float(motor_arm_length)
        self.b = float(rod_length)
        self._anchors = []
        self._motors = []
        self._solutions = []
        self.fk_pose = np.eye(4)
        self.last_trial = None  # index of the accepted line-search trial, or None
        self._stack()

    def add_branch(self, branch_platform, t_world_motor, solution):
        self._anchors.append(np.asarray(branch_platform, dtype=float))
        self._motors.append(np.asarray(t_world_motor, dtype=float))
        self._solutions.append(float(solution))
        self._stack()

    def _stack(self):
        n = len(self._anchors)
        self.anchors = np.array(self._anchors).reshape(n, 3)
        self.t_world_motor = np.array(self._motors).reshape(n, 4, 4)
        self.t_motor_world = np.linalg.inv(self.t_world_motor) if n else self.t_world_motor
        self.solutions = np.array(self._solutions)
        # Velocity of each anchor for a platform twist (v, w): [I | -[p]x].
        g = np.zeros((n, 3, 6))
        g[:, :, :3] = np.eye(3)
        x, y, z = self.anchors.T
        g[:, 0, 4], g[:, 0, 5] = z, -y
        g[:, 1, 3], g[:, 1, 5] = -z, x
        g[:, 2, 3], g[:, 2, 4] = y, -x
        self.point_jacobians = g

    # -- inverse kinematics -------------------------------------------------

    def inverse_kinematics(self, t_world_platform, body_yaw=None):
        t = np.asarray(t_world_platform, dtype=float)
        if body_yaw is not None:
            t = _rz(-body_yaw) @ t
        m = self.t_motor_world @ t  # platform in each motor frame, (n, 4, 4)
        q = np.einsum("nij,nj->ni", m[:, :3, :3], self.anchors) + m[:, :3, 3]
        x, y, z = q.T
        a, b = self.a, self.b
        k = x * x + y * y + z * z + a * a - b * b
        d = 4.0 * a * a * (x * x + y * y) - k * k
        with np.errstate(invalid="ignore"):
            v = self.solutions * np.sqrt(d) + 2.0 * a * y
        phi = 2.0 * np.arctan2(v, k + 2.0 * a * x)
        return (phi + np.pi) % _TWO_PI - np.pi

    def inverse_kinematics_safe(
        self, t_world_platform, body_yaw=None, max_relative_yaw=None, max_body_yaw=None
    ):
        t = np.asarray(t_world_platform, dtype=float)
        yaw = 0.0
        if body_yaw is not None:
            w = -body_yaw
            if max_relative_yaw is not None:
                heading = np.arctan2(t[0, 1], t[0, 0])
                w = float(np.clip(w - heading, -max_relative_yaw, max_relative_yaw)) + heading
            if max_body_yaw is not None:
                w = float(np.clip(w, -max_body_yaw, max_body_yaw))
            yaw = -w
        return np.concatenate(([yaw], self.inverse_kinematics(t, yaw)))

    # -- forward kinematics -------------------------------------------------

    def reset_forward_kinematics(self, t_world_platform):
        self.fk_pose = np.array(t_world_platform, dtype=float)

    def _rods(self, pose, horn_tips):
        """Rod vectors, horn tip to anchor, in platform coordinates, (6, 3)."""
        m = np.linalg.inv(pose) @ self.t_world_motor
        q = np.einsum("nij,nj->ni", m[:, :3, :3], horn_tips) + m[:, :3, 3]
        return self.anchors - q

    def forward_kinematics(self, joint_angles, body_yaw=None):
        if len(self.anchors) != 6:
            raise RuntimeError("Forward kinematics requires exactly 6 joint angles")
        theta = np.asarray(joint_angles, dtype=float)
        a, b = self.a, self.b
        horn_tips = np.stack((a * np.cos(theta), a * np.sin(theta), np.zeros(6)), axis=1)
        d = self._rods(self.fk_pose, horn_tips)
        r = b - np.linalg.norm(d, axis=1)
        rho = np.linalg.norm(r)
        self.last_trial = None
        if rho > 1e-6:
            jacobian = np.einsum("ni,nij->nj", d, self.point_jacobians)
            delta = np.linalg.pinv(jacobian) @ r
            v, w = delta[:3], delta[3:]
            for trial in range(16):
                step = np.eye(4)
                angle = np.linalg.norm(w)
                if angle > 1e-6:
                    ux, uy, uz = w / angle
                    c, s = np.cos(angle), np.sin(angle)
                    cross = np.array([[0.0, -uz, uy], [uz, 0.0, -ux], [-uy, ux, 0.0]])
                    step[:3, :3] = c * np.eye(3) + s * cross + (1.0 - c) * np.outer(w, w) / angle**2
                step[:3, 3] = v
                candidate = self.fk_pose @ step
                trial_r = b - np.linalg.norm(self._rods(candidate, horn_tips), axis=1)
                if rho > np.linalg.norm(trial_r):
                    self.fk_pose = candidate
                    self.last_trial = trial
                    break
                v, w = v * 0.5, w * 0.5
        if body_yaw is None:
            return self.fk_pose.copy()
        shifted = self.fk_pose.copy()
        shifted[2, 3] -= _YAW_PIVOT_HEIGHT
        out = _rz(body_yaw) @ shifted
        out[2, 3] += _YAW_PIVOT_HEIGHT
        return out
