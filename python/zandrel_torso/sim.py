"""The mechanism as a MuJoCo model, for checking what the kinematics and the
statics promise against a dynamic simulation (needs MuJoCo 3.2.3 or newer:
`pip install 'zandrel_torso_kinematics[sim]'`).

`to_mjcf(geometry, load)` writes the robot as MJCF: the platform on a free
joint, each leg a hinge turned by a position actuator and a rod hung from
the horn tip on a ball joint, closed to the platform by a `connect`
equality. `set_pose(model, data, geometry, pose)` assembles it at a pose.

    import mujoco
    from zandrel_torso import Torso, sample_geometry
    from zandrel_torso.sim import set_pose, to_mjcf

    geometry = sample_geometry()
    model = mujoco.MjModel.from_xml_string(to_mjcf(geometry))
    data = mujoco.MjData(model)
    set_pose(model, data, geometry, geometry.home)
    data.ctrl[:6] = Torso(geometry).inverse(geometry.home)   # leg angles θ
    mujoco.mj_step(model, data, 2000)
    print(data.actuator_force[:6])                           # servo torques, N m

Everything in the model is in metres, kilograms and seconds whatever the
geometry's unit. Horns and rods are near-massless and carry no weight, so
the actuator forces at rest are the servo torques the load alone asks for.
"""

from __future__ import annotations

import importlib
import math
from typing import Any

import numpy as np
import numpy.typing as npt

from ._arrays import FloatArray
from ._geometry import Geometry
from ._load import Load, as_load
from ._torso import Torso

# MuJoCo's compiled bindings ship no type information: held as Any, so type
# checkers neither complain about the import nor guess at its functions.
# Rods close on sites (connect's site1 and site2), which MuJoCo reads from
# 3.2.3 on.
try:
    mujoco: Any = importlib.import_module("mujoco")
except ImportError as error:
    raise ImportError("zandrel_torso.sim needs MuJoCo: pip install 'zandrel_torso_kinematics[sim]'") from error

__all__ = ["KP", "KV", "TIMESTEP", "LoadLike", "set_pose", "to_mjcf"]

# Servo stiffness (N m/rad). A position loop yields by torque / KP under
# load: the sample's most loaded servo under half a kilogram needs about
# 0.06 N m, which costs about 0.1 mrad here, a few micrometres at the
# platform. A softer servo would show up as sag.
KP = 500.0
# Servo damping (N m s/rad), at or above critical for the horn's reflected
# inertia plus its share of a half-kilogram platform: a 5 mm step of the
# sample settles to 1 % in about 10 ms, without overshoot, bare or loaded.
KV = 1.0
# The servo's rotor seen through its gearbox (kg m^2). It keeps the
# position loop's natural frequency, sqrt(KP / ARMATURE), a few times under
# what the timestep resolves even with a weightless platform; a real geared
# hobby servo reflects more than this. It plays no part at rest.
ARMATURE = 1e-4
# Small enough that the stiff servo loop and the stiff rod closures stay
# stable with explicit springs (implicitfast integrates the damping).
TIMESTEP = 2e-4
# Stand-ins for parts the statics treat as weightless: enough mass for the
# solver to invert, far too little to matter (and their weight cancelled).
_PART_MASS = 1e-4
_PART_INERTIA = 1e-9
# A platform with no load still needs some inertia on its free joint.
_BARE_MASS = 1e-3
# The load's inertia: a uniform ball of this radius (m) about its centre.
_LOAD_RADIUS = 0.03
# Rod closures: a time constant of a few timesteps and an impedance near 1,
# so a rod stretches by well under a micrometre under the load, and the
# closure error left over after a step decays within milliseconds.
_CLOSURE_SOLREF = f"{4 * TIMESTEP:g} 1"
_CLOSURE_SOLIMP = "0.9999 0.9999 0.001 0.5 2"
_HORN_RADIUS = 0.003
_ROD_RADIUS = 0.002


def _numbers(values: npt.ArrayLike) -> str:
    return " ".join(f"{float(v):.17g}" for v in np.asarray(values, dtype=np.float64).ravel())


def _quaternion(rotation: FloatArray) -> FloatArray:
    """MuJoCo's (w, x, y, z) for a 3x3 rotation."""
    quat = np.zeros(4)
    mujoco.mju_mat2Quat(quat, np.ascontiguousarray(rotation, dtype=np.float64).ravel())
    return quat


def _scale(geometry: Geometry) -> float:
    return 1e-3 if geometry.unit == "mm" else 1.0


