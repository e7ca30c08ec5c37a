"""Describing a mechanism: legs, link lengths and the unit they are written in.

Everything is checked on construction, because the extension takes any
numbers and answers confidently: a motor pose that is not rigid, a
`solution` of 0.5 or a rotation written in degrees all give angles that look
plausible and are wrong.
"""

from __future__ import annotations

import json
import math
import os
import pathlib
import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, before it joined the standard library
    import tomli as tomllib

FloatArray: TypeAlias = npt.NDArray[np.float64]
Unit: TypeAlias = Literal["m", "mm"]
PathLike: TypeAlias = "str | os.PathLike[str]"

UNITS: tuple[Unit, ...] = ("m", "mm")

# How far a rotation block may be from orthonormal, and its determinant from
# +1, before we call it a mistake rather than rounding: hand-typed cosines to
# 16 digits sit near 1e-16, a pose typed in degrees or a scaled frame is off
# by order one.
RIGID_TOLERANCE = 1e-9


def float_array(value: npt.ArrayLike, shape: tuple[int, ...], name: str) -> FloatArray:
    """`value` as a float64 array of exactly `shape`, or a ValueError naming
    the argument and the shape it had. Returns `value` itself when it already
    is such an array (no copy: this sits on the hot path of Torso)."""
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be an array of numbers of shape {shape}: {error}") from None
    if array.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, got shape {array.shape}")
    return array


def check_finite(array: FloatArray, name: str) -> None:
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} has non-finite elements: {array.tolist()}")


def check_rigid(t: FloatArray, name: str, tolerance: float = RIGID_TOLERANCE) -> None:
    """A proper rigid transform: rotation block orthonormal with determinant
    +1 within the tolerance, bottom row exactly (0, 0, 0, 1)."""
    check_finite(t, name)
    if tuple(t[3].tolist()) != (0.0, 0.0, 0.0, 1.0):
        raise ValueError(f"{name}: the bottom row must be (0, 0, 0, 1), got {tuple(t[3].tolist())}")
    rotation = t[:3, :3]
    off = max(
        float(np.max(np.abs(rotation.T @ rotation - np.eye(3)))),
        abs(float(np.linalg.det(rotation)) - 1.0),
    )
    if not off <= tolerance:
        raise ValueError(
            f"{name}: the rotation block is not orthonormal with determinant +1 "
            f"(off by {off:.3g}, allowed {tolerance:g}); angles in degrees, a scaled "
            "or mirrored frame?"
        )


def _frozen(array: FloatArray) -> FloatArray:
    out = np.array(array, dtype=np.float64)  # our own copy, so the caller cannot change it
    out.flags.writeable = False
    return out


