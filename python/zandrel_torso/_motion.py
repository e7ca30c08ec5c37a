"""Moving the platform within its servos' limits: keyframe plans and an
online follower, both from the C++ engine.

Every command lies on the straight path from where the platform was to
where it is going (translation linear, rotation along the geodesic, one
parameter for both), passes `Torso.check`, and keeps every servo reading's
finite-difference speed and acceleration within its `Servo.speed` and
`Servo.acceleration` (with one tick of 1/rate between commands, at rest
before the first command and after the platform stops).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from collections.abc import Callable
from typing import Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _engine
from ._arrays import FloatArray, check_rigid, float_array, real_array
from ._geometry import Geometry
from ._load import Load
from ._messages import brief
from ._servo import ServoTable

_FLOAT64 = np.dtype(np.float64)

MotionStatus: TypeAlias = Literal["moving", "arrived", "clamped", "holding"]

_STATUSES: tuple[MotionStatus, ...] = ("moving", "arrived", "clamped", "holding")
# Why the path ends short of its target, in words, by the engine's code.
REASONS = (
    "",
    "out of reach",
    "servo reading at its lower limit",
    "servo reading at its upper limit",
    "a parallel singularity",
    "the target is not a rigid transform",
    "servo torque over its limit",
)


def load_values(load: Load, unit: str) -> FloatArray:
    """The engine's 13 numbers for a load, the centre in metres."""
    centre = np.asarray(load.centre, dtype=np.float64) / (1000.0 if unit == "mm" else 1.0)
    wrench = np.zeros(6) if load.wrench is None else np.asarray(load.wrench, dtype=np.float64)
    return np.concatenate(([float(load.mass)], centre, np.asarray(load.gravity, dtype=np.float64), wrench))


@dataclass(frozen=True)
class Command:
    """One control tick's command.

    pose: the platform pose (4x4, the geometry's unit) commanded.
    angles: the leg angles θ, exactly `Torso.inverse(pose)`.
    servo_angles: the servo readings of `angles`.
    pulses: pulse widths in microseconds, NaN for a leg without a pulse range.
    status: "moving" towards a target it will reach; "arrived" at it,
        exactly; "clamped" when the target or the path to it leaves the
        feasible set, braking to a stop at (or stopped at) the last
        feasible pose on the path; "holding" with no target, braking to
        rest or at rest.
    leg: when clamped, the leg that cannot go further, or -1 when it is the
        singularity (or the target itself is not a pose); otherwise -1.
    reason: when clamped, why, in words ("out of reach", "servo reading at
        its upper limit", ...); otherwise "".
    """

    pose: FloatArray
    angles: FloatArray
    servo_angles: FloatArray
    pulses: FloatArray
    status: MotionStatus
    leg: int
    reason: str


@dataclass(frozen=True)
class Trajectory:
    """A plan sampled every 1/rate s: times (N,) from 0 to `duration`,
    poses (N, 4, 4) in the geometry's unit, angles (exactly `inverse` of
    each pose) and servo_angles (N, legs), pulses (N, legs; NaN where a leg
    has no pulse range)."""

    times: FloatArray
    poses: FloatArray
    angles: FloatArray
    servo_angles: FloatArray
    pulses: FloatArray
    duration: float


def leg_arrays(metres: Geometry) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray, FloatArray]:
    """The legs as the engine takes them: each leg's horn and rod lengths
    (legs,), t_world_motor (legs, 4, 4), branch_platform (legs, 3) and
    solution (legs,)."""
    legs = metres.legs
    return (
        metres.motor_arm_lengths,
        metres.rod_lengths,
        np.array([leg.t_world_motor for leg in legs], dtype=np.float64).reshape(-1, 4, 4),
        np.array([leg.branch_platform for leg in legs], dtype=np.float64).reshape(-1, 3),
        np.array([leg.solution for leg in legs], dtype=np.float64),
    )


def motion_model(geometry: Geometry, servos: ServoTable, load: Load | None = None) -> _engine.MotionModel:
    """The engine's model of the mechanism and its servos, holding `load`
    within every servo's torque when given."""
    metres = geometry.in_unit("m")
    try:
        return _engine.motion_model(
            *leg_arrays(metres),
            servos.zero,
            servos.direction,
            servos.lower,
            servos.upper,
            servos.speed,
            servos.acceleration,
            servos.pulse_lower,
            servos.pulse_upper,
            servos.torque,
            np.ascontiguousarray(geometry.home, dtype=np.float64),
            1000.0 if geometry.unit == "mm" else 1.0,
            None if load is None else load_values(load, geometry.unit),
        )
    except ValueError as error:
        raise ValueError(f"this geometry cannot be moved: {error}") from None