def to_mjcf(geometry: Geometry, load: Load | None = None) -> str:
    """The robot as an MJCF document, in metres whatever the geometry's unit.

    Body "platform" is on a free joint and its frame is the platform frame;
    its inertial is the load's (mass at `load.centre`, a ball of a few cm),
    or a weightless gram at the origin with no load or a massless one. The
    model's gravity is `load.gravity`, else (0, 0, -9.81). A load's further
    `wrench` (6,: force N, then moment N m about the platform origin, world
    axes), when it has one, is a seventh actuator "wrench" that applies it
    whatever its control. Leg i is body "horn{i}" at its motor
    frame on hinge "motor{i}" about the motor's Z axis (0 is the horn along
    +X, as θ), turned by actuator i (a position servo whose control is θ,
    so `data.ctrl[:6] = Torso(geometry).inverse(pose)` commands a pose,
    its force limited to the servo's `torque` where it has one),
    and body "rod{i}" at the horn tip on ball joint "rod{i}", along its own
    +Z, its far end welded to site "anchor{i}" of the platform by a
    `connect` equality. Contacts are off: the rods would only touch each
    other where the kinematics already refuses the pose.
    """
    metres = geometry.in_unit("m")
    horns = metres.motor_arm_lengths
    rods = metres.rod_lengths
    mass, centre, gravity = 0.0, np.zeros(3), np.array([0.0, 0.0, -9.81])
    extra = None
    if load is not None:
        load = as_load(load)
        mass, centre, gravity = load.mass, load.centre * _scale(geometry), load.gravity
        extra = load.wrench
        if extra is not None and not np.isfinite(extra).all():
            raise ValueError("load wrench must be finite")
    # No mass: the free joint still needs inertia, so the platform gets a
    # gram whose weight is cancelled like the horns' and rods'.
    bare = mass == 0.0
    if bare:
        mass, centre = _BARE_MASS, np.zeros(3)
    ball = 0.4 * mass * _LOAD_RADIUS**2
    home = metres.home
    part = f'mass="{_PART_MASS:g}" diaginertia="{_PART_INERTIA:g} {_PART_INERTIA:g} {_PART_INERTIA:g}"'
    legs: list[str] = []
    anchors: list[str] = []
    closures: list[str] = []
    servos: list[str] = []
    for i, leg in enumerate(metres.legs):
        horn, rod = float(horns[i]), float(rods[i])
        motor = leg.t_world_motor
        # gravcomp cancels the stand-in parts' own weight, which the
        # statics leave out.
        legs.append(
            f'    <body name="horn{i}" pos="{_numbers(motor[:3, 3])}" quat="{_numbers(_quaternion(motor[:3, :3]))}" gravcomp="1">\n'
            f'      <joint name="motor{i}" type="hinge" axis="0 0 1" armature="{ARMATURE:g}"/>\n'
            f'      <inertial pos="{horn / 2:.17g} 0 0" {part}/>\n'
            f'      <geom type="capsule" fromto="0 0 0 {horn:.17g} 0 0" size="{_HORN_RADIUS:g}" rgba="0.2 0.4 0.9 1"/>\n'
            f'      <body name="rod{i}" pos="{horn:.17g} 0 0" gravcomp="1">\n'
            # A touch of armature and damping on the ball holds the rod's
            # spin about its own axis, which nothing else constrains.
            f'        <joint name="rod{i}" type="ball" armature="1e-8" damping="1e-6"/>\n'
            f'        <inertial pos="0 0 {rod / 2:.17g}" {part}/>\n'
            f'        <geom type="capsule" fromto="0 0 0 0 0 {rod:.17g}" size="{_ROD_RADIUS:g}" rgba="0.9 0.5 0.1 1"/>\n'
            f'        <site name="rod{i}_end" pos="0 0 {rod:.17g}"/>\n'
            "      </body>\n"
            "    </body>\n"
        )
        anchors.append(f'      <site name="anchor{i}" pos="{_numbers(leg.branch_platform)}" size="0.003"/>\n')
        closures.append(
            f'    <connect name="closure{i}" site1="rod{i}_end" site2="anchor{i}" '
            f'solref="{_CLOSURE_SOLREF}" solimp="{_CLOSURE_SOLIMP}"/>\n'
        )
        # A servo with a torque limit gives no more: past it the platform
        # sags instead of holding, as the real one would.
        limit = leg.servo.torque
        clamp = "" if limit is None else f' forcerange="{-float(limit):.17g} {float(limit):.17g}"'
        servos.append(f'    <position name="servo{i}" joint="motor{i}" kp="{KP:g}" kv="{KV:g}"{clamp}/>\n')
    reach = float(np.max(np.linalg.norm(np.array([leg.branch_platform for leg in metres.legs]), axis=1)))
    platform = (
        f'    <body name="platform" pos="{_numbers(home[:3, 3])}" quat="{_numbers(_quaternion(home[:3, :3]))}"'
        + (' gravcomp="1">\n' if bare else ">\n")
        + '      <freejoint name="platform"/>\n'
        f'      <inertial pos="{_numbers(centre)}" mass="{mass:.17g}" diaginertia="{ball:.17g} {ball:.17g} {ball:.17g}"/>\n'
        # Drawn only: the inertial above is the whole platform.
        f'      <geom type="cylinder" size="{max(reach, 0.005):.17g} 0.002" mass="0" contype="0" conaffinity="0" rgba="0.6 0.6 0.6 0.5"/>\n'
        + "".join(anchors)
        + '      <site name="origin" size="0.002"/>\n'
        "    </body>\n"
    )
    pushes: list[str] = []
    if extra is not None:
        # The load's further wrench, constant whatever the control: a force
        # whose bias alone is 1, geared into the wrench, at the platform
        # origin in the axes of a site at the world origin.
        pushes.append('    <site name="world" size="0.002"/>\n')
        servos.append(
            f'    <general name="wrench" site="origin" refsite="world" gear="{_numbers(extra)}" '
            'gaintype="fixed" gainprm="0" biastype="affine" biasprm="1 0 0"/>\n'
        )
    return "".join([
        '<mujoco model="zandrel_torso">\n',
        '  <compiler angle="radian" autolimits="true"/>\n',
        f'  <option timestep="{TIMESTEP:g}" gravity="{_numbers(gravity)}" integrator="implicitfast" '
        'solver="Newton" iterations="100" tolerance="1e-12">\n',
        '    <flag contact="disable"/>\n',
        "  </option>\n",
        "  <worldbody>\n",
        *legs,
        platform,
        *pushes,
        "  </worldbody>\n",
        "  <equality>\n",
        *closures,
        "  </equality>\n",
        "  <actuator>\n",
        *servos,
        "  </actuator>\n",
        "</mujoco>\n",
    ])


