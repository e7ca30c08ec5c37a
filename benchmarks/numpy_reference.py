"""The extension's class in NumPy, as a user without the extension would
write it: the benchmark times it beside the extension, after checking that
both agree to within rounding.

The kinematics themselves are the package's NumPy model
(`zandrel_torso.reference.Model`, vectorised over the legs); this class only
adds what the extension's interface has on top: a growing list of legs, the
stored forward-kinematics pose, the yaw limits and the yaw-turned output.
"""

import numpy as np
from zandrel_torso.reference import Model, rz

_YAW_PIVOT_HEIGHT = 0.177


class NumpyKinematics:
    """Same methods and arguments as the extension's class; results are arrays."""

    def __init__(self, motor_arm_length, rod_length):
        self._lengths = (float(motor_arm_length), float(rod_length))
        self._branches = []
        self.model = Model(*self._lengths, self._branches)
        self.fk_pose = np.eye(4)
        self.last_trial = None  # index of the accepted line-search trial, or None

    def add_branch(self, branch_platform, t_world_motor, solution):
        self._branches.append((branch_platform, t_world_motor, solution))
        self.model = Model(*self._lengths, self._branches)

    def inverse_kinematics(self, t_world_platform, body_yaw=None):
        return self.model.inverse_kinematics(np.asarray(t_world_platform, dtype=float), body_yaw)

    def inverse_kinematics_safe(self, t_world_platform, body_yaw=None, max_relative_yaw=None, max_body_yaw=None):
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
        return np.concatenate(([yaw], self.model.inverse_kinematics(t, yaw)))

    def reset_forward_kinematics(self, t_world_platform):
        self.fk_pose = np.array(t_world_platform, dtype=float)

    def forward_kinematics(self, joint_angles, body_yaw=None):
        if len(self._branches) != 6:
            raise RuntimeError("Forward kinematics requires exactly 6 joint angles")
        self.fk_pose, self.last_trial = self.model.forward_step(self.fk_pose, np.asarray(joint_angles, dtype=float))
        if body_yaw is None:
            return self.fk_pose.copy()
        shifted = self.fk_pose.copy()
        shifted[2, 3] -= _YAW_PIVOT_HEIGHT
        out = rz(body_yaw) @ shifted
        out[2, 3] += _YAW_PIVOT_HEIGHT
        return out
