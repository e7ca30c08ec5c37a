"""What sits between a leg's angle and the servo that drives it.

The kinematics speaks of the horn angle θ of each motor frame. A servo has
its own zero (the horn sits on a spline, a few degrees off), its own sense
of rotation (the motors of a mirrored pair turn opposite ways), a range it
can reach, often a pulse width that commands it, how fast it can turn and
how hard it can hold.
`Servo` holds those facts for one leg; `ServoTable` holds them for every leg of a mechanism
as arrays, so that a whole trajectory converts in a few NumPy operations.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from ._arrays import FloatArray
from ._formulas import wrap_half_open_above, wrap_half_open_below
from ._messages import brief

SERVO_KEYS = ("zero", "direction", "lower", "upper", "pulse", "speed", "acceleration", "spline_teeth", "torque")
_DEGREES_HINT = "radians are expected: math.radians(90) is 90 degrees"
# A servo pulse is about 500 to 2500 microseconds wide; two widths both under
# this were written in milliseconds (1.0 to 2.0), and no servo takes them.
_MILLISECONDS_BELOW = 50.0
# How far beyond its pulse range a width may lie and still be read as the
# end of the range: rounding in to_pulses, never a real command (a servo
# resolves a microsecond at best).
_PULSE_SLACK_US = 1e-6


def _real(value: Any, name: str) -> float:
    """A finite float from a real number; a string or a bool is a mistake
    (a file that says "90" meant something, but not necessarily 90)."""
    if isinstance(value, (bool, str)) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {brief(value)}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(f"{name} must be finite, got {brief(value)}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number!r}")
    return number


def _rate(value: Any, name: str, unit: str) -> Optional[float]:
    """A limit (how fast the reading may change, how hard the servo may
    hold): None for none, else a positive finite float. Infinity is refused rather than read as no limit,
    so that a limit is either written down or left out."""
    if value is None:
        return None
    if isinstance(value, float) and math.isinf(value):
        raise ValueError(f"{name} must be finite, got {value!r}; leave it out (None) for no limit")
    rate = _real(value, name)
    if not rate > 0.0:
        raise ValueError(f"{name} must be positive ({unit}), got {rate!r}")
    return rate


def _angle(value: Any, name: str) -> float:
    angle = _real(value, name)
    if not -math.pi <= angle <= math.pi:
        raise ValueError(f"{name} must lie within [-pi, pi], got {angle!r} ({_DEGREES_HINT})")
    return angle


@dataclass(frozen=True)
class Servo:
    """One leg's servo, all angles in radians.

    zero: the leg angle θ at which the servo reads 0.
    direction: +1 when the servo turns the way θ does, -1 when it turns the
        other way (a motor mounted mirror-wise).
    lower, upper: the servo's range, within [-pi, pi]; a servo angle must
        lie in [lower, upper].
    pulse: (lower_us, upper_us), the pulse widths in microseconds that
        command `lower` and `upper`; widths in between map linearly. None
        when the servo is not driven by pulses.
    speed: the fastest the servo reading may change, in rad/s; None for no
        limit.
    acceleration: the largest rate of change of that speed, in rad/s²;
        None for no limit.
    spline_teeth: the teeth of the output spline the horn sits on (25 on
        most hobby servos), so that calibration can tell a horn put on a
        tooth off; None when unknown.
    torque: the largest torque the servo holds, in N m (a datasheet's
        stall torque, less a margin of your choosing); None for no limit.

    The servo angle of θ is direction * (θ - zero), wrapped into (-pi, pi].
    """

    zero: float = 0.0
    direction: int = 1
    lower: float = -math.pi
    upper: float = math.pi
    pulse: Optional[Tuple[float, float]] = None
    speed: Optional[float] = None
    acceleration: Optional[float] = None
    spline_teeth: Optional[int] = None
    torque: Optional[float] = None

    def __post_init__(self) -> None:
        direction = self.direction
        if isinstance(direction, bool) or direction not in (1, -1):
            raise ValueError(f"direction must be +1 or -1, got {brief(direction)}")
        lower, upper = _angle(self.lower, "lower"), _angle(self.upper, "upper")
        if not lower < upper:
            raise ValueError(f"lower must be below upper, got lower={lower!r}, upper={upper!r}")
        object.__setattr__(self, "zero", _angle(self.zero, "zero"))
        object.__setattr__(self, "direction", int(direction))
        object.__setattr__(self, "lower", lower)
        object.__setattr__(self, "upper", upper)
        if self.pulse is not None:
            object.__setattr__(self, "pulse", _pulse(self.pulse))
        object.__setattr__(self, "speed", _rate(self.speed, "speed", "rad/s"))
        object.__setattr__(self, "acceleration", _rate(self.acceleration, "acceleration", "rad/s²"))
        object.__setattr__(self, "torque", _rate(self.torque, "torque", "N m"))
        teeth = self.spline_teeth
        if teeth is not None and (isinstance(teeth, bool) or not isinstance(teeth, numbers.Integral) or teeth < 2):
            raise ValueError(f"spline_teeth must be a whole number of teeth (2 or more), got {brief(teeth)}")
        object.__setattr__(self, "spline_teeth", None if teeth is None else int(teeth))

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Servo:
        """A servo from a file's table; every key may be left out."""
        unknown = sorted(brief(key, 60) if not isinstance(key, str) else key[:60] for key in set(data) - set(SERVO_KEYS))
        if unknown:
            raise ValueError(f"servo has unknown keys {', '.join(unknown[:8])} (allowed: {', '.join(SERVO_KEYS)})")
        return cls(**data)

    def to_dict(self) -> dict[str, Any]:
        """The table from_dict reads: every key written but the optional
        pulse, speed, acceleration, spline_teeth and torque, which are
        written only when set."""
        out: dict[str, Any] = {"zero": self.zero, "direction": self.direction, "lower": self.lower, "upper": self.upper}
        if self.pulse is not None:
            out["pulse"] = list(self.pulse)
        for key in ("speed", "acceleration", "spline_teeth", "torque"):
            if getattr(self, key) is not None:
                out[key] = getattr(self, key)
        return out


