"""Pictures of a mechanism: the legs at a pose, and where it can reach.

Needs matplotlib (`pip install zandrel_torso_kinematics[plot]`). Figures are
made without pyplot, so nothing here opens a window, needs a display or
touches pyplot's global state: each function draws into the axes it is given,
or into a new Figure, and returns the axes; save with
`ax.figure.savefig(path)`.
"""

from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

try:
    import matplotlib  # noqa: F401
except ImportError as error:
    raise ImportError(
        "zandrel_torso.plot needs matplotlib: pip install 'zandrel_torso_kinematics[plot]'"
    ) from error
from matplotlib.axes import Axes
from matplotlib.colors import ListedColormap, TwoSlopeNorm
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Patch
# matplotlib's 3D toolkit ships without type information for mypy.
from mpl_toolkits.mplot3d import Axes3D  # type: ignore[import-untyped]
from mpl_toolkits.mplot3d.art3d import Poly3DCollection  # type: ignore[import-untyped]

from ._arrays import ROUNDING_TOLERANCE, FloatArray, check_rigid, float_array
from ._formulas import pose
from ._geometry import Geometry
from ._load import Load
from ._mechanism import Mechanism
from ._messages import brief
from ._torso import Torso

_HORN = "tab:blue"
_ROD = "tab:orange"
_MOTOR = "dimgray"
_UNREACHABLE = "tab:red"
_SERVO_BEYOND = "tab:purple"  # a leg that reaches, with its servo out of its range
_SERVO_OUT = "slategray"
_SINGULAR = "tab:red"  # the platform of a pose past a parallel singularity
_SINGULAR_SHADE = "black"
# Reached and in range, but a servo cannot hold the load there.
_TORQUE_OUT = "darkorange"
_SERVO_LIMIT = "navy"
# Seen from this high above, at this azimuth, no two legs of the sample or of
# a three-pair layout seem to cross, at home or tilted by 10 to 20 degrees:
# the legs lean inwards, and a low view overlays a leg on the far side with
# one on the near side. Projected orthographically, so that the picture
# does not depend on how far the camera stands.
DEFAULT_VIEW = (65.0, -60.0)
TOP_VIEW = (90.0, -90.0)  # x to the right, y up the page
SIDE_VIEW = (0.0, -90.0)  # x to the right, z up the page: heights and hanging parts at a glance
_VIEWS = {"default": DEFAULT_VIEW, "top": TOP_VIEW, "side": SIDE_VIEW}


def pose_title(t: FloatArray, unit: str) -> str:
    """Roll, pitch and yaw (degrees; the rotation Rz(yaw) Ry(pitch) Rx(roll))
    and the translation of a pose."""
    r = t[:3, :3]
    roll = math.degrees(math.atan2(r[2, 1], r[2, 2]))
    pitch = math.degrees(-math.asin(max(-1.0, min(1.0, float(r[2, 0])))))
    yaw = math.degrees(math.atan2(r[1, 0], r[0, 0]))
    x, y, z = (f"{float(v):.4g}" for v in t[:3, 3])
    roll, pitch, yaw = (round(v, 1) + 0.0 for v in (roll, pitch, yaw))  # no "-0.0"
    return f"roll {roll:.1f}°, pitch {pitch:.1f}°, yaw {yaw:.1f}°; x {x}, y {y}, z {z} {unit}"


def _point(t: FloatArray, p: FloatArray) -> FloatArray:
    out: FloatArray = t[:3, :3] @ p + t[:3, 3]
    return out


def _segment(ax: Axes3D, a: FloatArray, b: FloatArray, **style: Any) -> None:
    ax.plot([a[0], b[0]], [a[1], b[1]], [a[2], b[2]], **style)


