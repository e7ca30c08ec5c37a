"""Describing a mechanism: legs, link lengths and the unit they are written in.

Everything is checked on construction, because the extension takes any
numbers and answers confidently: a motor pose that is not rigid, a
`solution` of 0.5 or a rotation written in degrees all give angles that look
plausible and are wrong.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import pathlib
import stat
import sys
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from ._arrays import FloatArray, check_finite, float_array, rigid
from ._formulas import reach_margin
from ._mechanism import Mechanism
from ._messages import brief, listing
from ._servo import Servo, ServoTable

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, before it joined the standard library
    import tomli as tomllib

Unit: TypeAlias = Literal["m", "mm"]
PathLike: TypeAlias = "str | os.PathLike[str]"
Side: TypeAlias = Literal["above", "below"]

UNITS: tuple[Unit, ...] = ("m", "mm")
SIDES: tuple[Side, ...] = ("above", "below")

# A geometry file is a few kilobytes; a thousand legs fit in a few hundred.
# Anything larger is not one, and is not read into memory to find that out.
MAX_FILE_BYTES = 1 << 20


def motor_frame(origin: npt.ArrayLike, shaft: npt.ArrayLike, horn_zero: npt.ArrayLike) -> FloatArray:
    """A motor pose (4x4) from what a CAD model shows: the origin on the
    shaft axis, in the plane the horn's rod joint turns in; the shaft
    direction (the frame's Z: positive angles turn counter-clockwise seen
    from its tip); and any direction towards the horn's rod joint at angle
    0 (its part normal to the shaft becomes X). Y completes a right-handed
    frame. Directions need not be unit length."""
    o = float_array(origin, (3,), "origin")
    z = float_array(shaft, (3,), "shaft")
    h = float_array(horn_zero, (3,), "horn_zero")
    for vector, name in ((o, "origin"), (z, "shaft"), (h, "horn_zero")):
        check_finite(vector, name)
    length = float(np.linalg.norm(z))
    if not length > 0.0:
        raise ValueError("shaft must be a non-zero direction")
    z = z / length
    x = h - float(h @ z) * z
    if not float(np.linalg.norm(x)) > 1e-9 * float(np.linalg.norm(h)):
        raise ValueError("horn_zero must not be parallel to the shaft (or zero)")
    x = x / float(np.linalg.norm(x))
    out = np.eye(4)
    out[:3, 0], out[:3, 1], out[:3, 2], out[:3, 3] = x, np.cross(z, x), z, o
    return out


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
    servo: the servo driving the leg (its zero, direction, range and
        pulse widths); the default Servo() reads θ itself over a full turn.
    """

    branch_platform: FloatArray
    t_world_motor: FloatArray
    solution: float
    servo: Servo

    def __init__(
        self,
        branch_platform: npt.ArrayLike,
        t_world_motor: npt.ArrayLike,
        solution: float,
        servo: Servo | None = None,
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

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Leg):
            return NotImplemented
        return (
            self.solution == other.solution
            and self.servo == other.servo
            and np.array_equal(self.branch_platform, other.branch_platform)
            and np.array_equal(self.t_world_motor, other.t_world_motor)
        )

    __hash__ = None  # type: ignore[assignment]  # equal legs hold equal arrays, which do not hash

    def _scaled(self, factor: float, divide: bool) -> Leg:
        """The same leg with every length multiplied (or divided) by factor."""
        anchor = self.branch_platform / factor if divide else self.branch_platform * factor
        motor = self.t_world_motor.copy()
        motor[:3, 3] = motor[:3, 3] / factor if divide else motor[:3, 3] * factor
        return Leg(anchor, motor, self.solution, self.servo)


LegLike: TypeAlias = "Leg | tuple[npt.ArrayLike, npt.ArrayLike, float] | tuple[npt.ArrayLike, npt.ArrayLike, float, Servo | None]"

HomeLike: TypeAlias = "npt.ArrayLike | Side | None"

