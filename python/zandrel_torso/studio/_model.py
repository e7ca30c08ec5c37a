"""What the studio shows, without a browser: the pose the sliders ask for,
each leg's readings and verdict there, the keyframes and their plan.

The web page only binds this: everything it displays is computed here, so
that it can be checked by driving a `Studio` directly.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from .._arrays import FloatArray
from .._formulas import pose as make_pose
from .._load import Load, as_load
from .._mechanism import LegPoints, Mechanism
from .._motion import Trajectory, pose_in, rate_in
from .._servo import ServoTable
from .._torso import Torso
from .._workspace import AXES, Workspace

Verdict: TypeAlias = Literal["ok", "out of reach", "servo out of range", "overloaded"]
Rgb: TypeAlias = tuple[int, int, int]

# A leg is coloured by the first of its problems in this order: a leg that
# cannot reach has no servo reading, and a servo past its range is the
# limit a builder meets before the torque one.
LEG_COLOURS: dict[Verdict, Rgb] = {
    "ok": (31, 119, 180),
    "out of reach": (214, 39, 40),
    "servo out of range": (148, 103, 189),
    "overloaded": (231, 41, 138),
}
ROD_COLOUR: Rgb = (255, 127, 14)  # an ok leg's rod; a leg with a problem has it in the leg's colour
PLATFORM_COLOURS: dict[bool, Rgb] = {False: (44, 160, 44), True: (40, 40, 40)}  # keyed by "past a singularity"
LEGEND: tuple[tuple[str, Rgb], ...] = (
    ("horn of a leg that is ok", LEG_COLOURS["ok"]),
    ("rod of a leg that is ok", ROD_COLOUR),
    ("leg out of reach (motor to anchor)", LEG_COLOURS["out of reach"]),
    ("servo out of its range", LEG_COLOURS["servo out of range"]),
    ("servo over its torque limit", LEG_COLOURS["overloaded"]),
    ("platform on home's side of every singularity", PLATFORM_COLOURS[False]),
    ("platform at or past a singularity", PLATFORM_COLOURS[True]),
)

# The sliders reach this far past the workspace's figures, so that a
# builder sees each axis's first failure, not only the poses that pass.
SLIDER_REACH = 1.5
# Plans are sampled at this rate: smooth on screen, a few hundred samples
# for a plan of seconds.
PLAY_RATE = 50.0


@dataclass(frozen=True)
class Offsets:
    """A pose as the sliders give it, relative to home: roll, pitch and yaw
    in degrees (the turn Rz(yaw) Ry(pitch) Rx(roll) in home's frame), x, y
    and z along home's axes in the geometry's unit."""

    roll: float = 0.0
    pitch: float = 0.0
    yaw: float = 0.0
    x: float = 0.0
    y: float = 0.0
    z: float = 0.0

    def pose(self, home: FloatArray) -> FloatArray:
        """The platform pose these offsets name, home @ offset."""
        turn = (math.radians(self.roll), math.radians(self.pitch), math.radians(self.yaw))
        out: FloatArray = home @ make_pose(*turn, self.x, self.y, self.z)
        return out


@dataclass(frozen=True)
class LegReadout:
    """One leg at the current pose. Angles in radians; see PoseCheck for
    each figure.

    angle: the leg angle θ, NaN out of reach.
    servo: the servo reading.
    pulse: the pulse width in microseconds; NaN out of reach, outside the
        servo's range, or for a servo without a pulse range.
    reach: the reach margin (1 comfortable, 0 at the edge, < 0 beyond).
    servo_margin: radians to the nearer end of the servo's range.
    torque: N m the servo holds, with a load; None without one.
    verdict, colour: the leg's first problem, and its colour in the scene.
    """

    leg: int
    angle: float
    servo: float
    pulse: float
    reach: float
    servo_margin: float
    torque: float | None
    verdict: Verdict
    colour: Rgb


@dataclass(frozen=True)
class Readouts:
    """Everything the page reads out for one pose.

    pose: the platform pose (4x4, the geometry's unit).
    legs: a row per leg.
    singularity_margin: the pose's (see PoseCheck), NaN where a leg cannot
        reach.
    singular: at or past a singularity; platform_colour shows it.
    explain: check(...).explain() for the pose: one line per problem.
    ok: the pose can be commanded.
    """

    pose: FloatArray
    legs: tuple[LegReadout, ...]
    singularity_margin: float
    singular: bool
    platform_colour: Rgb
    explain: tuple[str, ...]
    ok: bool


@dataclass(frozen=True)
class Playback:
    """What "play" found: the plan through the keyframes, or, when there is
    none, why in words (the plan's own ValueError message)."""

    trajectory: Trajectory | None
    message: str


class Studio:
    """One mechanism on the bench: a current pose and its readouts, and
    keyframes to plan through. Needs no browser; the web page
    (`zandrel_torso.studio.serve`) binds one.

    load: with one, every check includes the servos' torques, the readouts
    show them, and plans keep within the servos' torque limits.
    """

    def __init__(self, torso: Torso, load: Load | None = None) -> None:
        self.torso = torso
        self.load = None if load is None else as_load(load)
        self.geometry = torso.geometry
        self.home: FloatArray = torso.geometry.home.copy()
        self._mechanism = Mechanism.from_geometry(self.geometry)
        self._servos = ServoTable([leg.servo for leg in self.geometry.legs])
        self._offsets: Offsets | None = Offsets()
        self._pose = self.home.copy()
        self._readouts = self._read(self._pose)
        self._keyframes: list[tuple[FloatArray, Offsets | None]] = []
        self._workspace: Workspace | str | None = None

    # -- the pose --------------------------------------------------------------

    @property
    def pose(self) -> FloatArray:
        return self._pose.copy()

    @property
    def offsets(self) -> Offsets | None:
        """The slider values of the current pose, or None when the pose was
        set as a matrix (set_pose)."""
        return self._offsets

    def set_pose(self, t_world_platform: npt.ArrayLike) -> Readouts:
        """Moves to a pose (4x4, the geometry's unit); a ValueError for one
        that is not a rigid transform."""
        self._pose = pose_in(t_world_platform, "t_world_platform")
        self._offsets = None
        self._readouts = self._read(self._pose)
        return self._readouts

    def set_offsets(
        self, roll: float = 0.0, pitch: float = 0.0, yaw: float = 0.0, x: float = 0.0, y: float = 0.0, z: float = 0.0
    ) -> Readouts:
        """Moves to home turned and shifted by slider values: roll, pitch
        and yaw in degrees, x, y and z in the geometry's unit (see Offsets)."""
        offsets = Offsets(*(float(v) for v in (roll, pitch, yaw, x, y, z)))
        self._pose = offsets.pose(self.home)
        self._offsets = offsets
        self._readouts = self._read(self._pose)
        return self._readouts

    def go_home(self) -> Readouts:
        return self.set_offsets()

    def readouts(self) -> Readouts:
        """The readouts of the current pose."""
        return self._readouts

    def leg_points(self) -> LegPoints:
        """Where the motors, horn tips and anchors are at the current pose
        (NaN tips for legs out of reach)."""
        return self._mechanism.leg_points(self._pose, self._readouts_angles())

    def outline(self) -> FloatArray:
        """The platform's outline through its anchors, platform coordinates."""
        return self._mechanism.outline()

    def _readouts_angles(self) -> FloatArray:
        return np.array([leg.angle for leg in self._readouts.legs], dtype=np.float64)

    def _read(self, t: FloatArray) -> Readouts:
        checked = self.torso.check(t, load=self.load)
        # A servo without a pulse range reads NaN rather than refusing the
        # whole table, as Torso.to_pulses would.
        widths = self._servos.pulses_where_known(checked.servo_angles)
        margin = float(checked.singularity_margin)
        singular = not margin > 0.0 and math.isfinite(margin)
        rows = []
        for leg in range(len(checked.angles)):
            verdict: Verdict = "ok"
            if not math.isfinite(checked.angles[leg]):
                verdict = "out of reach"
            elif checked.servo_margin[leg] < 0.0:
                verdict = "servo out of range"
            elif checked.torque_margin[leg] < 0.0:
                verdict = "overloaded"
            rows.append(
                LegReadout(
                    leg,
                    float(checked.angles[leg]),
                    float(checked.servo_angles[leg]),
                    float(widths[leg]),
                    float(checked.reach[leg]),
                    float(checked.servo_margin[leg]),
                    None if self.load is None else float(checked.torque[leg]),
                    verdict,
                    LEG_COLOURS[verdict],
                )
            )
        return Readouts(
            t.copy(), tuple(rows), margin, singular, PLATFORM_COLOURS[singular], tuple(checked.explain()),
            bool(checked.ok.all()),
        )

    # -- keyframes and their plan -----------------------------------------------

    @property
    def keyframes(self) -> tuple[FloatArray, ...]:
        return tuple(frame.copy() for frame, _ in self._keyframes)

    def keyframe_offsets(self, index: int) -> Offsets | None:
        """The slider values keyframe `index` was added at (None when its
        pose was set as a matrix)."""
        return self._keyframes[index][1]

    def add_keyframe(self) -> int:
        """Adds the current pose as the last keyframe; returns how many there are."""
        self._keyframes.append((self._pose.copy(), self._offsets))
        return len(self._keyframes)

    def clear_keyframes(self) -> None:
        self._keyframes.clear()

    def plan(self, rate: float = PLAY_RATE) -> Trajectory:
        """The plan through the keyframes, rest to rest (Torso.plan, with the
        studio's load): a ValueError when it leaves the feasible set, or
        when there are no keyframes."""
        if not self._keyframes:
            raise ValueError("no keyframes: add one or more (\"add keyframe\") to plan through")
        return self.torso.plan(np.array([frame for frame, _ in self._keyframes]), rate_in(rate), load=self.load)

    def play(self, rate: float = PLAY_RATE) -> Playback:
        """The plan to play, or why there is none, in words."""
        try:
            trajectory = self.plan(rate)
        except ValueError as error:
            return Playback(None, str(error))
        seconds = f"{trajectory.duration:.2f} s"
        return Playback(trajectory, f"playing {len(self._keyframes)} keyframes over {seconds}")

    # -- the workspace ----------------------------------------------------------

    def workspace(self) -> Workspace | str:
        """The workspace around home (Torso.workspace, with the load), or,
        when home itself fails, why in words. Scanned once."""
        if self._workspace is None:
            try:
                self._workspace = self.torso.workspace(load=self.load)
            except ValueError as error:
                self._workspace = str(error)
        return self._workspace

    def slider_limits(self) -> Offsets:
        """How far each slider goes either side of home: past the
        workspace's figure (in degrees and the geometry's unit), so that the
        first failure on each axis is within reach of the slider."""
        found = self.workspace()
        horn = float(np.max(self.geometry.motor_arm_lengths)) if self.geometry.legs else 1.0
        fallback = {"angle": 45.0, "length": horn}
        limits: dict[str, float] = {}
        for axis in AXES:
            angular = axis in ("roll", "pitch", "yaw")
            figure = getattr(found, axis) if isinstance(found, Workspace) else 0.0
            figure = math.degrees(figure) if angular else figure
            limit = SLIDER_REACH * figure if figure > 0.0 else fallback["angle" if angular else "length"]
            limits[axis] = min(limit, 180.0) if angular else limit
        return Offsets(**limits)
