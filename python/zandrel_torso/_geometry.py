"""Describing a mechanism: legs, link lengths and the unit they are written in.

Everything is checked on construction, because the extension takes any
numbers and answers confidently: a motor pose that is not rigid, a
`solution` of 0.5 or a rotation written in degrees all give angles that look
plausible and are wrong. Files are read and written in _geometry_files, the
three-pair layout and the home search are worked out in _layouts: this
module holds the two types and what makes them valid.
"""

from __future__ import annotations

import math
import pathlib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _geometry_files as files
from ._arrays import FloatArray, check_finite, float_array, rigid
from ._layouts import SIDES, Side, home_on_side, pose_at_height, three_pair_legs
from ._mechanism import Mechanism
from ._messages import brief, listing
from ._servo import Servo, ServoTable

Unit: TypeAlias = Literal["m", "mm"]

UNITS: tuple[Unit, ...] = ("m", "mm")


def _frozen(array: FloatArray) -> FloatArray:
    out = np.array(array, dtype=np.float64)  # our own copy, so the caller cannot change it
    out.flags.writeable = False
    return out


def _length(value: float, name: str) -> float:
    if isinstance(value, (str, bytes, bool, complex)):
        raise ValueError(f"{name} must be a number, got {brief(value)}")
    try:
        length = float(value)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a number within a double's range, got {brief(value)}") from None
    if not (math.isfinite(length) and length > 0.0):
        raise ValueError(f"{name} must be a positive finite length, got {length!r}")
    return length


@dataclass(frozen=True, eq=False, init=False)
class Leg:
    """One leg: where its rod is anchored on the platform, where its motor
    sits in the world, and which of the two horn positions closes it.

    branch_platform: the rod's anchor, platform coordinates, shape (3,).
    t_world_motor: the motor frame in the world, shape (4, 4); the shaft is
        its Z axis and the horn points along its X axis at angle 0.
    solution: +1 or -1, the assembly mode. Seen from the tip of the motor's
        +Z axis, the horn can close the leg at two angles, symmetric about
        the direction of the anchor; +1 picks the one counter-clockwise of
        that direction, -1 the clockwise one.
    servo: the servo driving the leg (its zero, direction, range, pulse
        widths and limits on speed and acceleration); the default Servo()
        reads θ itself over a full turn, unlimited.
    motor_arm_length, rod_length: this leg's own horn and rod, where they
        differ from the lengths the geometry gives every leg (a robot as
        built, or as calibrated); None takes the geometry's.
    """

    branch_platform: FloatArray
    t_world_motor: FloatArray
    solution: float
    servo: Servo
    motor_arm_length: float | None
    rod_length: float | None

    def __init__(
        self,
        branch_platform: npt.ArrayLike,
        t_world_motor: npt.ArrayLike,
        solution: float,
        servo: Servo | None = None,
        motor_arm_length: float | None = None,
        rod_length: float | None = None,
    ) -> None:
        anchor = float_array(branch_platform, (3,), "branch_platform")
        check_finite(anchor, "branch_platform")
        motor = rigid(float_array(t_world_motor, (4, 4), "t_world_motor"), "t_world_motor")
        if isinstance(solution, bool) or solution not in (1, -1):
            raise ValueError(f"solution must be +1 or -1, got {brief(solution)}")
        if servo is not None and not isinstance(servo, Servo):
            raise ValueError(f"servo must be a Servo, got {type(servo).__name__}")
        object.__setattr__(self, "branch_platform", _frozen(anchor))
        object.__setattr__(self, "t_world_motor", _frozen(motor))
        object.__setattr__(self, "solution", float(solution))
        object.__setattr__(self, "servo", Servo() if servo is None else servo)
        for name, length in (("motor_arm_length", motor_arm_length), ("rod_length", rod_length)):
            object.__setattr__(self, name, None if length is None else _length(length, name))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Leg):
            return NotImplemented
        return (
            self.solution == other.solution
            and self.servo == other.servo
            and self.motor_arm_length == other.motor_arm_length
            and self.rod_length == other.rod_length
            and np.array_equal(self.branch_platform, other.branch_platform)
            and np.array_equal(self.t_world_motor, other.t_world_motor)
        )

    __hash__ = None  # type: ignore[assignment]  # equal legs hold equal arrays, which do not hash

    def _scaled(self, factor: float, divide: bool) -> Leg:
        """The same leg with every length multiplied (or divided) by factor."""
        anchor = self.branch_platform / factor if divide else self.branch_platform * factor
        motor = self.t_world_motor.copy()
        motor[:3, 3] = motor[:3, 3] / factor if divide else motor[:3, 3] * factor
        lengths = [
            None if length is None else (length / factor if divide else length * factor)
            for length in (self.motor_arm_length, self.rod_length)
        ]
        return Leg(anchor, motor, self.solution, self.servo, *lengths)

    def _sharing(self, motor_arm_length: float, rod_length: float) -> Leg:
        """This leg with an own length equal to the shared one dropped: the
        same mechanism, written once."""
        horn = None if self.motor_arm_length == motor_arm_length else self.motor_arm_length
        rod = None if self.rod_length == rod_length else self.rod_length
        if (horn, rod) == (self.motor_arm_length, self.rod_length):
            return self
        return Leg(self.branch_platform, self.t_world_motor, self.solution, self.servo, horn, rod)