def draw(
    geometry: Geometry,
    t_world_platform: npt.ArrayLike,
    ax: Axes3D | None = None,
    *,
    view: Literal["default", "top", "side"] = "default",
) -> Axes3D:
    """The mechanism with its platform at t_world_platform (the geometry's
    unit): each motor with its shaft axis, horn, rod and anchor, legs
    numbered, and the platform through its anchors, titled with the pose. A
    leg that cannot reach is drawn as a dashed red line from its motor to
    its anchor; a leg whose servo would leave its range has its horn and rod
    in purple; either adds its entry to a legend. `view="top"` looks
    straight down the world Z axis, `view="side"` along the world Y axis.
    A pose that is not a rigid transform (NaN, a scaled or sheared block,
    all zeros) is refused: its picture would show a pose that is none."""
    if view not in _VIEWS:
        raise ValueError(f'view must be "default", "top" or "side", got {brief(view)}')
    t = float_array(t_world_platform, (4, 4), "t_world_platform")
    check_rigid(t, "t_world_platform", ROUNDING_TOLERANCE)
    if ax is None:
        ax = Figure(figsize=(6.4, 6.0), layout="constrained").add_subplot(projection="3d")
    assert isinstance(ax, Axes3D)
    checked = Torso(geometry).check(t)
    angles, servo_beyond = checked.angles, np.isfinite(checked.angles) & (checked.servo_margin < 0.0)
    singular = bool(checked.singularity_margin <= 0.0)
    mechanism = Mechanism.from_geometry(geometry)
    parts = mechanism.leg_points(t, angles)
    points = [t[:3, 3]]
    for index, (leg, theta, a) in enumerate(zip(geometry.legs, angles, geometry.motor_arm_lengths.tolist())):
        origin, shaft, anchor, tip = parts.origins[index], parts.shafts[index], parts.anchors[index], parts.tips[index]
        _segment(ax, origin - 0.4 * a * shaft, origin + 0.4 * a * shaft, color=_MOTOR, linewidth=5)
        if math.isfinite(theta):
            beyond = bool(servo_beyond[index])
            _segment(ax, origin, tip, color=_SERVO_BEYOND if beyond else _HORN, linewidth=3)
            _segment(ax, tip, anchor, color=_SERVO_BEYOND if beyond else _ROD, linewidth=2)
            points.append(tip)
            label, colour = (f"{index}: servo out of range", _SERVO_BEYOND) if beyond else (str(index), "black")
        else:
            _segment(ax, origin, anchor, color=_UNREACHABLE, linewidth=1.5, linestyle="--")
            label, colour = f"{index}: out of reach", _UNREACHABLE
        ax.scatter(anchor[0], anchor[1], anchor[2], color="black", s=12)
        below = origin - 0.5 * a * leg.t_world_motor[:3, 0]
        ax.text(below[0], below[1], below[2], label, color=colour, ha="center")
        points += [origin, anchor]
    if len(geometry.legs) >= 3:
        outline = [_point(t, p) for p in mechanism.outline()]
        face, edge = (_SINGULAR, "darkred") if singular else ("tab:green", "darkgreen")
        ax.add_collection3d(Poly3DCollection([outline], alpha=0.25, facecolor=face, edgecolor=edge))
    for axis, colour in zip(range(3), ("red", "green", "blue")):  # the platform frame
        _segment(ax, t[:3, 3], t[:3, 3] + 0.6 * a * t[:3, axis], color=colour, linewidth=1)
    # Equal scales on the three axes, so that the legs look as long as they are.
    cloud = np.array(points)
    centre, half = (cloud.max(0) + cloud.min(0)) / 2, float(np.ptp(cloud, axis=0).max()) / 2 * 1.1
    ax.set_xlim(centre[0] - half, centre[0] + half)
    ax.set_ylim(centre[1] - half, centre[1] + half)
    ax.set_zlim(centre[2] - half, centre[2] + half)
    ax.set_box_aspect((1.0, 1.0, 1.0))
    for name in "xyz":
        getattr(ax, f"set_{name}label")(f"{name} ({geometry.unit})")
    elev, azim = _VIEWS[view]
    ax.view_init(elev=elev, azim=azim)
    end_on = {"top": ("z", ax.zaxis), "side": ("y", ax.yaxis)}.get(view)
    if end_on is not None:  # the axis the view looks along shows no ticks
        end_on[1].set_ticks([])
        getattr(ax, f"set_{end_on[0]}label")("")
    ax.set_proj_type("ortho")
    marks: list[Any] = []
    if not np.all(np.isfinite(angles)):
        marks.append(Line2D([], [], color=_UNREACHABLE, linestyle="--", label="out of reach"))
    if servo_beyond.any():
        marks.append(Line2D([], [], color=_SERVO_BEYOND, linewidth=3, label="servo out of its range"))
    if singular:
        margin = float(checked.singularity_margin)
        marks.append(Patch(color=_SINGULAR, alpha=0.4, label=f"past a singularity (margin {margin:.3g})"))
    if marks:
        ax.legend(handles=marks, loc="upper left", fontsize="small")
    ax.set_title(pose_title(t, geometry.unit))
    return ax


