# The C++ engine behind Torso. Private: arrays must be float64, C-contiguous
# and of the shapes named; Torso checks and converts before calling.
import numpy as np
import numpy.typing as npt

_Array = npt.NDArray[np.float64]

class Model:
    def __init__(
        self,
        motor_arm_length: float,
        rod_length: float,
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