LegLike: TypeAlias = "Leg | tuple[npt.ArrayLike, npt.ArrayLike, float] | tuple[npt.ArrayLike, npt.ArrayLike, float, Servo | None]"

HomeLike: TypeAlias = "npt.ArrayLike | Side | None"


@dataclass(frozen=True, eq=False, init=False)
class Geometry:
    """A whole mechanism: the two link lengths the legs share (a leg may
    carry its own, see Leg; motor_arm_lengths and rod_lengths give each
    leg's), the legs in
    the order of the angles in and out of every method, the length unit of
    all of it ("m" or "mm"; angles are always radians), and `home`, the
    platform's rest pose (4x4, in the unit), which every leg reaches with
    every servo within its range.

    `home` may be given as the pose, or as "above" or "below" the motors:
    then it is computed on that side, with no rotation, the platform origin
    on the world Z axis, at the height where the leg nearest the edge of its
    reach is most comfortable ("above": at or over the highest motor;
    "below": under it, a platform hanging from its motors). Left out, it is
    computed on the one side where such a home exists; when both sides hold
    one the mechanism is ambiguous (horizontal shafts reach a mirror image
    of every pose), and the error shows both heights and asks which.
    """

    motor_arm_length: float
    rod_length: float
    legs: tuple[Leg, ...]
    unit: Unit
    home: FloatArray

    def __init__(
        self,
        motor_arm_length: float,
        rod_length: float,
        legs: Iterable[LegLike],
        unit: str = "m",
        home: HomeLike = None,
    ) -> None:
        if not (isinstance(unit, str) and unit in UNITS):
            raise ValueError(f'unit must be "m" or "mm", got {brief(unit)}')
        if isinstance(legs, (str, bytes, Mapping)) or not isinstance(legs, Iterable):
            raise ValueError(f"legs must be a list of legs, got {type(legs).__name__}")
        checked: list[Leg] = []
        for index, leg in enumerate(legs):
            try:
                checked.append(leg if isinstance(leg, Leg) else Leg(*leg))
            except (TypeError, ValueError, OverflowError) as error:
                raise ValueError(f"leg {index}: {brief(error, 400)}") from None
        _check_no_repeats(checked)
        shared_horn = _length(motor_arm_length, "motor_arm_length")
        shared_rod = _length(rod_length, "rod_length")
        object.__setattr__(self, "motor_arm_length", shared_horn)
        object.__setattr__(self, "rod_length", shared_rod)
        object.__setattr__(self, "legs", tuple(leg._sharing(shared_horn, shared_rod) for leg in checked))
        object.__setattr__(self, "unit", unit)
        if home is None or isinstance(home, str):
            pose = self._computed_home(home)
        else:
            pose = rigid(float_array(home, (4, 4), "home"), "home")
            self._check_reachable(pose)
            self._check_servos(pose)
        object.__setattr__(self, "home", _frozen(pose))

    @property
    def motor_arm_lengths(self) -> FloatArray:
        """Each leg's horn length, shape (legs,): its own, or the shared."""
        return np.array([self.motor_arm_length if leg.motor_arm_length is None else leg.motor_arm_length for leg in self.legs])

    @property
    def rod_lengths(self) -> FloatArray:
        """Each leg's rod length, shape (legs,): its own, or the shared."""
        return np.array([self.rod_length if leg.rod_length is None else leg.rod_length for leg in self.legs])

    @property
    def shared_lengths(self) -> bool:
        """True when every leg has the shared horn and rod lengths."""
        return all(leg.motor_arm_length is None and leg.rod_length is None for leg in self.legs)

    def reach(self, t_world_platform: FloatArray) -> FloatArray:
        """Per leg, the reach margin at a pose (see Torso.reach)."""
        return Mechanism.from_geometry(self).reach(t_world_platform)

    def _check_reachable(self, home: FloatArray) -> None:
        margins = self.reach(home)
        beyond = [f"leg {i} (reach margin {m:.3g})" for i, m in enumerate(margins.tolist()) if not m > 0.0]
        if beyond:
            raise ValueError(
                f"home is out of reach of {listing(beyond)}; a margin is 1 with the horn square to "
                "its rod's anchor, 0 at the edge of reach. A length in another unit, a wrong "
                "anchor or motor position?"
            )

    def _servo_problems(self, home: FloatArray) -> list[str]:
        """Each leg whose servo reading at `home` lies outside its range,
        with the reading and the range in degrees."""
        servos = ServoTable([leg.servo for leg in self.legs])
        readings = servos.to_servo(Mechanism.from_geometry(self).inverse_kinematics(home))
        outside = np.flatnonzero(~(servos.margin(readings) >= 0.0))
        return [
            f"leg {i} (reading {math.degrees(readings[i]):.1f}°, range "
            f"[{math.degrees(servos.lower[i]):.1f}°, {math.degrees(servos.upper[i]):.1f}°])"
            for i in outside.tolist()
        ]

    def _check_servos(self, home: FloatArray, where: str = "home") -> None:
        problems = self._servo_problems(home)
        if problems:
            raise ValueError(
                f"{where} is outside the servo range of {listing(problems, 6)}: "
                "a servo's zero or direction off, or a home the servos cannot take?"
            )

    def _computed_home(self, side: str | None) -> FloatArray:
        """The home on `side`, or, with no side, on the only side that has
        one; see the class's description."""
        if side is not None and side not in SIDES:
            raise ValueError(f'home must be a 4x4 pose, "above" or "below", got {brief(side)}')
        if not self.legs:
            return np.eye(4)
        mechanism = Mechanism.from_geometry(self)
        found = {s: home_on_side(mechanism, s) for s in SIDES if side in (None, s)}
        usable = {s: t for s, t in found.items() if t is not None and not self._servo_problems(t)}
        if len(usable) == 1:
            return next(iter(usable.values()))
        if len(usable) == 2:
            above, below = usable["above"][2, 3], usable["below"][2, 3]
            raise ValueError(
                "home is not given, and the platform can rest on either side of the motors: "
                f"at z = {above:.6g} {self.unit} above them or at z = {below:.6g} {self.unit} below them. "
                'Give home="above" or home="below" (in a file: "home": "above" or "home": "below"), '
                "or the pose itself"
            )
        for s, t in found.items():
            if t is not None:  # reached, but a servo is out of range there
                self._check_servos(t, f"the home computed {s} the motors (z = {t[2, 3]:.6g} {self.unit})")
        where = "" if side is None else f" {side} the motors"
        raise ValueError(
            f"no height{where} on the world Z axis lets every leg reach an unrotated platform: "
            "give home, the platform's rest pose"
        )

    @classmethod
    def three_pairs(
        cls,
        *,
        base_radius: float,
        base_spread: float,
        platform_radius: float,
        platform_spread: float,
        motor_arm_length: float,
        rod_length: float,
        home_height: float,
        unit: str = "m",
        motor_height: float = 0.0,
        anchor_height: float = 0.0,
        base_offset: float = 0.0,
        platform_offset: float = 0.0,
        shaft: Literal["tangent", "radial"] = "tangent",
        solution: int = 1,
        servo_range: tuple[float, float] = (-math.pi / 2.0, math.pi / 2.0),
        servo_pulse: tuple[float, float] | None = (500.0, 2500.0),
    ) -> Geometry:
        """The classic layout: three pairs of motors and three pairs of rod
        anchors, each pair a mirror image of itself.

        Motor pair i (i = 0, 1, 2) is centred at azimuth base_offset + 120°·i
        on a circle of base_radius at height motor_height, its two motors
        base_spread apart (radians). Anchor pair i is centred at
        platform_offset + 60° + 120°·i on a circle of platform_radius,
        anchor_height along the platform's Z, its anchors platform_spread
        apart. Each motor drives the anchor nearest it in azimuth: with no
        offsets, the nearer anchor of the neighbouring pair. Legs come pair
        by pair, the motor at the larger azimuth first.

        Shafts are horizontal: tangent to the base circle (the horn turns in
        the vertical plane through the centre), or radial (it turns in the
        tangent plane, the shaft pointing in for the first motor of a pair
        and out for the second), mirrored within a pair. At angle 0 every
        horn points up (+Z). `solution` is the first motor's of each pair;
        the second gets the sign that mirrors it, so both horns of a pair
        point the same way: with +1, away from the centre (tangent) or away
        from the partner (radial). `home` is the unrotated platform with its
        origin home_height above the motors, on the world Z axis.

        Every motor gets a Servo of servo_range (radians) driven by
        servo_pulse (microseconds; by default a hobby servo's half turn over
        500 to 2500), centred at home: its zero is its leg's angle at home,
        as when the horns go on with the servos centred and the platform at
        home, and its direction +1 (each motor frame's Z is the output
        shaft).
        """
        legs = three_pair_legs(
            base_radius=base_radius,
            base_spread=base_spread,
            platform_radius=platform_radius,
            platform_spread=platform_spread,
            motor_height=motor_height,
            anchor_height=anchor_height,
            base_offset=base_offset,
            platform_offset=platform_offset,
            shaft=shaft,
            solution=solution,
        )
        built = cls(motor_arm_length, rod_length, legs, unit, pose_at_height(motor_height + home_height))
        lower, upper = servo_range
        centred = Mechanism.from_geometry(built).inverse_kinematics(built.home).tolist()
        return cls(
            built.motor_arm_length,
            built.rod_length,
            [
                Leg(leg.branch_platform, leg.t_world_motor, leg.solution, Servo(zero, 1, lower, upper, servo_pulse))
                for leg, zero in zip(built.legs, centred)
            ],
            unit,
            built.home,
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Geometry):
            return NotImplemented
        return (
            self.unit == other.unit
            and self.motor_arm_length == other.motor_arm_length
            and self.rod_length == other.rod_length
            and self.legs == other.legs
            and np.array_equal(self.home, other.home)
        )

    __hash__ = None  # type: ignore[assignment]

    def in_unit(self, unit: str) -> Geometry:
        """The same mechanism with its lengths written in `unit`."""
        if unit not in UNITS:
            raise ValueError(f'unit must be "m" or "mm", got {unit!r}')
        if unit == self.unit:
            return self
        # mm -> m divides by 1000 rather than multiplying by 0.001, which no
        # double holds exactly: a division is correctly rounded, so 85.0 mm
        # becomes exactly the double nearest 0.085.
        divide = unit == "m"
        a, b = self.motor_arm_length, self.rod_length
        home = self.home.copy()
        home[:3, 3] = home[:3, 3] / 1000.0 if divide else home[:3, 3] * 1000.0
        return Geometry(
            a / 1000.0 if divide else a * 1000.0,
            b / 1000.0 if divide else b * 1000.0,
            [leg._scaled(1000.0, divide) for leg in self.legs],
            unit,
            home,
        )

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Geometry:
        """A geometry from the mapping that load reads from a file: every
        number a number, the unit given, `home` optional (a 4x4, "above" or
        "below"). Every mistake is a ValueError naming the key, and the leg
        when it is in one."""
        built: list[Leg] = []
        for index, leg in enumerate(files.check_table(data)):
            what = f"leg {index}"
            table = files.check_leg_table(leg, what)
            with files.naming(what):
                servo = files.servo_in(table)
                built.append(
                    Leg(
                        table["branch_platform"],
                        table["t_world_motor"],
                        table["solution"],
                        servo,
                        table.get("motor_arm_length"),
                        table.get("rod_length"),
                    )
                )
        with files.naming("the geometry", ours_as_they_are=True):
            return cls(data["motor_arm_length"], data["rod_length"], built, data["unit"], data.get("home"))

    @classmethod
    def load(cls, path: files.PathLike) -> Geometry:
        """Reads a geometry from JSON, or from TOML when the name ends in .toml.

        The layout is save's: unit ("m" or "mm"), motor_arm_length,
        rod_length, home (four rows, or "above" / "below" the motors to have
        it computed on that side; see Geometry), and legs, a list of tables
        of branch_platform, t_world_motor (four rows), solution, an
        optional servo table and the leg's own motor_arm_length and
        rod_length where they differ from the shared ones. Floats come back exactly as written.

        Only a regular file of at most 1 MiB is read (a FIFO or a device is
        refused without waiting on it), a key given twice in one table is an
        error (JSON would keep the last silently), and every mistake is a
        ValueError that starts with the file's name.
        """
        path = pathlib.Path(path)
        data = files.read_table(path)
        try:
            return cls.from_dict(data)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None

    def save(self, path: files.PathLike) -> None:
        """Writes the geometry as JSON (a name ending in .json) or TOML
        (.toml); any other name is refused rather than guessed at. Every
        float is written with the fewest digits that read back to the same
        double, and home as the pose itself, so a load of the file gives
        this geometry exactly (motor frames and home as corrected for
        rounding, when they were)."""
        files.save(self, pathlib.Path(path))

    def to_json(self) -> str:
        """The JSON text save writes: one row of a matrix per line, so that a
        file stays readable and editable by hand."""
        return files.to_json(self)

    def to_toml(self) -> str:
        """The TOML text save writes: the same keys as the JSON, a matrix one
        row per line, each leg a [[legs]] table and its servo an inline
        table."""
        return files.to_toml(self)


def _check_no_repeats(legs: list[Leg]) -> None:
    """No leg twice. A servo is what drives a leg, not where it is: two legs
    that differ only in their servos are the same leg twice. Legs are keyed
    by the bytes of their arrays, so a thousand legs take a thousand
    look-ups rather than half a million comparisons; adding 0.0 turns -0.0
    into 0.0, which compare equal but differ in their bytes."""
    seen: dict[tuple[bytes, bytes, float], int] = {}
    for index, leg in enumerate(legs):
        key = ((leg.branch_platform + 0.0).tobytes(), (leg.t_world_motor + 0.0).tobytes(), leg.solution)
        first = seen.setdefault(key, index)
        if first != index:
            raise ValueError(f"leg {index} repeats leg {first} exactly")