def rate_in(rate: object) -> float:
    if isinstance(rate, (bool, str)) or not isinstance(rate, (int, float, np.integer, np.floating)):
        raise ValueError(f"rate must be a number of ticks per second, got {brief(rate)}")
    value = float(rate)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"rate must be positive and finite (ticks per second), got {value!r}")
    return value


def pose_in(value: npt.ArrayLike, name: str) -> FloatArray:
    t = np.ascontiguousarray(float_array(value, (4, 4), name))
    check_rigid(t, name)
    return t


def plan(model: _engine.MotionModel, keyframes: npt.ArrayLike, rate: object) -> Trajectory:
    frames = real_array(keyframes, "keyframes", "(K, 4, 4)")
    if frames.ndim != 3 or frames.shape[1:] != (4, 4) or len(frames) == 0:
        raise ValueError(f"keyframes must have shape (K, 4, 4) with K >= 1, got shape {frames.shape}")
    frames = np.ascontiguousarray(frames, dtype=np.float64)
    for k, frame in enumerate(frames):
        check_rigid(frame, f"keyframe {k}")
    times, poses, angles, readings, pulses, duration, failure = _engine.plan(model, frames, rate_in(rate))
    if failure is not None:
        segment, at_keyframe, time, leg, reason = failure
        who = f"leg {leg}" if leg >= 0 else "the platform"
        if at_keyframe:
            raise ValueError(f"keyframe {segment} cannot be commanded: {who}: {REASONS[reason]}")
        raise ValueError(
            f"segment {segment} (keyframe {segment} to {segment + 1}) leaves the feasible set: "
            f"stopped at t = {time:.4g} s, {who}: {REASONS[reason]}"
        )
    return Trajectory(times, poses, angles, readings, pulses, duration)


class Follower:
    """The online follower: call `step` once per control tick (1/rate s)
    with the latest target pose, or None to brake to rest and hold.

    Every command obeys the servos' limits and the feasible set whatever
    the targets. From rest towards a fixed target the platform keeps the
    straight path and arrives exactly, time-optimal up to the engine's
    small safety margins. A target that changes mid-move is taken up as
    soon as a step towards it keeps the limits; until then the platform
    brakes along its path. One follower is one control loop: do not share
    it between threads.
    """

    def __init__(
        self,
        model: _engine.MotionModel,
        rate: object,
        start: npt.ArrayLike | None,
        explain: Callable[[FloatArray], list[str]],
    ) -> None:
        begin = None if start is None else pose_in(start, "start")
        ticks = rate_in(rate)
        try:
            self._engine = _engine.Follower(model, ticks, begin)
        except ValueError:
            lines = explain(begin) if begin is not None else []
            raise ValueError(f"the follower cannot start at `start`: {'; '.join(lines) or 'not a feasible pose'}") from None
        self.rate = self._engine.rate

    def step(self, target: npt.ArrayLike | None) -> Command:
        """The next tick's command towards target (4x4, the geometry's
        unit), or towards rest when target is None."""
        aim: FloatArray | None
        if isinstance(target, np.ndarray) and target.dtype == _FLOAT64 and target.shape == (4, 4) and target.flags.c_contiguous:
            aim = target
        else:
            # Anything but the float64 4x4 a control loop usually has is
            # converted and checked; a non-finite or non-rigid target clamps
            # (the engine's own check), it never moves the platform.
            aim = None if target is None else np.ascontiguousarray(float_array(target, (4, 4), "target"))
        return self._command(self._engine.step(aim))

    @property
    def last(self) -> Command:
        """The last command (at rest at the start before the first step)."""
        return self._command(self._engine.last())

    @property
    def overruns(self) -> int:
        """Ticks on which no command on the path kept every servo within its
        limits, so that the follower took the step that oversteps them
        least. Rare: the follower slows down ahead of a servo reading that
        turns round within a few coarse ticks, but a move that spans only a
        few ticks (a coarse tick and a fast servo) can still brake into a
        turn or a clamp with no step left within every limit."""
        return self._engine.overruns

    @staticmethod
    def _command(raw: tuple[FloatArray, FloatArray, FloatArray, FloatArray, int, int, int]) -> Command:
        pose, angles, readings, pulses, status, leg, reason = raw
        return Command(pose, angles, readings, pulses, _STATUSES[status], leg, REASONS[reason])
