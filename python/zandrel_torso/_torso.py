"""`Torso`: the extension's model behind checks, units and whole answers."""

from __future__ import annotations

import functools
import itertools
import math
import operator
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt
from zandrel_torso_kinematics import ZandrelRustKinematics

from . import _engine
from ._arrays import FloatArray, check_rigid, float_array, real_array
from ._calibration import Calibration
from ._calibration import calibrate as calibrate_robot
from ._formulas import rz, wrap_half_open_below
from ._geometry import Geometry
from ._load import Load, as_load
from ._mechanism import TOLERANCE, Mechanism
from ._messages import brief
from ._motion import Follower, Trajectory, leg_arrays, motion_model
from ._motion import plan as plan_keyframes
from ._pose_check import PoseCheck
from ._servo import ServoTable
from ._workspace import Workspace, scan_workspace
from ._zeros import ZeroEstimate, estimate_zeros

_NAN_ANGLES = [math.nan] * 6
_FLOAT64 = np.dtype(np.float64)
START_POSE_TOLERANCE = 1e-6


ForwardStatus: TypeAlias = Literal["converged", "not_converged", "other_assembly"]

# What Torso solves with: the seed class, or the engine's solver where the
# legs have lengths of their own. Both answer the same four calls alike.
_Solver: TypeAlias = "ZandrelRustKinematics | _engine.Solver"

# How far the inverse at a settled pose may be from the angles solved for. A
# settled pose lies within about 1e-5 of the exact one, which moves the
# angles by about 1e-5 rad; another assembly of the mechanism is off by a
# large fraction of a turn.
ANGLE_TOLERANCE = 1e-3


@dataclass(frozen=True)
class ForwardSolution:
    """What solve_forward found.

    pose: the platform pose (4x4, the geometry's unit), turned by the body
        yaw when one was given.
    converged: True exactly when status is "converged".
    steps: the solver steps taken (each lowered the error), over both tries
        when it tried again from home.
    residual: the largest absolute rod-length error at `pose`, in the
        geometry's unit.
    status: "converged": every rod closes (the norm over the legs of the
        rod-length errors is at most 1e-6 m, the solver's own criterion,
        whatever the geometry's unit), the inverse at `pose` gives back the
        angles (within 1e-3 rad per leg) and `pose` lies in home's aspect
        (the rod-constraint Jacobian's determinant has its sign at home);
        "other_assembly": the rods close but a check fails, so `pose` is
        another assembly of the mechanism for the same angles, not where the
        robot is; "not_converged": the rods do not close.
    """

    pose: FloatArray
    converged: bool
    steps: int
    residual: float
    status: ForwardStatus