def reach_map(
    geometry: Geometry,
    z: float,
    *,
    x: float = 0.0,
    y: float = 0.0,
    yaw: float = 0.0,
    span: float = math.radians(30.0),
    points: int = 61,
    ax: Axes | None = None,
    load: Load | None = None,
) -> Axes:
    """Roll (across) against pitch (up), each within +-span radians, with
    the platform origin at (x, y, z) and the given yaw, coloured by the worst
    leg's reach margin (Torso.reach): green is comfortable, red is beyond
    reach; the black line is the edge. Where every leg reaches but a servo
    would leave its range (Torso.check), the map is grey instead, and a
    dashed line marks the servo range limit; where every leg reaches and
    every servo is in range but the pose lies past a parallel singularity
    (PoseCheck.singularity_margin), it is shaded dark. Given a load, where
    all that holds but a servo cannot hold the load within its torque limit
    (PoseCheck.torque_margin), the map is orange. Every number must be finite
    (a NaN height would draw a map of nothing), the span positive and
    below a half turn, and at least 2 points a side."""
    for name, value in (("z", z), ("x", x), ("y", y), ("yaw", yaw), ("span", span)):
        try:
            finite = not isinstance(value, (str, bytes, complex)) and math.isfinite(value)
        except (TypeError, ValueError, OverflowError):
            finite = False
        if not finite:
            raise ValueError(f"reach_map: {name} must be a finite number, got {brief(value)}")
    if not 0.0 < span < math.pi:
        raise ValueError(f"reach_map: span must lie in (0, pi) radians, got {span!r}")
    if isinstance(points, bool) or not isinstance(points, int) or points < 2:
        raise ValueError(f"reach_map: points must be a whole number of at least 2, got {brief(points)}")
    if ax is None:
        ax = Figure(figsize=(6.4, 5.2), layout="constrained").add_subplot()
    torso = Torso(geometry)
    tilt = np.linspace(-span, span, points)
    # Rows run over pitch, columns over roll.
    checked = torso.check(np.array([pose(roll, pitch, yaw, x, y, z) for pitch in tilt for roll in tilt]), load=load)
    worst = checked.reach.min(axis=1, initial=np.inf).reshape(points, points)
    reachable = np.isfinite(checked.angles).all(axis=1)
    servo_out = (reachable & (checked.servo_margin < 0.0).any(axis=1)).reshape(points, points)
    singularity = np.asarray(checked.singularity_margin).reshape(points, points)
    singular = reachable.reshape(points, points) & ~servo_out & ~(singularity > 0.0)
    torque_out = (
        reachable.reshape(points, points) & ~servo_out & ~singular
        & (checked.torque_margin < 0.0).any(axis=1).reshape(points, points)
    )
    servo_worst = np.where(reachable, checked.servo_margin.min(axis=1, initial=np.inf), np.nan).reshape(points, points)
    degrees = np.degrees(tilt)
    # Far beyond reach the margin runs off to large negative values; what
    # matters is its sign and how close to the edge a pose is.
    shown = np.clip(np.nan_to_num(worst, nan=-1.0, neginf=-1.0), -1.0, 1.0)
    mesh = ax.pcolormesh(degrees, degrees, shown, cmap="RdYlGn", norm=TwoSlopeNorm(0.0, -1.0, 1.0), shading="auto")
    if shown.min() < 0.0 < shown.max():
        ax.contour(degrees, degrees, shown, levels=[0.0], colors="black", linewidths=1.5)
    handles: list[Any] = []
    if servo_out.any():
        ax.pcolormesh(degrees, degrees, np.ma.masked_where(~servo_out, np.ones_like(worst)),
                      cmap=ListedColormap([_SERVO_OUT]), shading="auto")
        if np.nanmin(servo_worst) < 0.0 < np.nanmax(servo_worst):
            ax.contour(degrees, degrees, np.ma.masked_invalid(servo_worst), levels=[0.0], colors=_SERVO_LIMIT,
                       linewidths=1.5, linestyles="dashed")
        handles += [
            Patch(color=_SERVO_OUT, label="reached, but a servo is out of range"),
            Line2D([], [], color=_SERVO_LIMIT, linestyle="dashed", label="servo range limit"),
        ]
    if singular.any():
        ax.pcolormesh(degrees, degrees, np.ma.masked_where(~singular, np.ones_like(worst)),
                      cmap=ListedColormap([_SINGULAR_SHADE]), alpha=0.6, shading="auto")
        handles.append(Patch(color=_SINGULAR_SHADE, alpha=0.6, label="reached, but past a singularity"))
    if torque_out.any():
        ax.pcolormesh(degrees, degrees, np.ma.masked_where(~torque_out, np.ones_like(worst)),
                      cmap=ListedColormap([_TORQUE_OUT]), shading="auto")
        handles.append(Patch(color=_TORQUE_OUT, label="reached, but a servo cannot hold the load"))
    if handles:
        handles.append(Line2D([], [], color="black", label="edge of reach"))
        ax.legend(handles=handles, loc="upper right", fontsize="small")
    colorbar = ax.figure.colorbar(mesh, ax=ax)
    colorbar.set_label("worst leg's reach margin (1: comfortable, 0: edge, < 0: beyond)")
    ax.set_xlabel("roll (degrees)")
    ax.set_ylabel("pitch (degrees)")
    ax.set_title(
        f"Reach at x = {x:g}, y = {y:g}, z = {z:g} {geometry.unit}, yaw {math.degrees(yaw):g} degrees"
    )
    ax.set_aspect("equal")
    return ax
