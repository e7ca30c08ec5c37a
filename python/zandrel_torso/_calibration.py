"""The robot as built, from poses measured while the servos held known
readings.

Every leg of a real robot is a little off: rods cut by hand, horns from a
batch, holes drilled where the drill went, a horn pushed onto its spline a
tooth or two round. Calibration finds each leg's servo zero, horn and rod
length, rod anchor and motor origin from measured poses, by weighted least
squares on the pose residuals with the builder's part tolerances as a prior
(the engine's, in C++), and says in words what looks wrong in the assembly.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from typing import NamedTuple, Protocol

import numpy as np
import numpy.typing as npt

from . import _engine
from ._arrays import FloatArray
from ._formulas import wrap_half_open_below
from ._geometry import Geometry, Leg
from ._motion import leg_arrays
from ._servo import ServoTable
from ._zeros import measured_samples

BoolArray = npt.NDArray[np.bool_]

PARAMETERS = ("zero", "motor_arm_length", "rod_length", "branch_platform", "motor_origin")
"""What calibrate can identify, per leg; the last two are three coordinates each."""

# The engine's nine scalars per leg, in its order, by the names above.
_BITS = {"zero": (0,), "motor_arm_length": (1,), "rod_length": (2,), "branch_platform": (3, 4, 5), "motor_origin": (6, 7, 8)}
_ENGINE_NAMES = {
    "anchor_x": "branch_platform.x", "anchor_y": "branch_platform.y", "anchor_z": "branch_platform.z",
    "motor_x": "motor_origin.x", "motor_y": "motor_origin.y", "motor_z": "motor_origin.z",
}
_MM = 1e-3  # metres

DEFAULT_TOLERANCES = {"length": 0.5 * _MM, "position": 0.5 * _MM, "zero": math.radians(5.0)}
"""The prior: horn and rod lengths, anchor and motor positions (metres;
0.5 mm), and servo zeros (radians; 5 degrees)."""

DEFAULT_NOISE = {"position": 0.5 * _MM, "rotation": math.radians(0.3)}
"""How far a measured pose is from the true one, per coordinate: a webcam
and a printed marker (0.5 mm, 0.3 degrees)."""


class Residual(NamedTuple):
    """Root mean square over the samples: position (the geometry's unit) and
    rotation (radians)."""

    position: float
    rotation: float


@dataclass(frozen=True)
class Calibration:
    """What Torso.calibrate found.

    geometry: the robot as calibrated, ready to save: each leg's own horn and
        rod length where it differs from the shared one, its anchor, motor
        origin and servo zero. Motor orientations and home are unchanged.
    residual: what the calibrated model leaves of the measured poses (see
        Residual); about the measurement noise when the model fits.
    sample_residuals: per sample, shape (N, 2): position (the unit) and
        rotation (radians) of the calibrated model's pose for the sample's
        readings against the measured one; NaN where the model has no pose
        near it.
    outliers: per sample, True where its residual is far beyond the others'
        (over three times their median, noise-weighted): a mistyped pose,
        a marker the camera lost. It stays in the fit; leave it out and
        calibrate again.
    parameter_std: per parameter of PARAMETERS, shape (legs,) or (legs, 3),
        the standard deviation the fit leaves (the unit, radians for
        zeros), from the data and the tolerances; NaN where not identified.
    unobservable: the combinations of parameters the poses cannot tell
        apart, in words; held at nominal (see Torso.calibrate).
    findings: sentences about the assembly a builder can act on.
    converged: whether the fit settled.
    """

    geometry: Geometry
    residual: Residual
    sample_residuals: FloatArray
    outliers: BoolArray
    parameter_std: Mapping[str, FloatArray]
    unobservable: tuple[str, ...]
    findings: tuple[str, ...]
    converged: bool


class CalibrationSubject(Protocol):
    """What calibration uses of a Torso: its geometry and its servos."""

    @property
    def geometry(self) -> Geometry: ...
    @property
    def _servos(self) -> ServoTable: ...


def calibrate(
    torso: CalibrationSubject,
    servo_angles: npt.ArrayLike,
    measured_poses: npt.ArrayLike,
    parameters: Sequence[str] | None = None,
    tolerances: Mapping[str, float] | None = None,
    noise: Mapping[str, float] | None = None,
) -> Calibration:
    geometry = torso.geometry
    legs = len(geometry.legs)
    readings, poses = measured_samples(legs, servo_angles, measured_poses)
    if not np.all(np.isfinite(readings)):
        raise ValueError("servo_angles must be finite: leave out a sample whose reading was lost")
    identify = _mask(parameters)
    scale = 1000.0 if geometry.unit == "mm" else 1.0
    prior = _settings(tolerances, DEFAULT_TOLERANCES, "tolerances", scale, ("zero",))
    spread = _settings(noise, DEFAULT_NOISE, "noise", scale, ("rotation",))

    metres = geometry.in_unit("m")
    in_metres = poses.copy()
    in_metres[:, :3, 3] /= scale
    servos = torso._servos
    found = _engine.calibrate(
        *leg_arrays(metres), servos.zero, servos.direction,
        np.ascontiguousarray(readings), np.ascontiguousarray(in_metres), identify,
        prior["length"], prior["position"], prior["zero"], spread["position"], spread["rotation"],
    )
    calibrated = _calibrated_geometry(metres, found).in_unit(geometry.unit)
    residuals = np.stack((np.asarray(found.residual_position) * scale, np.asarray(found.residual_rotation)), axis=1)
    std = np.asarray(found.parameter_std)
    parameter_std = {
        name: (std[:, bits[0]] if len(bits) == 1 else std[:, list(bits)]) * (1.0 if name == "zero" else scale)
        for name, bits in _BITS.items()
    }
    return Calibration(
        geometry=calibrated,
        residual=Residual(found.rms_position * scale, found.rms_rotation),
        sample_residuals=residuals,
        outliers=np.array(found.outlier, dtype=bool),
        parameter_std=parameter_std,
        unobservable=tuple(_combination(components) for _, components in found.unobservable),
        findings=tuple(_findings(geometry, found)),
        converged=found.converged,
    )


def _mask(parameters: Sequence[str] | None) -> int:
    if parameters is None:
        return (1 << 9) - 1
    if isinstance(parameters, str):
        parameters = (parameters,)
    mask = 0
    for name in parameters:
        if name not in _BITS:
            raise ValueError(f"unknown parameter {name!r}; calibrate identifies {', '.join(PARAMETERS)}")
        for bit in _BITS[name]:
            mask |= 1 << bit
    if not mask:
        raise ValueError(f"parameters names nothing to identify; choose from {', '.join(PARAMETERS)}")
    return mask


def _settings(
    given: Mapping[str, float] | None, defaults: Mapping[str, float], what: str, scale: float, angles: tuple[str, ...]
) -> dict[str, float]:
    """The defaults (metres, radians) with what the caller gave (the
    geometry's unit, radians) in their place."""
    out = dict(defaults)
    for key, value in (given or {}).items():
        if key not in defaults:
            raise ValueError(f"unknown {what} key {key!r}; the keys are {', '.join(defaults)}")
        number = float(value)
        if not (math.isfinite(number) and number > 0.0):
            raise ValueError(f"{what}[{key!r}] must be positive and finite, got {number!r}")
        out[key] = number if key in angles else number / scale
    return out


def _calibrated_geometry(metres: Geometry, found: _engine.Calibration) -> Geometry:
    legs = []
    zeros = wrap_half_open_below(np.asarray(found.zero))
    for i, leg in enumerate(metres.legs):
        servo = replace(leg.servo, zero=float(zeros[i]))
        legs.append(
            Leg(found.branch_platform[i], found.t_world_motor[i], leg.solution, servo,
                float(found.motor_arm_length[i]), float(found.rod_length[i]))
        )
    try:
        return Geometry(metres.motor_arm_length, metres.rod_length, legs, "m", metres.home)
    except ValueError as error:
        raise ValueError(f"the calibrated robot cannot rest at home: {error}") from None


def _combination(components: Sequence[tuple[int, str, float]]) -> str:
    """"leg 3 rod_length - 0.98 leg 3 motor_origin.z": the largest
    components of a combination, in tolerance units."""
    terms: list[tuple[float, str]] = []
    for leg, name, weight in components[:3]:
        if terms and abs(weight) < 0.1:
            break
        terms.append((weight, f"leg {leg} {_ENGINE_NAMES.get(name, name)}"))
    lead = terms[0][0]
    text = terms[0][1]
    for weight, label in terms[1:]:
        ratio = weight / lead
        text += f" {'-' if ratio < 0 else '+'} {abs(ratio):.2g} {label}"
    return text


def _findings(geometry: Geometry, found: _engine.Calibration) -> list[str]:
    out = []
    for i, leg in enumerate(geometry.legs):
        shift = math.degrees(float(found.zero_shift[i]))
        teeth = leg.servo.spline_teeth
        if teeth is not None:
            tooth = 360.0 / teeth
            count = math.floor(abs(shift) / tooth + 0.5)
            if count >= 1:
                plural = "tooth" if count == 1 else "teeth"
                out.append(f"leg {i}: horn {count} spline {plural} off ({shift:+.1f}°)")
        elif abs(shift) >= 7.0:
            out.append(
                f"leg {i}: zero moved {shift:+.1f}°: a horn off its spline? "
                "(give the servo's spline_teeth to have the teeth counted)"
            )
        if found.other_side_suspected[i]:
            out.append(
                f"leg {i}: the horn seems to close the leg on the other side "
                f"(solution {-int(leg.solution):+d} explains the readings, {int(leg.solution):+d} does not)"
            )
    for a, b, _, _ in found.swapped:
        out.append(f"legs {a} and {b}: the servo channels look swapped (each one's readings fit the other leg)")
    for k in np.flatnonzero(found.outlier).tolist():
        out.append(f"sample {k}: the measured pose is far from every other sample's fit (mistyped, or the marker lost?)")
    return out