class Torso:
    """One mechanism, ready to solve.

    Holds one ZandrelRustKinematics, `kinematics`, built in metres whatever
    the geometry's unit: the solver's tolerances are absolute and tuned for
    metres. Poses and lengths in and out of Torso's methods are in the
    geometry's unit, angles in radians. Inputs may be lists, tuples or arrays
    of any float dtype; results are float64 arrays.

    A new Torso's forward solver stands at `geometry.home`.

    Every usage mistake (a wrong shape, a singular start pose, a negative
    yaw limit, forward kinematics without six legs) is a ValueError raised
    before `kinematics` is called, so nothing done through Torso leaves the
    raw object poisoned. `kinematics` itself is the fast path for a control
    loop: it takes metres, and checks nothing.

    A Torso is not to be shared between threads without a lock of your
    own: solve_forward steps, resets and retries the solver in several
    calls, and another thread's call in between would move its pose.
    """

    def __init__(self, geometry: Geometry) -> None:
        self.geometry = geometry
        metres = geometry.in_unit("m")
        legs = leg_arrays(metres)
        # The seed class holds one horn and one rod length for every leg; a
        # robot whose legs differ is solved by the engine, which answers as
        # the seed class does (to the bit where the lengths are shared).
        self._solver: _Solver
        self._kinematics: ZandrelRustKinematics | None = None
        if geometry.shared_lengths:
            self._kinematics = ZandrelRustKinematics(metres.motor_arm_length, metres.rod_length)
            for leg in metres.legs:
                self._kinematics.add_branch(_any(leg.branch_platform), _any(leg.t_world_motor), leg.solution)
            self._solver = self._kinematics
        else:
            self._solver = _engine.Solver(*legs)
        # Reach margins and rod-length errors, from the shared closed forms.
        self._mechanism = Mechanism.from_geometry(metres)
        self._engine = _engine.Model(*legs, np.ascontiguousarray(metres.home))
        self._legs = len(geometry.legs)
        if self._legs == 6 and not abs(self._engine.home_determinant) > 0.0:
            raise ValueError(
                "home is at a singularity: the rods do not hold the platform there "
                "(their constraint Jacobian is singular); choose another home"
            )
        self._home: list[list[float]] = metres.home.tolist()
        self._home_angles = np.array(self._solver.inverse_kinematics(self._home))
        self._solver.reset_forward_kinematics(self._home)
        # Metres to the geometry's unit. Poses come in through a division by
        # it rather than a product with its reciprocal, which no double holds
        # exactly: the division is correctly rounded.
        self._scale = 1000.0 if geometry.unit == "mm" else 1.0
        self._pose_divisor: FloatArray | None = None
        if self._scale != 1.0:
            self._pose_divisor = np.ones((4, 4))
            self._pose_divisor[:3, 3] = self._scale

    @property
    def kinematics(self) -> ZandrelRustKinematics:
        """The raw solver, in metres: the fast path for a control loop. It
        holds one horn and one rod length for every leg, so it exists only
        where the geometry's legs share them."""
        if self._kinematics is None:
            raise AttributeError(
                "this geometry's legs have their own horn or rod lengths, which the raw "
                "ZandrelRustKinematics cannot hold (it has one of each for every leg): "
                "use the Torso's methods, which honour them"
            )
        return self._kinematics

    # -- conversions ---------------------------------------------------------

    def _pose_in(self, value: npt.ArrayLike, name: str) -> FloatArray:
        t = float_array(value, (4, 4), name)
        return t if self._pose_divisor is None else t / self._pose_divisor

    def _pose_for_raw(self, value: npt.ArrayLike) -> Any:
        """What to hand the extension for a pose argument as it is, or None
        when it needs converting first. In metres, a 4x4 float64 array or a
        well-shaped list goes as it is: the extension reads either in well
        under a microsecond, while NumPy takes about two to convert a list."""
        if self._pose_divisor is None:
            if isinstance(value, np.ndarray):
                if value.dtype == _FLOAT64 and value.shape == (4, 4):
                    return value
            elif isinstance(value, list) and len(value) == 4:
                try:
                    if len(value[0]) == len(value[1]) == len(value[2]) == len(value[3]) == 4:
                        return value
                except TypeError:
                    pass
        return None

    def _poses_in(self, value: npt.ArrayLike, name: str) -> FloatArray:
        """One pose (4, 4) or a stack of them (N, 4, 4), in metres."""
        array = real_array(value, name, "(4, 4) or (N, 4, 4)")
        if array.ndim not in (2, 3) or array.shape[-2:] != (4, 4):
            raise ValueError(f"{name} must have shape (4, 4), got shape {array.shape} (or (N, 4, 4) for N poses)")
        return array if self._pose_divisor is None else array / self._pose_divisor

    def _angle_rows_in(self, value: npt.ArrayLike, name: str) -> FloatArray:
        """One angle per leg (legs,), or a stack of them (N, legs)."""
        array = real_array(value, name, f"({self._legs},) or (N, {self._legs})")
        if array.ndim not in (1, 2) or array.shape[-1] != self._legs:
            raise ValueError(
                f"{name} must have shape ({self._legs},), got shape {array.shape} (or (N, {self._legs}) for N rows)"
            )
        return array

    def _pose_out(self, rows: list[list[float]]) -> FloatArray:
        t = np.array(rows, dtype=np.float64)
        if self._pose_divisor is not None:
            t[:3, 3] *= self._scale
        return t

    def _angles_in(self, value: npt.ArrayLike) -> FloatArray:
        return float_array(value, (self._legs,), "joint_angles")

    def _require_six_legs(self) -> None:
        if self._legs != 6:
            raise ValueError(f"forward kinematics needs exactly 6 legs; this geometry has {self._legs}")

    # -- inverse kinematics ----------------------------------------------------

    def inverse(self, t_world_platform: npt.ArrayLike, body_yaw: float | None = None) -> FloatArray:
        """One motor angle per leg for the platform at t_world_platform, the
        body turned by body_yaw about the world Z axis; NaN for a leg that
        cannot reach. A stack of poses (N, 4, 4) gives angles (N, legs)."""
        t = self._pose_for_raw(t_world_platform)
        yaw = None if body_yaw is None else _number(body_yaw, "body_yaw")
        if t is not None:
            try:
                return np.array(self._solver.inverse_kinematics(t, yaw))
            except (TypeError, ValueError):
                # A list whose elements the extension would not read as
                # numbers (rejected before its model was touched), or a list
                # of four poses: converted below, which either works or says
                # what is wrong in our words.
                pass
        poses = self._poses_in(t_world_platform, "t_world_platform")
        if poses.ndim == 3:
            return self._inverse_stack(poses, yaw)
        return np.array(self._solver.inverse_kinematics(_any(poses), yaw))

    def _inverse_stack(self, poses: FloatArray, yaw: float | None) -> FloatArray:
        """The extension's inverse kinematics, one call per pose (in metres):
        a stack answers exactly as single calls do. The loop and the
        collection of the angles both run in C (map, chain, fromiter)."""
        poses = np.ascontiguousarray(poses)
        count = len(poses)
        solve = self._solver.inverse_kinematics
        calls = map(solve, poses) if yaw is None else map(solve, poses, itertools.repeat(yaw, count))
        flat = np.fromiter(itertools.chain.from_iterable(calls), np.float64, count * self._legs)
        return flat.reshape(count, self._legs)

    def inverse_limited(
        self,
        t_world_platform: npt.ArrayLike,
        body_yaw: float | None = None,
        max_relative_yaw: float | None = None,
        max_body_yaw: float | None = None,
    ) -> tuple[float, FloatArray]:
        """The body yaw actually used, kept within max_relative_yaw of the
        platform's heading and then within max_body_yaw of zero, and the
        angles for it. A limit, when given, must be zero or positive."""
        t = self._pose_in(t_world_platform, "t_world_platform")
        yaw = None if body_yaw is None else _number(body_yaw, "body_yaw")
        limits = [_yaw_limit(max_relative_yaw, "max_relative_yaw"), _yaw_limit(max_body_yaw, "max_body_yaw")]
        out = self._solver.inverse_kinematics_safe(_any(t), yaw, *limits)
        return out[0], np.array(out[1:], dtype=np.float64)

    def reach(self, t_world_platform: npt.ArrayLike) -> FloatArray:
        """Per leg, how comfortably it reaches the platform at this pose: 1
        with the horn square to the anchor's direction, 0 at the edge of
        reach (horn and rod in line), negative beyond. The same for either
        solution sign; body yaw is not applied. A stack of poses (N, 4, 4)
        gives margins (N, legs)."""
        return self._mechanism.reach(self._poses_in(t_world_platform, "t_world_platform"))

    # -- forward kinematics ---------------------------------------------------

    def reset(self, t_world_platform: npt.ArrayLike) -> None:
        """Sets the pose (at zero body yaw) the next forward step starts from."""
        t = self._pose_in(t_world_platform, "t_world_platform")
        # Looser than for a motor pose: a start pose may come from single
        # precision (a sensor, a float32 array), and the solver only needs
        # it finite and far from singular.
        check_rigid(t, "t_world_platform", START_POSE_TOLERANCE)
        self._solver.reset_forward_kinematics(_any(t))

    def forward_step(self, joint_angles: npt.ArrayLike, body_yaw: float | None = None) -> FloatArray:
        """One solver step from the pose the previous step (or reset) left:
        the call for a control loop's tick. Returns the new pose, turned by
        body_yaw about the world Z axis when given (only the returned copy)."""
        self._require_six_legs()
        angles = self._angles_in(joint_angles)
        yaw = None if body_yaw is None else _number(body_yaw, "body_yaw")
        return self._pose_out(self._solver.forward_kinematics(_any(angles), yaw))

    def solve_forward(
        self,
        joint_angles: npt.ArrayLike,
        body_yaw: float | None = None,
        *,
        start: npt.ArrayLike | None = None,
        max_steps: int = 100,
        retry: bool = True,
    ) -> ForwardSolution:
        """Steps the solver (from `start`, or from where it stands) until the
        pose stops changing or max_steps steps, and checks the answer (see
        ForwardSolution.status).

        The mechanism has several poses for the same angles, and the solver
        finds the one nearest its start: keep it warm (solve each tick from
        the last answer) or start it near the truth. When the first try
        does not end "converged" (and `retry` is True), it tries again from
        home: once straight to the angles (unless it started at home), then
        walking the angles over from home's in 4 and then 16 stages, each
        stage warm from the last, which keeps the solver on home's
        assembly where a straight try jumps to another. It reports the
        first try that converged, else the first; the solver is left at the
        pose reported. A fresh Torso finds every pose that check calls ok
        within 30 degrees and 10 mm of home on the geometries tried
        (benchmarks/forward_starts.py).
        """
        self._require_six_legs()
        angles = self._angles_in(joint_angles)
        yaw = None if body_yaw is None else _number(body_yaw, "body_yaw")
        limit = _count(max_steps, "max_steps")
        if start is not None:
            self.reset(start)
        raw = self._solver
        # NaN angles make the solver return its stored pose without a step:
        # the way to read the pose it stands at, and to have it turn that
        # pose by a body yaw exactly as it turns its own results.
        stored = raw.forward_kinematics(_NAN_ANGLES)
        from_home = stored == self._home
        steps, stored = self._settle(angles, stored, limit)
        errors, status = self._check(stored, angles)
        if status != "converged" and retry:
            # Home first (unless that is where it started), then home again
            # walking the angles over in stages: each stage's answer lies
            # near the next one's, so the solver stays on home's assembly.
            tries = (1, 4, 16) if not from_home else (4, 16)
            for stages in tries:
                more, again = self._walk_from_home(angles, limit, stages)
                steps += more
                again_errors, again_status = self._check(again, angles)
                if again_status == "converged":
                    stored, errors, status = again, again_errors, again_status
                    break
            else:
                raw.reset_forward_kinematics(stored)
        if yaw is not None:
            stored = raw.forward_kinematics(_NAN_ANGLES, yaw)
        residual = float(np.max(np.abs(errors))) * self._scale
        return ForwardSolution(self._pose_out(stored), status == "converged", steps, residual, status)

    def _walk_from_home(self, angles: FloatArray, limit: int, stages: int) -> tuple[int, list[list[float]]]:
        """Solves from home for angles moved from home's to `angles` in
        `stages` equal steps (each leg the short way round), each stage
        starting where the last one settled."""
        self._solver.reset_forward_kinematics(self._home)
        turn = wrap_half_open_below(angles - self._home_angles)
        steps, stored = 0, self._home
        for stage in range(1, stages + 1):
            more, stored = self._settle(self._home_angles + turn * (stage / stages), stored, limit)
            steps += more
        return steps, stored

    def _settle(self, angles: FloatArray, stored: list[list[float]], limit: int) -> tuple[int, list[list[float]]]:
        """Steps until the pose stops changing or `limit` steps."""
        raw = self._solver
        steps = 0
        while steps < limit:
            reached = raw.forward_kinematics(_any(angles))
            if reached == stored:
                break
            stored = reached
            steps += 1
        return steps, stored

    def _check(self, stored: list[list[float]], angles: FloatArray) -> tuple[FloatArray, ForwardStatus]:
        """The rod-length errors at a pose the solver reached (metres), and
        its status."""
        pose = np.array(stored)
        errors = self._mechanism.rod_errors(pose, angles)
        if not np.linalg.norm(errors) <= TOLERANCE:
            return errors, "not_converged"
        back = np.array(self._solver.inverse_kinematics(stored))
        off = np.abs(wrap_half_open_below(back - angles))
        if not np.max(off) <= ANGLE_TOLERANCE:
            return errors, "other_assembly"
        determinant = self._engine.rod_jacobian_determinant(pose, np.ascontiguousarray(angles))
        if np.sign(determinant) != np.sign(self._engine.home_determinant):
            return errors, "other_assembly"
        return errors, "converged"

    def rod_errors(self, t_world_platform: npt.ArrayLike, joint_angles: npt.ArrayLike) -> FloatArray:
        """Per leg, the distance from horn tip to anchor minus the rod length,
        in the geometry's unit (positive: the rod is too short to close the
        leg), with the platform at t_world_platform (zero body yaw)."""
        t = self._pose_in(t_world_platform, "t_world_platform")
        angles = self._angles_in(joint_angles)
        try:
            return self._mechanism.rod_errors(t, angles) * self._scale
        except np.linalg.LinAlgError:
            raise ValueError("t_world_platform is singular") from None

    # -- servos ----------------------------------------------------------------

    @functools.cached_property
    def _servos(self) -> ServoTable:
        return ServoTable([leg.servo for leg in self.geometry.legs])

    def to_servo(self, joint_angles: npt.ArrayLike) -> FloatArray:
        """Each leg's servo angle, direction * (θ - zero) wrapped into
        (-pi, pi]: per leg (legs,), or (N, legs) for N rows of angles. NaN
        stays NaN."""
        return self._servos.to_servo(self._angle_rows_in(joint_angles, "joint_angles"))

    def from_servo(self, servo_angles: npt.ArrayLike) -> FloatArray:
        """The leg angles θ (wrapped into [-pi, pi), as inverse gives them)
        for servo readings, an encoder's or the commands sent: what
        forward kinematics takes. Shape (legs,) or (N, legs)."""
        return self._servos.from_servo(self._angle_rows_in(servo_angles, "servo_angles"))

    def to_pulses(self, joint_angles: npt.ArrayLike) -> FloatArray:
        """Each leg's pulse width in microseconds, (legs,) or (N, legs). A leg
        out of reach (NaN) or a servo angle outside [lower, upper] gives NaN,
        never a width clipped to the range: the servo must not go where the
        kinematics did not ask. Every leg's servo needs its pulse range."""
        return self._servos.pulses(self.to_servo(joint_angles))

    def from_pulses(self, pulses: npt.ArrayLike) -> FloatArray:
        """The leg angles θ (in [-pi, pi), as inverse gives them) for pulse
        widths in microseconds, (legs,) or (N, legs): the inverse of
        to_pulses, for the widths a controller sent or logged. NaN stays
        NaN, and a width outside the servo's pulse range gives NaN too: no
        angle within the servo's range gives it, and reading it as one
        beyond the range would claim a place the servo never goes."""
        widths = self._angle_rows_in(pulses, "pulses")
        return self._servos.from_servo(self._servos.from_pulses(widths))

    # -- forces ------------------------------------------------------------------

    def torques(self, t_world_platform: npt.ArrayLike, load: Load) -> FloatArray:
        """The torque (N m) each servo holds, about its motor's +Z axis,
        positive towards increasing θ, to keep the platform at
        t_world_platform (the horns where inverse puts them) under `load`:
        (legs,), or (N, legs) for a stack. Horns and rods are taken as
        massless. NaN for every leg of a pose where a leg cannot reach or
        the rods cannot hold the platform (a parallel singularity). The same
        in either unit: lengths go to the engine in metres."""
        load = as_load(load)
        poses = self._poses_in(t_world_platform, "t_world_platform")
        stack = poses.reshape(-1, 4, 4)
        angles = self._inverse_stack(stack, None)
        return self._torques(stack, angles, load, None).reshape(poses.shape[:-2] + (self._legs,))

    def _torques(self, solved: FloatArray, angles: FloatArray, load: Load, yaw: float | None) -> FloatArray:
        """Torques (N, legs) at poses (N, 4, 4) in metres, as inverse solved
        them (turned back by the body yaw, when one was given), with their
        angles (N, legs)."""
        if self._legs != 6:
            return np.full(angles.shape, math.nan)
        gravity, extra = load.gravity, load.extra()
        if yaw is not None:
            # The motors turn with the body: the load's world directions,
            # seen from the frame inverse kinematics solved in.
            turn = rz(-yaw)[:3, :3]
            gravity, extra = turn @ gravity, np.concatenate((turn @ extra[:3], turn @ extra[3:]))
        return self._engine.torques(
            np.ascontiguousarray(solved),
            np.ascontiguousarray(angles),
            load.mass,
            np.ascontiguousarray(load.centre / self._scale),
            np.ascontiguousarray(gravity),
            np.ascontiguousarray(extra),
        )

    def check(
        self, t_world_platform: npt.ArrayLike, body_yaw: float | None = None, load: Load | None = None
    ) -> PoseCheck:
        """Whether the platform can be sent to t_world_platform (the body
        turned by body_yaw): every leg reaches, every servo stays within its
        range, the pose lies on home's side of every parallel singularity
        (see PoseCheck.singularity_margin) and, given a load, every servo
        can hold it (see PoseCheck.torque). A stack of poses (N, 4, 4) gives
        fields of shape (N, legs) and a margin per pose."""
        poses = self._poses_in(t_world_platform, "t_world_platform")
        yaw = None if body_yaw is None else _number(body_yaw, "body_yaw")
        load = None if load is None else as_load(load)
        stack = poses.reshape(-1, 4, 4)
        flat_angles = self._inverse_stack(stack, yaw)
        angles = flat_angles.reshape(poses.shape[:-2] + (self._legs,))
        # Inverse kinematics solves for the pose turned back by the body yaw;
        # the reach and the singularity are measured there too.
        solved = poses if yaw is None else rz(-yaw) @ poses
        reach = self._mechanism.reach(solved)
        servos = self._servos
        servo_angles = servos.to_servo(angles)
        margin = servos.margin(servo_angles)
        ok = np.isfinite(angles) & (margin >= 0.0)
        singularity: FloatArray | float
        if self._legs == 6:
            singularity = self._engine.singularity_margin(np.ascontiguousarray(solved.reshape(-1, 4, 4)))
            ok &= (singularity > 0.0)[:, None].reshape(ok.shape[:-1] + (1,))
            singularity = singularity.reshape(poses.shape[:-2]) if poses.ndim == 3 else float(singularity[0])
        else:
            singularity = np.full(poses.shape[:-2], math.nan) if poses.ndim == 3 else math.nan
        if load is None:
            torque = np.full(angles.shape, math.nan)
            torque_margin = np.full(angles.shape, math.inf)
        else:
            flat_solved = solved.reshape(-1, 4, 4)
            torque = self._torques(flat_solved, flat_angles, load, yaw).reshape(angles.shape)
            torque_margin = servos.torque - np.abs(torque)
            ok &= ~(torque_margin < 0.0)
        return PoseCheck(
            reach, angles, servo_angles, margin, singularity, torque, torque_margin, ok,
            servos.lower, servos.upper, servos.torque,
        )

    # -- motion ------------------------------------------------------------------

    @functools.cached_property
    def _motion_model(self) -> _engine.MotionModel:
        return motion_model(self.geometry, self._servos)

    def _motion_model_for(self, load: Load | None) -> _engine.MotionModel:
        return self._motion_model if load is None else motion_model(self.geometry, self._servos, as_load(load))

    def plan(self, keyframes: npt.ArrayLike, rate: float, load: Load | None = None) -> Trajectory:
        """Rest to rest through keyframes (K, 4, 4), the geometry's unit,
        sampled every 1/rate s: straight paths between keyframes, stopping
        at each, each segment time-optimal within the servos' speed and
        acceleration (up to small safety margins). Every sample passes
        check and its angles are exactly inverse of its pose. A ValueError
        names the segment (counted from 0) that leaves the feasible set,
        when the plan would stop, the leg and the reason. With a `load`, no
        sample asks a servo for more than its torque (reason "servo torque
        over its limit")."""
        return plan_keyframes(self._motion_model_for(load), keyframes, rate)

    def follower(
        self, rate: float, start: npt.ArrayLike | None = None, load: Load | None = None
    ) -> Follower:
        """An online follower at rate ticks per second, at rest at start
        (home when None): see Follower.step. With a `load`, it clamps
        where holding it would need more than a servo's torque."""
        return Follower(self._motion_model_for(load), rate, start, lambda pose: self.check(pose, load=load).explain())

    def workspace(
        self, angle_step: float = math.radians(0.1), length_step: float | None = None, load: Load | None = None
    ) -> Workspace:
        """From home, the largest symmetric excursion along and about each
        axis of the platform's frame at home, one axis at a time, over which
        every leg reaches and every servo stays in range (and, given a load,
        holds it within its torque limit): the answer to "how far can it
        tilt?". Scanned outwards in steps of angle_step (radians)
        and length_step (the geometry's unit; 0.1 mm by default), so each
        figure is a whole number of steps, every step up to it passing
        on both sides. A ValueError when home itself does not pass."""
        if length_step is None:
            length_step = 0.1 if self.geometry.unit == "mm" else 1e-4
        checked_load = None if load is None else as_load(load)
        return scan_workspace(self, _step(angle_step, "angle_step"), _step(length_step, "length_step"), checked_load)

    def calibrate(
        self,
        servo_angles: npt.ArrayLike,
        measured_poses: npt.ArrayLike,
        parameters: Sequence[str] | None = None,
        tolerances: Mapping[str, float] | None = None,
        noise: Mapping[str, float] | None = None,
    ) -> Calibration:
        """The robot as built, from N servo readings (N, legs), as commanded,
        and the platform poses measured for them (N, 4, 4), a tracker's, a
        camera's with a marker on the platform, or a jig's.

        By default every leg's zero, motor_arm_length, rod_length,
        branch_platform and motor_origin are identified (`parameters` picks
        some of PARAMETERS, e.g. ("zero",)), by weighted least squares on
        the pose residuals. `tolerances` is the prior, the builder's part
        tolerances as standard deviations: "length" and "position" in the
        geometry's unit (0.5 mm by default), "zero" in radians (5°).
        `noise` is the measurement's: "position" in the unit (0.5 mm) and
        "rotation" in radians (0.3°).

        Thirty poses give 180 equations for 54 parameters, yet some
        combinations barely move any pose: a rod a little longer with its
        motor a little lower, say. Plain least squares trades them against
        each other and ends worse than fitting zeros alone; the tolerances
        hold them near nominal. Those the poses cannot tell apart at all
        are kept at nominal and named in Calibration.unobservable: more
        varied poses (larger tilts, the corners of the workspace) would
        separate them.

        A ValueError when there are fewer samples than the parameters need
        without the prior (six equations a pose), naming how many.
        """
        return calibrate_robot(self, servo_angles, measured_poses, parameters, tolerances, noise)

    def estimate_zeros(self, servo_angles: npt.ArrayLike, measured_poses: npt.ArrayLike) -> ZeroEstimate:
        """Each servo's zero from measurements: N servo angles (N, legs), as
        commanded or read, and the platform poses (N, 4, 4) measured for
        them (a tracker, a camera, a jig). See ZeroEstimate."""
        return estimate_zeros(self, servo_angles, measured_poses)