def _pulse(value: Any) -> tuple[float, float]:
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence) or len(value) != 2:
        raise ValueError(f"pulse must be (lower_us, upper_us), two widths in microseconds, got {brief(value)}")
    low, high = _real(value[0], "pulse lower_us"), _real(value[1], "pulse upper_us")
    if not (low > 0.0 and high > 0.0):
        raise ValueError(f"pulse widths must be positive microseconds, got {(low, high)!r}")
    if low < _MILLISECONDS_BELOW and high < _MILLISECONDS_BELOW:
        raise ValueError(
            f"pulse {(low, high)!r} looks like milliseconds? widths are in microseconds: "
            f"({low * 1000.0:g}, {high * 1000.0:g}) if these were milliseconds"
        )
    if low == high:
        raise ValueError(f"pulse widths must differ, or every angle would get the same pulse: got {(low, high)!r}")
    if low > high:
        raise ValueError(
            f"pulse {(low, high)!r} is reversed: lower_us is the width at `lower` and must be the smaller; "
            "for a servo that turns the other way, keep the widths in order and give direction=-1"
        )
    return low, high


class ServoTable:
    """Every leg's servo as arrays of shape (legs,), which broadcast over a
    stack of angles of shape (N, legs). A servo without a speed, an
    acceleration or a torque limit has +inf there."""

    def __init__(self, servos: Sequence[Servo]) -> None:
        self.zero = np.array([s.zero for s in servos], dtype=np.float64)
        self.direction = np.array([s.direction for s in servos], dtype=np.float64)
        self.lower = np.array([s.lower for s in servos], dtype=np.float64)
        self.upper = np.array([s.upper for s in servos], dtype=np.float64)
        self.speed = np.array([math.inf if s.speed is None else s.speed for s in servos], dtype=np.float64)
        self.acceleration = np.array(
            [math.inf if s.acceleration is None else s.acceleration for s in servos], dtype=np.float64
        )
        self.torque = np.array([math.inf if s.torque is None else s.torque for s in servos], dtype=np.float64)
        self.without_pulse = [index for index, s in enumerate(servos) if s.pulse is None]
        widths = np.array([s.pulse if s.pulse is not None else (math.nan, math.nan) for s in servos], dtype=np.float64)
        self.pulse_lower = widths[:, 0] if len(servos) else np.zeros(0)
        self.pulse_upper = widths[:, 1] if len(servos) else np.zeros(0)
        self.pulse_per_radian = (widths[:, 1] - widths[:, 0]) / (self.upper - self.lower) if len(servos) else np.zeros(0)

    def to_servo(self, angles: FloatArray) -> FloatArray:
        return wrap_half_open_above(self.direction * (angles - self.zero))

    def from_servo(self, servo_angles: FloatArray) -> FloatArray:
        # direction is +-1, so multiplying undoes the multiplication in to_servo.
        return wrap_half_open_below(self.zero + self.direction * servo_angles)

    def margin(self, servo_angles: FloatArray) -> FloatArray:
        """Distance to the nearer limit: negative outside the range, NaN for NaN."""
        out: FloatArray = np.minimum(servo_angles - self.lower, self.upper - servo_angles)
        return out

    def _need_pulses(self) -> None:
        if self.without_pulse:
            listed = ", ".join(str(index) for index in self.without_pulse)
            legs = f"leg {listed} has" if len(self.without_pulse) == 1 else f"legs {listed} have"
            raise ValueError(f"pulse widths need a servo pulse range on every leg; {legs} none")

    def pulses(self, servo_angles: FloatArray) -> FloatArray:
        """Pulse widths, NaN outside the range: never a clipped command."""
        self._need_pulses()
        return self.pulses_where_known(servo_angles)

    def pulses_where_known(self, servo_angles: FloatArray) -> FloatArray:
        """As pulses, with NaN for a servo without a pulse range instead of
        refusing them all: for readouts that show every leg."""
        inside = self.margin(servo_angles) >= 0.0
        width = self.pulse_lower + (servo_angles - self.lower) * self.pulse_per_radian
        out: FloatArray = np.where(inside, width, math.nan)
        return out

    def from_pulses(self, widths: FloatArray) -> FloatArray:
        """Servo angles for pulse widths; NaN for NaN and for a width
        outside the pulse range, which no angle in the servo's range gives.
        A width beyond an end by rounding alone (as to_pulses may give at
        the ends) reads as that end."""
        self._need_pulses()
        inside = (widths >= self.pulse_lower - _PULSE_SLACK_US) & (widths <= self.pulse_upper + _PULSE_SLACK_US)
        angles = np.clip(self.lower + (widths - self.pulse_lower) / self.pulse_per_radian, self.lower, self.upper)
        out: FloatArray = np.where(inside, angles, math.nan)
        return out
