"""The package's sample mechanism in the plain form the extension's tests use:
lists of floats, and poses given as displacements from home."""

import zandrel_torso
from zandrel_torso_kinematics import ZandrelRustKinematics

_SAMPLE = zandrel_torso.sample_geometry()

MOTOR_ARM_LENGTH = _SAMPLE.motor_arm_length
ROD_LENGTH = _SAMPLE.rod_length
BRANCHES = [(leg.branch_platform.tolist(), leg.t_world_motor.tolist(), leg.solution) for leg in _SAMPLE.legs]
HOME_HEIGHT = zandrel_torso.SAMPLE_HOME_HEIGHT


def pose(roll=0.0, pitch=0.0, yaw=0.0, x=0.0, y=0.0, z=0.0):
    """The home pose turned by Rz(yaw) * Ry(pitch) * Rx(roll) about the
    platform origin and moved by (x, y, z), as nested lists."""
    return zandrel_torso.pose(roll, pitch, yaw, x, y, HOME_HEIGHT + z).tolist()


HOME_POSE = pose()


def make_kinematics():
    """A ZandrelRustKinematics holding the six sample legs, built from lists."""
    kinematics = ZandrelRustKinematics(MOTOR_ARM_LENGTH, ROD_LENGTH)
    for branch in BRANCHES:
        kinematics.add_branch(*branch)
    return kinematics