def set_pose(model: Any, data: Any, geometry: Geometry, pose: npt.ArrayLike) -> None:
    """Assembles a model from `to_mjcf(geometry, ...)` at `pose` (4x4, the
    geometry's unit): the platform there, at rest, each horn at
    `Torso(geometry).inverse(pose)` and each rod along the line from its
    horn tip to its anchor; then `mj_forward`. Controls are left alone.
    Raises ValueError when a leg cannot reach the pose."""
    target = np.asarray(pose, dtype=np.float64)
    if target.shape != (4, 4) or not np.isfinite(target).all():
        raise ValueError(f"pose must be a finite 4x4 transform, got shape {target.shape}")
    angles = Torso(geometry).inverse(target)
    if not np.isfinite(angles).all():
        missing = [i for i, angle in enumerate(angles) if not math.isfinite(float(angle))]
        raise ValueError(f"the pose is out of reach of leg(s) {missing}")
    metres = geometry.in_unit("m")
    horns = metres.motor_arm_lengths
    rotation = target[:3, :3]
    position = target[:3, 3] * _scale(geometry)

    mj_model, mj_data = model, data
    free = mj_model.joint("platform")
    qpos = mj_data.qpos
    address = int(free.qposadr[0])
    qpos[address : address + 3] = position
    qpos[address + 3 : address + 7] = _quaternion(rotation)
    for i, leg in enumerate(metres.legs):
        theta = float(angles[i])
        hinge = mj_model.joint(f"motor{i}")
        qpos[int(hinge.qposadr[0])] = theta
        motor = leg.t_world_motor
        cos, sin = math.cos(theta), math.sin(theta)
        horn_rotation = motor[:3, :3] @ np.array([[cos, -sin, 0.0], [sin, cos, 0.0], [0.0, 0.0, 1.0]])
        tip = motor[:3, 3] + horn_rotation[:, 0] * float(horns[i])
        anchor = position + rotation @ leg.branch_platform
        along = horn_rotation.T @ (anchor - tip)
        quat = np.zeros(4)
        mujoco.mju_quatZ2Vec(quat, along / np.linalg.norm(along))
        ball = mj_model.joint(f"rod{i}")
        start = int(ball.qposadr[0])
        qpos[start : start + 4] = quat
    mj_data.qvel[:] = 0.0
    mj_data.qacc_warmstart[:] = 0.0
    mujoco.mj_forward(mj_model, mj_data)
