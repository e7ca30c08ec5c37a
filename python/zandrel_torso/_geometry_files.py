"""Geometry files: reading one safely, checking the tables it holds, and
writing a geometry back as JSON or TOML that reads back bit for bit.

`Geometry.load`, `from_dict`, `save`, `to_json` and `to_toml` are built on
these; this module knows a geometry only by what it must tell, so that it
sits below the module that defines one.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import pathlib
import stat
import sys
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Protocol, TypeAlias

from ._arrays import FloatArray
from ._mechanism import GeometryDescription, LegDescription
from ._messages import brief, listing
from ._servo import SERVO_KEYS, Servo

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, before it joined the standard library
    import tomli as tomllib

PathLike: TypeAlias = "str | os.PathLike[str]"

# A geometry file is a few kilobytes; a thousand legs fit in a few hundred.
# Anything larger is not one, and is not read into memory to find that out.
MAX_FILE_BYTES = 1 << 20

FILE_KEYS = {"motor_arm_length", "rod_length", "legs", "unit", "home"}
LEG_KEYS = {"branch_platform", "t_world_motor", "solution", "servo", "motor_arm_length", "rod_length"}
OPTIONAL_LEG_KEYS = {"servo", "motor_arm_length", "rod_length"}


class SavedLeg(LegDescription, Protocol):
    """What a leg must tell to be written to a file (a Leg does)."""

    @property
    def servo(self) -> Servo: ...
    @property
    def motor_arm_length(self) -> float | None: ...
    @property
    def rod_length(self) -> float | None: ...


class SavedGeometry(GeometryDescription, Protocol):
    """What a geometry must tell to be written to a file (a Geometry does)."""

    @property
    def unit(self) -> str: ...
    @property
    def home(self) -> FloatArray: ...
    @property
    def legs(self) -> Sequence[SavedLeg]: ...


# -- reading ------------------------------------------------------------------


def read_table(path: pathlib.Path) -> Mapping[str, Any]:
    """The top-level table of a geometry file: TOML when the name ends in
    .toml, else JSON refusing a key given twice. Every mistake is a
    ValueError that starts with the file's name."""
    text = _read_text(path)
    try:
        if path.suffix.lower() == ".toml":
            data: Any = tomllib.loads(text)
        else:
            data = json.loads(text, object_pairs_hook=_refusing_repeated_keys)
    except RecursionError as error:  # worded differently by each Python version
        raise ValueError(f"{path}: nested too deeply to read (recursion: {brief(error, 200)})") from None
    except (ValueError, OverflowError) as error:  # the parsers' errors are ValueErrors
        raise ValueError(f"{path}: {brief(error, 400)}") from None
    if not isinstance(data, Mapping):
        raise ValueError(f"{path}: expected a table at the top level")
    return data


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


# -- checking what was read -----------------------------------------------------


def check_table(data: Mapping[str, Any]) -> list[Any]:
    """Checks a geometry's table but for its legs (keys, unit, numbers), and
    returns the list of leg tables, each to be checked by check_leg_table."""
    if not isinstance(data, Mapping):
        raise ValueError(f"a geometry is a table of {', '.join(sorted(FILE_KEYS))}, got {type(data).__name__}")
    _check_keys(data, FILE_KEYS, {"unit", "home"}, "the geometry")
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
    return legs


def check_leg_table(leg: Any, what: str) -> Mapping[str, Any]:
    """Checks one leg's table (its keys and numbers), named `what` in errors."""
    if not isinstance(leg, Mapping):
        raise ValueError(f"{what} must be a table of {', '.join(sorted(LEG_KEYS))}")
    _check_keys(leg, LEG_KEYS, OPTIONAL_LEG_KEYS, what)
    for key in sorted(LEG_KEYS - {"servo"}):
        if key in leg:
            _check_numbers(leg[key], f"{what}: {key}")
    return leg


def servo_in(leg: Mapping[str, Any]) -> Servo | None:
    """A leg's optional "servo" table; legs without one get the default."""
    table = leg.get("servo")
    if table is None:
        return None
    if not isinstance(table, Mapping):
        raise ValueError(f"servo must be a table of {', '.join(SERVO_KEYS)}")
    with naming("servo"):
        return Servo.from_dict(table)


@contextlib.contextmanager
def naming(what: str, ours_as_they_are: bool = False) -> Iterator[None]:
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