def _length(value: float, name: str) -> float:
    try:
        length = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None
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
    """

    branch_platform: FloatArray
    t_world_motor: FloatArray
    solution: float

    def __init__(self, branch_platform: npt.ArrayLike, t_world_motor: npt.ArrayLike, solution: float) -> None:
        anchor = float_array(branch_platform, (3,), "branch_platform")
        check_finite(anchor, "branch_platform")
        motor = float_array(t_world_motor, (4, 4), "t_world_motor")
        check_rigid(motor, "t_world_motor")
        if isinstance(solution, bool) or solution not in (1, -1):
            raise ValueError(f"solution must be +1 or -1, got {solution!r}")
        object.__setattr__(self, "branch_platform", _frozen(anchor))
        object.__setattr__(self, "t_world_motor", _frozen(motor))
        object.__setattr__(self, "solution", float(solution))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Leg):
            return NotImplemented
        return (
            self.solution == other.solution
            and np.array_equal(self.branch_platform, other.branch_platform)
            and np.array_equal(self.t_world_motor, other.t_world_motor)
        )

    __hash__ = None  # type: ignore[assignment]  # equal legs hold equal arrays, which do not hash

    def _scaled(self, factor: float, divide: bool) -> Leg:
        """The same leg with every length multiplied (or divided) by factor."""
        anchor = self.branch_platform / factor if divide else self.branch_platform * factor
        motor = self.t_world_motor.copy()
        motor[:3, 3] = motor[:3, 3] / factor if divide else motor[:3, 3] * factor
        return Leg(anchor, motor, self.solution)


LegLike: TypeAlias = "Leg | tuple[npt.ArrayLike, npt.ArrayLike, float]"

_FILE_KEYS = {"motor_arm_length", "rod_length", "legs", "unit"}
_LEG_KEYS = {"branch_platform", "t_world_motor", "solution"}


@dataclass(frozen=True, eq=False, init=False)
class Geometry:
    """A whole mechanism: the two link lengths every leg shares, the legs in
    the order of the angles in and out of every method, and the length unit
    of all of it ("m" or "mm"). Angles are always radians."""

    motor_arm_length: float
    rod_length: float
    legs: tuple[Leg, ...]
    unit: Unit

    def __init__(
        self,
        motor_arm_length: float,
        rod_length: float,
        legs: Iterable[LegLike],
        unit: str = "m",
    ) -> None:
        if unit not in UNITS:
            raise ValueError(f'unit must be "m" or "mm", got {unit!r}')
        checked: list[Leg] = []
        for index, leg in enumerate(legs):
            try:
                checked.append(leg if isinstance(leg, Leg) else Leg(*leg))
            except (TypeError, ValueError) as error:
                raise ValueError(f"leg {index}: {error}") from None
        object.__setattr__(self, "motor_arm_length", _length(motor_arm_length, "motor_arm_length"))
        object.__setattr__(self, "rod_length", _length(rod_length, "rod_length"))
        object.__setattr__(self, "legs", tuple(checked))
        object.__setattr__(self, "unit", unit)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Geometry):
            return NotImplemented
        return (
            self.unit == other.unit
            and self.motor_arm_length == other.motor_arm_length
            and self.rod_length == other.rod_length
            and self.legs == other.legs
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
        return Geometry(
            a / 1000.0 if divide else a * 1000.0,
            b / 1000.0 if divide else b * 1000.0,
            [leg._scaled(1000.0, divide) for leg in self.legs],
            unit,
        )

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Geometry:
        """A geometry from the mapping that load reads from a file."""
        _check_keys(data, _FILE_KEYS, {"unit"}, "the geometry")
        legs = data["legs"]
        if not isinstance(legs, list):
            raise ValueError(f"legs must be a list of legs, got {type(legs).__name__}")
        for index, leg in enumerate(legs):
            if not isinstance(leg, Mapping):
                raise ValueError(f"leg {index} must be a table of {sorted(_LEG_KEYS)}")
            _check_keys(leg, _LEG_KEYS, set(), f"leg {index}")
        return cls(
            data["motor_arm_length"],
            data["rod_length"],
            [(leg["branch_platform"], leg["t_world_motor"], leg["solution"]) for leg in legs],
            data.get("unit", "m"),
        )

    @classmethod
    def load(cls, path: PathLike) -> Geometry:
        """Reads a geometry from JSON, or from TOML when the name ends in .toml.

        The layout is save's: unit ("m" when absent), motor_arm_length,
        rod_length, and legs, a list of tables of branch_platform,
        t_world_motor (four rows) and solution. Floats come back exactly as
        written.
        """
        path = pathlib.Path(path)
        try:
            if path.suffix.lower() == ".toml":
                with path.open("rb") as stream:
                    data: Any = tomllib.load(stream)
            else:
                data = json.loads(path.read_text(encoding="utf-8"))
        except (tomllib.TOMLDecodeError, json.JSONDecodeError) as error:
            raise ValueError(f"{path}: {error}") from None
        if not isinstance(data, Mapping):
            raise ValueError(f"{path}: expected a table at the top level")
        try:
            return cls.from_dict(data)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None

    def save(self, path: PathLike) -> None:
        """Writes the geometry as JSON. Python writes every float with the
        fewest digits that read back to the same double, so a load of the
        file gives this geometry exactly."""
        pathlib.Path(path).write_text(self.to_json(), encoding="utf-8")

    def to_json(self) -> str:
        """The JSON text save writes: one row of a matrix per line, so that a
        file stays readable and editable by hand."""
        legs = []
        for leg in self.legs:
            rows = ",\n".join(f"        {json.dumps(row)}" for row in leg.t_world_motor.tolist())
            legs.append(
                "    {\n"
                f'      "branch_platform": {json.dumps(leg.branch_platform.tolist())},\n'
                f'      "t_world_motor": [\n{rows}\n      ],\n'
                f'      "solution": {int(leg.solution)}\n'
                "    }"
            )
        joined = ",\n".join(legs)
        return (
            "{\n"
            f'  "unit": {json.dumps(self.unit)},\n'
            f'  "motor_arm_length": {json.dumps(self.motor_arm_length)},\n'
            f'  "rod_length": {json.dumps(self.rod_length)},\n'
            f'  "legs": [\n{joined}\n  ]\n'
            "}\n"
        )


def _check_keys(data: Mapping[str, Any], allowed: set[str], optional: set[str], what: str) -> None:
    missing = sorted(allowed - optional - set(data))
    unknown = sorted(set(data) - allowed)
    if missing:
        raise ValueError(f"{what} is missing {', '.join(missing)}")
    if unknown:
        raise ValueError(f"{what} has unknown keys {', '.join(unknown)} (allowed: {', '.join(sorted(allowed))})")