_FILE_KEYS = {"motor_arm_length", "rod_length", "legs", "unit", "home"}
_LEG_KEYS = {"branch_platform", "t_world_motor", "solution", "servo"}

# Heights tried, over each stretch searched, for a computed home.
_HOME_SEARCH_POINTS = 4001


@dataclass(frozen=True, eq=False, init=False)
class Geometry:
    """A whole mechanism: the two link lengths every leg shares, the legs in
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
        object.__setattr__(self, "motor_arm_length", _length(motor_arm_length, "motor_arm_length"))
        object.__setattr__(self, "rod_length", _length(rod_length, "rod_length"))
        object.__setattr__(self, "legs", tuple(checked))
        object.__setattr__(self, "unit", unit)
        if home is None or isinstance(home, str):
            pose = self._computed_home(home)
        else:
            pose = rigid(float_array(home, (4, 4), "home"), "home")
            self._check_reachable(pose)
            self._check_servos(pose)
        object.__setattr__(self, "home", _frozen(pose))

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
        found = {s: self._home_on_side(s) for s in SIDES if side in (None, s)}
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

    def _home_on_side(self, side: Side) -> FloatArray | None:
        """The most comfortable unrotated pose on the world Z axis above (or
        below) the highest motor, or None when no height there lets every
        leg reach."""
        a, b = self.motor_arm_length, self.rod_length
        motors = np.array([leg.t_world_motor for leg in self.legs])
        anchors = np.array([leg.branch_platform for leg in self.legs])
        # With the platform at height z, anchor p sits at q0 + z * axis in its
        # motor's frame; it can only close within a + b of the motor origin.
        rotations_t = np.transpose(motors[:, :3, :3], (0, 2, 1))
        q0 = np.einsum("nij,nj->ni", rotations_t, anchors - motors[:, :3, 3])
        axis = rotations_t[:, :, 2]
        offsets = motors[:, 2, 3] - anchors[:, 2]
        low, high = float(np.max(offsets - (a + b))), float(np.min(offsets + (a + b)))
        top = float(np.max(motors[:, 2, 3]))

        def worst(z: FloatArray) -> FloatArray:
            """The smallest reach margin over the legs, per height."""
            q = q0[None, :, :] + z[:, None, None] * axis[None, :, :]
            lowest: FloatArray = np.min(np.nan_to_num(reach_margin(q, a, b), nan=-np.inf), axis=1)
            return lowest

        lo, hi = (max(low, top), high) if side == "above" else (low, min(high, top))
        if not lo < hi:
            return None
        heights = np.linspace(lo, hi, _HOME_SEARCH_POINTS)
        margins = worst(heights)
        best = int(np.argmax(margins))
        if not margins[best] > 0.0:
            return None
        # Golden-section refinement between the neighbouring grid points.
        left, right = heights[max(best - 1, 0)], heights[min(best + 1, len(heights) - 1)]
        ratio = (math.sqrt(5.0) - 1.0) / 2.0
        for _ in range(60):
            m1, m2 = right - ratio * (right - left), left + ratio * (right - left)
            if worst(np.array([m1]))[0] < worst(np.array([m2]))[0]:
                left = m1
            else:
                right = m2
        z = (left + right) / 2.0
        return pose_at_height(z if worst(np.array([z]))[0] >= margins[best] else float(heights[best]))

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
        if shaft not in ("tangent", "radial"):
            raise ValueError(f'shaft must be "tangent" or "radial", got {shaft!r}')
        if isinstance(solution, bool) or solution not in (1, -1):
            raise ValueError(f"solution must be +1 or -1, got {solution!r}")
        third, spread = 2.0 * math.pi / 3.0, base_spread / 2.0
        anchors = [
            (platform_offset + math.pi / 3.0 + third * pair + side * platform_spread / 2.0)
            for pair in range(3)
            for side in (1.0, -1.0)
        ]
        up = np.array([0.0, 0.0, 1.0])
        legs: list[LegLike] = []
        used: set[int] = set()
        for pair in range(3):
            for side in (1.0, -1.0):
                phi = base_offset + third * pair + side * spread
                origin = [base_radius * math.cos(phi), base_radius * math.sin(phi), motor_height]
                away = side * np.array([-math.sin(phi), math.cos(phi), 0.0])  # from the partner
                z_axis = away if shaft == "tangent" else np.cross(up, away)
                sign = solution if shaft == "radial" or side > 0 else -solution
                nearest = min(range(6), key=lambda j: abs(math.remainder(anchors[j] - phi, 2.0 * math.pi)))
                if nearest in used:
                    raise ValueError("two motors share their nearest anchor: check the spreads and offsets")
                used.add(nearest)
                psi = anchors[nearest]
                anchor = [platform_radius * math.cos(psi), platform_radius * math.sin(psi), anchor_height]
                legs.append((anchor, motor_frame(origin, z_axis, up), sign))
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
        if not isinstance(data, Mapping):
            raise ValueError(f"a geometry is a table of {', '.join(sorted(_FILE_KEYS))}, got {type(data).__name__}")
        _check_keys(data, _FILE_KEYS, {"unit", "home"}, "the geometry")
        if "unit" not in data:
            raise ValueError('the geometry has no unit: add "unit": "m" or "unit": "mm"')
        for key in ("motor_arm_length", "rod_length"):
            _check_numbers(data[key], key)
        home = data.get("home")
        if not (home is None or isinstance(home, str)):
            _check_numbers(home, "home")
        legs = data["legs"]
        if not isinstance(legs, list):
            raise ValueError(f"legs must be a list of legs, got {type(legs).__name__}")
        built: list[Leg] = []
        for index, leg in enumerate(legs):
            what = f"leg {index}"
            if not isinstance(leg, Mapping):
                raise ValueError(f"{what} must be a table of {', '.join(sorted(_LEG_KEYS))}")
            _check_keys(leg, _LEG_KEYS, {"servo"}, what)
            for key in sorted(_LEG_KEYS - {"servo"}):
                _check_numbers(leg[key], f"{what}: {key}")
            with _naming(what):
                built.append(Leg(leg["branch_platform"], leg["t_world_motor"], leg["solution"], _servo_in(leg)))
        with _naming("the geometry", ours_as_they_are=True):
            return cls(data["motor_arm_length"], data["rod_length"], built, data["unit"], home)

    @classmethod
    def load(cls, path: PathLike) -> Geometry:
        """Reads a geometry from JSON, or from TOML when the name ends in .toml.

        The layout is save's: unit ("m" or "mm"), motor_arm_length,
        rod_length, home (four rows, or "above" / "below" the motors to have
        it computed on that side; see Geometry), and legs, a list of tables
        of branch_platform, t_world_motor (four rows), solution and an
        optional servo table. Floats come back exactly as written.

        Only a regular file of at most 1 MiB is read (a FIFO or a device is
        refused without waiting on it), a key given twice in one table is an
        error (JSON would keep the last silently), and every mistake is a
        ValueError that starts with the file's name.
        """
        path = pathlib.Path(path)
        text = _read_text(path)
        try:
            if path.suffix.lower() == ".toml":
                data: Any = tomllib.loads(text)
            else:
                data = json.loads(text, object_pairs_hook=_refusing_repeated_keys)
        except (ValueError, RecursionError, OverflowError) as error:  # the parsers' errors are ValueErrors
            raise ValueError(f"{path}: {brief(error, 400)}") from None
        if not isinstance(data, Mapping):
            raise ValueError(f"{path}: expected a table at the top level")
        try:
            return cls.from_dict(data)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None

    def save(self, path: PathLike) -> None:
        """Writes the geometry as JSON (a name ending in .json) or TOML
        (.toml); any other name is refused rather than guessed at. Every
        float is written with the fewest digits that read back to the same
        double, and home as the pose itself, so a load of the file gives
        this geometry exactly (motor frames and home as corrected for
        rounding, when they were)."""
        path = pathlib.Path(path)
        suffix = path.suffix.lower()
        if suffix not in (".json", ".toml"):
            raise ValueError(f"{path}: save writes .json or .toml files; the name ends in {brief(suffix)}")
        path.write_text(self.to_toml() if suffix == ".toml" else self.to_json(), encoding="utf-8")

    def to_json(self) -> str:
        """The JSON text save writes: one row of a matrix per line, so that a
        file stays readable and editable by hand."""
        legs = []
        for leg in self.legs:
            legs.append(
                "    {\n"
                f'      "branch_platform": {json.dumps(leg.branch_platform.tolist())},\n'
                f'      "t_world_motor": {_matrix_json(leg.t_world_motor, "      ")},\n'
                f'      "solution": {int(leg.solution)}'
                + _servo_out(leg.servo)
                + "\n    }"
            )
        joined = ",\n".join(legs)
        return (
            "{\n"
            f'  "unit": {json.dumps(self.unit)},\n'
            f'  "motor_arm_length": {json.dumps(self.motor_arm_length)},\n'
            f'  "rod_length": {json.dumps(self.rod_length)},\n'
            f'  "home": {_matrix_json(self.home, "  ")},\n'
            f'  "legs": [\n{joined}\n  ]\n'
            "}\n"
        )

    def to_toml(self) -> str:
        """The TOML text save writes: the same keys as the JSON, a matrix one
        row per line, each leg a [[legs]] table and its servo an inline
        table."""
        lines = [
            f"unit = {_toml(self.unit)}",
            f"motor_arm_length = {_toml(self.motor_arm_length)}",
            f"rod_length = {_toml(self.rod_length)}",
            f"home = {_matrix_toml(self.home)}",
        ]
        if not self.legs:
            lines.append("legs = []")
        for leg in self.legs:
            lines += [
                "",
                "[[legs]]",
                f"branch_platform = {_toml(leg.branch_platform.tolist())}",
                f"t_world_motor = {_matrix_toml(leg.t_world_motor)}",
                f"solution = {int(leg.solution)}",
            ]
            if leg.servo != Servo():
                lines.append(f"servo = {_toml(leg.servo.to_dict())}")
        return "\n".join(lines) + "\n"


def pose_at_height(z: float) -> FloatArray:
    """The unrotated pose with its origin at height z on the world Z axis."""
    out = np.eye(4)
    out[2, 3] = z
    return out


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


@contextlib.contextmanager
def _naming(what: str, ours_as_they_are: bool = False) -> Iterator[None]:
    """Whatever goes wrong inside becomes a ValueError that starts with
    `what`: numbers beyond a double (OverflowError), a nesting too deep
    (RecursionError) or a value of the wrong type (TypeError) are mistakes
    in the file as much as a wrong length is. With ours_as_they_are, a
    ValueError passes unchanged (it names its leg already)."""
    try:
        yield
    except ValueError as error:
        if ours_as_they_are:
            raise
        raise ValueError(f"{what}: {brief(error, 600)}") from None
    except (TypeError, OverflowError, RecursionError) as error:
        raise ValueError(f"{what}: {brief(error, 600)}") from None


def _read_text(path: pathlib.Path) -> str:
    """The text of a regular file of at most MAX_FILE_BYTES, as UTF-8. A
    FIFO would block the open until a writer came, and /dev/zero would
    never end: the type is checked before the open and again on the open
    descriptor (the path may have changed in between), and the open does
    not wait (O_NONBLOCK), so neither is ever read."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{path}: not a regular file (a directory, a FIFO or a device); a geometry is read from a file")
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    with open(os.open(path, flags), "rb") as stream:
        if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
            raise ValueError(f"{path}: not a regular file; a geometry is read from a file")
        data = stream.read(MAX_FILE_BYTES + 1)
    if len(data) > MAX_FILE_BYTES:
        raise ValueError(f"{path}: larger than {MAX_FILE_BYTES} bytes (1 MiB); a geometry file is a few kilobytes")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})") from None


