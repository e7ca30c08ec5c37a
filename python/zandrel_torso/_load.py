"""What the platform carries, for the servos' holding torques."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._arrays import FloatArray, check_finite, float_array
from ._messages import brief


@dataclass(frozen=True, eq=False, init=False)
class Load:
    """A load on the platform: a mass at a centre, under gravity, and any
    further wrench (a tool pushing, a cable pulling).

    mass: kilograms, zero or more.
    centre: the centre of mass (3,), in platform coordinates and the
        geometry's unit (the same numbers mean millimetres on a geometry in
        mm, metres on one in m).
    gravity: m/s² (3,), world axes; (0, 0, -9.81) by default.
    wrench: None, or (6,): a further force in N, then a moment in N m, both
        in world axes, the moment taken about the platform frame's origin.

    Horns and rods are taken as massless: add their share to `mass` when it
    matters.
    """

    mass: float
    centre: FloatArray
    gravity: FloatArray
    wrench: FloatArray | None

    # Written out so that lists and tuples are welcome for the vectors,
    # which are kept as read-only float64 arrays.
    def __init__(
        self,
        mass: float,
        centre: npt.ArrayLike,
        gravity: npt.ArrayLike = (0.0, 0.0, -9.81),
        wrench: npt.ArrayLike | None = None,
    ) -> None:
        if isinstance(mass, (bool, str)) or not isinstance(mass, numbers.Real):
            raise ValueError(f"mass must be a number of kilograms, got {brief(mass)}")
        mass = float(mass)
        if not (math.isfinite(mass) and mass >= 0.0):
            raise ValueError(f"mass must be finite and zero or more (kg), got {mass!r}")
        object.__setattr__(self, "mass", mass)
        object.__setattr__(self, "centre", _vector(centre, (3,), "centre"))
        object.__setattr__(self, "gravity", _vector(gravity, (3,), "gravity"))
        extra = None if wrench is None else _vector(wrench, (6,), "wrench (force N, then moment N m)")
        object.__setattr__(self, "wrench", extra)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Load):
            return NotImplemented
        return (
            self.mass == other.mass
            and np.array_equal(self.centre, other.centre)
            and np.array_equal(self.gravity, other.gravity)
            and np.array_equal(self.extra(), other.extra())
            and (self.wrench is None) == (other.wrench is None)
        )

    __hash__ = None  # type: ignore[assignment]

    def extra(self) -> FloatArray:
        """The further wrench (6,), zeros when there is none."""
        return np.zeros(6) if self.wrench is None else self.wrench.copy()


def _vector(value: Any, shape: tuple[int, ...], name: str) -> FloatArray:
    array = float_array(value, shape, name).copy()
    check_finite(array, name)
    array.setflags(write=False)
    return array


def as_load(value: object) -> Load:
    if not isinstance(value, Load):
        raise ValueError(f"load must be a Load (zandrel_torso.Load), got {brief(value)}")
    return value