def _step(value: float, name: str) -> float:
    step = _number(value, name)
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"{name} must be positive and finite, got {step!r}")
    return step


def _number(value: float, name: str) -> float:
    # float() reads the text "0.3" as a number and NumPy's complex scalars
    # as their real part: neither is a number given as one.
    if isinstance(value, (str, bytes, complex, np.complexfloating)):
        raise ValueError(f"{name} must be a real number, got {brief(value)}")
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a number within a double's range, got {brief(value)}") from None


def _count(value: int, name: str) -> int:
    """A whole number of at least zero: 1.5 steps or True steps is a
    mistake, not 1."""
    if isinstance(value, bool):
        raise ValueError(f"{name} must be a whole number, got {value!r}")
    try:
        count = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be a whole number, got {brief(value)}") from None
    if count < 0:
        raise ValueError(f"{name} must be zero or positive, got {count}")
    return count


def _yaw_limit(value: float | None, name: str) -> float | None:
    if value is None:
        return None
    limit = _number(value, name)
    if not limit >= 0.0:
        raise ValueError(f"{name} must be zero or positive, got {limit!r}")
    return limit


def _any(array: FloatArray) -> Any:
    """The extension reads float64 arrays directly (its stub asks for
    sequences, which an array is not to a type checker)."""
    return array