def _check_numbers(value: Any, what: str) -> None:
    """Numbers in a file must be numbers: "95" or true is a mistake there,
    however float() would read it. A number, a list of them or a list of
    lists (the rows of a matrix); the shape itself is checked later."""
    rows = value if isinstance(value, list) else [value]
    for row in rows:
        for item in row if isinstance(row, list) and rows is value else [row]:
            if isinstance(item, bool) or not isinstance(item, (int, float)):
                raise ValueError(f"{what} must hold numbers, got {brief(item)} ({type(item).__name__})")


def _check_keys(data: Mapping[str, Any], allowed: set[str], optional: set[str], what: str) -> None:
    missing = sorted(allowed - optional - set(data))
    unknown = sorted(str(key) if len(str(key)) <= 60 else str(key)[:57] + "..." for key in set(data) - allowed)
    if missing:
        raise ValueError(f"{what} is missing {', '.join(missing)}")
    if unknown:
        raise ValueError(
            f"{what} has unknown keys {listing(unknown)} (allowed: {', '.join(sorted(allowed))})"
        )


# -- writing ------------------------------------------------------------------


def save(geometry: SavedGeometry, path: pathlib.Path) -> None:
    """Writes JSON for a name ending in .json and TOML for .toml; any other
    name is refused rather than guessed at."""
    suffix = path.suffix.lower()
    if suffix not in (".json", ".toml"):
        raise ValueError(f"{path}: save writes .json or .toml files; the name ends in {brief(suffix)}")
    path.write_text(to_toml(geometry) if suffix == ".toml" else to_json(geometry), encoding="utf-8")


def to_json(geometry: SavedGeometry) -> str:
    """One row of a matrix per line, so that a file stays readable and
    editable by hand."""
    legs = []
    for leg in geometry.legs:
        legs.append(
            "    {\n"
            f'      "branch_platform": {json.dumps(leg.branch_platform.tolist())},\n'
            f'      "t_world_motor": {_matrix_json(leg.t_world_motor, "      ")},\n'
            f'      "solution": {int(leg.solution)}'
            + "".join(f',\n      "{key}": {json.dumps(value)}' for key, value in _own_lengths(leg))
            + _servo_json(leg.servo)
            + "\n    }"
        )
    joined = ",\n".join(legs)
    return (
        "{\n"
        f'  "unit": {json.dumps(geometry.unit)},\n'
        f'  "motor_arm_length": {json.dumps(geometry.motor_arm_length)},\n'
        f'  "rod_length": {json.dumps(geometry.rod_length)},\n'
        f'  "home": {_matrix_json(geometry.home, "  ")},\n'
        f'  "legs": [\n{joined}\n  ]\n'
        "}\n"
    )


def to_toml(geometry: SavedGeometry) -> str:
    """The same keys as the JSON, a matrix one row per line, each leg a
    [[legs]] table and its servo an inline table."""
    lines = [
        f"unit = {_toml(geometry.unit)}",
        f"motor_arm_length = {_toml(geometry.motor_arm_length)}",
        f"rod_length = {_toml(geometry.rod_length)}",
        f"home = {_matrix_toml(geometry.home)}",
    ]
    if not geometry.legs:
        lines.append("legs = []")
    for leg in geometry.legs:
        lines += [
            "",
            "[[legs]]",
            f"branch_platform = {_toml(leg.branch_platform.tolist())}",
            f"t_world_motor = {_matrix_toml(leg.t_world_motor)}",
            f"solution = {int(leg.solution)}",
        ]
        lines += [f"{key} = {_toml(value)}" for key, value in _own_lengths(leg)]
        if leg.servo != Servo():
            lines.append(f"servo = {_toml(leg.servo.to_dict())}")
    return "\n".join(lines) + "\n"


def _own_lengths(leg: SavedLeg) -> list[tuple[str, float]]:
    """A leg's own lengths, written only where it has them."""
    return [(key, value) for key, value in (("motor_arm_length", leg.motor_arm_length), ("rod_length", leg.rod_length)) if value is not None]


def _servo_json(servo: Servo) -> str:
    """The "servo" line of a leg, left out for the default so that files
    without servos read and write as they always did."""
    return "" if servo == Servo() else f',\n      "servo": {json.dumps(servo.to_dict())}'


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