def _refusing_repeated_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """A JSON object as a dict, refusing a key given twice: json keeps the
    last one silently, and the first may be the one that was meant."""
    out: dict[str, Any] = {}
    for key, value in pairs:
        if key in out:
            raise ValueError(f"the key {brief(key)} is given twice in one table (next to {listing(list(out))})")
        out[key] = value
    return out


def _matrix_json(matrix: FloatArray, indent: str) -> str:
    rows = ",\n".join(f"{indent}  {json.dumps(row)}" for row in matrix.tolist())
    return f"[\n{rows}\n{indent}]"


def _matrix_toml(matrix: FloatArray) -> str:
    return "[\n" + "".join(f"  {_toml(row)},\n" for row in matrix.tolist()) + "]"


def _toml(value: Any) -> str:
    """A TOML value for what a geometry holds: a string, an int, a float,
    a list of them or a table of them (written inline). repr writes the
    fewest digits that read back to the same double, always with a point or
    an exponent (so it reads back as a float, not an integer) in a form
    TOML's grammar accepts."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        return ("inf" if value > 0 else "-inf") if math.isinf(value) else repr(value)
    if isinstance(value, str):
        return '"' + "".join(_toml_char(c) for c in value) + '"'
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml(item) for item in value) + "]"
    if isinstance(value, Mapping):
        return "{ " + ", ".join(f"{_toml_key(k)} = {_toml(v)}" for k, v in value.items()) + " }"
    raise TypeError(f"no TOML form for {type(value).__name__}")


def _toml_char(c: str) -> str:
    if c in '"\\':
        return "\\" + c
    return f"\\u{ord(c):04x}" if ord(c) < 0x20 or ord(c) == 0x7F else c


def _toml_key(key: str) -> str:
    bare = key and all(c.isascii() and (c.isalnum() or c in "-_") for c in key)
    return key if bare else _toml(key)


def _check_numbers(value: Any, what: str) -> None:
    """Numbers in a file must be numbers: "95" or true is a mistake there,
    however float() would read it. A number, a list of them or a list of
    lists (the rows of a matrix); the shape itself is checked later."""
    rows = value if isinstance(value, list) else [value]
    for row in rows:
        for item in row if isinstance(row, list) and rows is value else [row]:
            if isinstance(item, bool) or not isinstance(item, (int, float)):
                raise ValueError(f"{what} must hold numbers, got {brief(item)} ({type(item).__name__})")


def _servo_in(leg: Mapping[str, Any]) -> Servo | None:
    """A leg's optional "servo" table; legs without one get the default."""
    table = leg.get("servo")
    if table is None:
        return None
    if not isinstance(table, Mapping):
        raise ValueError("servo must be a table of zero, direction, lower, upper, pulse")
    with _naming("servo"):
        return Servo.from_dict(table)


def _servo_out(servo: Servo) -> str:
    """The "servo" line of a leg, left out for the default so that files
    without servos read and write as they always did."""
    return "" if servo == Servo() else f',\n      "servo": {json.dumps(servo.to_dict())}'


def _check_keys(data: Mapping[str, Any], allowed: set[str], optional: set[str], what: str) -> None:
    missing = sorted(allowed - optional - set(data))
    unknown = sorted(str(key) if len(str(key)) <= 60 else str(key)[:57] + "..." for key in set(data) - allowed)
    if missing:
        raise ValueError(f"{what} is missing {', '.join(missing)}")
    if unknown:
        raise ValueError(
            f"{what} has unknown keys {listing(unknown)} (allowed: {', '.join(sorted(allowed))})"
        )
