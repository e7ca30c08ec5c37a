"""A typed layer over `zandrel_torso_kinematics` for describing and solving a
six-legged rotary platform: checked geometry files with a home pose, the
common three-pair layout in one call (`Geometry.three_pairs`), motor frames
from CAD directions (`motor_frame`), unit-safe solving whose forward answers
carry a checked status, each leg's servo (`Servo`: zero, direction, range,
pulse widths, speed, acceleration and torque limits) with per-pose checks,
the servos' holding torques under a load (`Load`, `Torso.torques`), the
workspace around home, zeros estimated from measurements, the robot as
built calibrated from measured poses (`Torso.calibrate`; a leg may carry its
own horn and rod lengths), keyframe plans
and an online follower within the servos' limits (`Torso.plan`,
`Torso.follower`), pictures (`zandrel_torso.plot`, needs
matplotlib) and a live 3D studio in the browser (`python -m
zandrel_torso.studio`, needs viser). Stacks of poses (N, 4, 4) go through in one call.

    from zandrel_torso import Torso, sample_geometry
    torso = Torso(sample_geometry())
    angles = torso.inverse(pose)
    solved = torso.solve_forward(angles)  # starts at the geometry's home

`Torso.kinematics` is the extension object itself, the fast path for control
loops (where the legs share their lengths); `zandrel_torso.reference` is the same kinematics in NumPy.
"""

from ._calibration import PARAMETERS, Calibration, Residual
from ._formulas import pose, rotation
from ._geometry import Geometry, Leg
from ._layouts import motor_frame
from ._load import Load
from ._motion import Command, Follower, MotionStatus, Trajectory
from ._pose_check import PoseCheck
from ._sample import SAMPLE_HOME_HEIGHT, sample_geometry, sample_home_pose
from ._servo import Servo
from ._torso import ForwardSolution, ForwardStatus, Torso
from ._workspace import Workspace
from ._zeros import ZeroEstimate

__all__ = [
    "PARAMETERS",
    "SAMPLE_HOME_HEIGHT",
    "Calibration",
    "Command",
    "Follower",
    "ForwardSolution",
    "ForwardStatus",
    "Geometry",
    "Leg",
    "Load",
    "MotionStatus",
    "PoseCheck",
    "Residual",
    "Servo",
    "Torso",
    "Trajectory",
    "Workspace",
    "ZeroEstimate",
    "motor_frame",
    "pose",
    "rotation",
    "sample_geometry",
    "sample_home_pose",
]
