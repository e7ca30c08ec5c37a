# The C++ engine behind Torso. Private: arrays must be float64, C-contiguous
# and of the shapes named; Torso checks and converts before calling.
from typing import Optional

import numpy as np
import numpy.typing as npt

_Array = npt.NDArray[np.float64]

class Model:
    def __init__(
        self,
        motor_arm_length: _Array,
        rod_length: _Array,
        t_world_motor: _Array,
        branch_platform: _Array,
        solution: _Array,
        home: _Array,
    ) -> None: ...
    @property
    def legs(self) -> int: ...
    @property
    def home_determinant(self) -> float: ...
    def singularity_margin(self, poses: _Array) -> _Array: ...
    def rod_jacobian_determinant(self, pose: _Array, joint_angles: _Array) -> float: ...
    # poses (N, 4, 4) and centre in metres, angles (N, 6), gravity (3,),
    # extra (6,) force then moment; torques (N, 6) in N m
    def torques(
        self, poses: _Array, angles: _Array, mass: float, centre: _Array, gravity: _Array, extra: _Array
    ) -> _Array: ...

_Rows = list[list[float]]

class Solver:
    def __init__(
        self,
        motor_arm_length: _Array,
        rod_length: _Array,
        t_world_motor: _Array,
        branch_platform: _Array,
        solution: _Array,
    ) -> None: ...
    def inverse_kinematics(self, t_world_platform: object, body_yaw: Optional[float] = None) -> list[float]: ...
    def inverse_kinematics_safe(
        self,
        t_world_platform: object,
        body_yaw: Optional[float],
        max_relative_yaw: Optional[float],
        max_body_yaw: Optional[float],
    ) -> list[float]: ...
    def forward_kinematics(self, joint_angles: object, body_yaw: Optional[float] = None) -> _Rows: ...
    def reset_forward_kinematics(self, t_world_platform: object) -> None: ...

class MotionModel:
    @property
    def legs(self) -> int: ...

def motion_model(
    motor_arm_length: _Array,
    rod_length: _Array,
    t_world_motor: _Array,
    branch_platform: _Array,
    solution: _Array,
    zero: _Array,
    direction: _Array,
    lower: _Array,
    upper: _Array,
    speed: _Array,
    acceleration: _Array,
    pulse_lower: _Array,
    pulse_upper: _Array,
    torque: _Array,
    home: _Array,
    unit_per_metre: float,
    load: Optional[_Array],  # mass, centre (3, metres), gravity (3), force (3), moment (3)
) -> MotionModel: ...

# pose (4, 4), angles, servo readings and pulses (legs,), status code, leg,
# reason code
_Command = tuple[_Array, _Array, _Array, _Array, int, int, int]

class Follower:
    def __init__(self, model: MotionModel, rate: float, start: Optional[_Array]) -> None: ...
    def step(self, target: Optional[_Array]) -> _Command: ...
    def last(self) -> _Command: ...
    @property
    def rate(self) -> float: ...
    @property
    def at_rest(self) -> bool: ...
    @property
    def overruns(self) -> int: ...

# segment, at a keyframe, time, leg, reason code
_Failure = tuple[int, bool, float, int, int]

def plan(
    model: MotionModel, keyframes: _Array, rate: float
) -> tuple[_Array, _Array, _Array, _Array, _Array, float, Optional[_Failure]]: ...

class Calibration:
    @property
    def motor_arm_length(self) -> _Array: ...
    @property
    def rod_length(self) -> _Array: ...
    @property
    def t_world_motor(self) -> _Array: ...
    @property
    def branch_platform(self) -> _Array: ...
    @property
    def zero(self) -> _Array: ...
    @property
    def residual_position(self) -> _Array: ...
    @property
    def residual_rotation(self) -> _Array: ...
    @property
    def rms_position(self) -> float: ...
    @property
    def rms_rotation(self) -> float: ...
    @property
    def outlier(self) -> list[bool]: ...
    @property
    def parameter_std(self) -> _Array: ...
    # relative singular value; (leg, parameter name, weight) largest first
    @property
    def unobservable(self) -> list[tuple[float, list[tuple[int, str, float]]]]: ...
    @property
    def iterations(self) -> int: ...
    @property
    def converged(self) -> bool: ...
    @property
    def zero_shift(self) -> _Array: ...
    @property
    def spread(self) -> _Array: ...
    @property
    def spread_other_side(self) -> _Array: ...
    @property
    def noise_spread(self) -> _Array: ...
    @property
    def other_side_suspected(self) -> list[bool]: ...
    # leg a, leg b, spread, spread with the two exchanged
    @property
    def swapped(self) -> list[tuple[int, int, float, float]]: ...

def calibrate(
    motor_arm_length: _Array,
    rod_length: _Array,
    t_world_motor: _Array,
    branch_platform: _Array,
    solution: _Array,
    zero: _Array,
    direction: _Array,
    readings: _Array,
    poses: _Array,
    identify: int,
    length_tolerance: float,
    position_tolerance: float,
    zero_tolerance: float,
    position_noise: float,
    rotation_noise: float,
) -> Calibration: ...
