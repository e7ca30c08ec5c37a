"""A sample six-leg rotary platform, about the size of a desktop robot's head.

All lengths are in metres, angles in radians.

Layout (world frame: z up, origin on the base plate under the platform):

* Six motors sit on a circle of radius 60 mm at height 78 mm, in three pairs
  centred on the azimuths 0, 120 and 240 degrees; the two motors of a pair
  are 20 degrees either side of the pair's centre.
* Each motor shaft is horizontal and radial, so its 40 mm horn turns in a
  vertical plane tangential to the motor circle. In every motor frame +X
  points straight up and +Y is the horizontal tangent pointing away from the
  motor's partner (+Z, the shaft, then points inwards for one motor of the
  pair and outwards for the other: the two are mounted mirror-wise). So for
  every leg angle 0 is the horn pointing straight up, and +90 degrees is the
  horn level and pointing away from its partner, which is about where it
  sits at home. (With the zero a quarter turn from the home position, both
  closed-form roots of every leg stay well away from +-pi over the whole
  working range; near +-pi the half-angle formula loses precision.)
* Each 85 mm rod runs from its horn tip up and inwards to an anchor under the
  platform: anchors on a circle of radius 35 mm, 30 mm below the platform
  origin, in pairs 16 degrees either side of the same three azimuths. The two
  rods of a pair lean towards each other.
* The home pose puts the platform origin 177 mm above the world origin, with
  no rotation: the body-yaw axis used by the forward kinematics passes
  through it, so a body yaw turns the platform about its own vertical axis.
* Every leg uses ``solution = +1``: the assembly mode in which, at home, the
  horns stand about level and point away from their partners (the other mode
  folds each horn back under its rod, towards the partner).

From home, each leg stays well inside its reach through +-20 degrees of roll,
pitch and yaw combined with +-1 cm of translation along every axis.

Exports: MOTOR_ARM_LENGTH, ROD_LENGTH, BRANCHES (a list of
(branch_platform, t_world_motor, solution) in plain lists), HOME_POSE,
pose(...), make_kinematics(), and two checks used by the examples:
rod_residual_norm() and max_pose_error().
"""

import math

MOTOR_ARM_LENGTH = 0.040
ROD_LENGTH = 0.085

HOME_HEIGHT = 0.177

_PAIR_AZIMUTHS_DEG = (0.0, 120.0, 240.0)
_MOTOR_RADIUS = 0.060
_MOTOR_HEIGHT = 0.078
_MOTOR_HALF_SPREAD_DEG = 20.0
_ANCHOR_RADIUS = 0.035
_ANCHOR_DEPTH = -0.030  # anchor z in platform coordinates
_ANCHOR_HALF_SPREAD_DEG = 16.0
_SOLUTION = 1.0


def _motor_pose(azimuth_deg, side):
    """Motor frame at the given azimuth; side is +1 (counter-clockwise of the
    pair centre) or -1 (clockwise). X: straight up, Y: the horizontal tangent
    pointing away from the partner, Z = X x Y: the shaft, horizontal and radial."""
    az = math.radians(azimuth_deg)
    radial = (math.cos(az), math.sin(az), 0.0)
    tangent = (-math.sin(az), math.cos(az), 0.0)
    x_axis = (0.0, 0.0, 1.0)
    y_axis = tuple(side * t for t in tangent)
    z_axis = tuple(-side * r for r in radial)  # up x tangent = -radial
    origin = (_MOTOR_RADIUS * radial[0], _MOTOR_RADIUS * radial[1], _MOTOR_HEIGHT)
    return [
        [x_axis[r], y_axis[r], z_axis[r], origin[r]] for r in range(3)
    ] + [[0.0, 0.0, 0.0, 1.0]]


def _anchor(azimuth_deg):
    az = math.radians(azimuth_deg)
    return [_ANCHOR_RADIUS * math.cos(az), _ANCHOR_RADIUS * math.sin(az), _ANCHOR_DEPTH]


def _build_branches():
    branches = []
    for centre in _PAIR_AZIMUTHS_DEG:
        for side in (1.0, -1.0):
            t_world_motor = _motor_pose(centre + side * _MOTOR_HALF_SPREAD_DEG, side)
            anchor = _anchor(centre + side * _ANCHOR_HALF_SPREAD_DEG)
            branches.append((anchor, t_world_motor, _SOLUTION))
    return branches


BRANCHES = _build_branches()


def rotation(roll=0.0, pitch=0.0, yaw=0.0):
    """3x3 rotation Rz(yaw) * Ry(pitch) * Rx(roll), as nested lists."""
    cr, sr = math.cos(roll), math.sin(roll)
    cp, sp = math.cos(pitch), math.sin(pitch)
    cy, sy = math.cos(yaw), math.sin(yaw)
    return [
        [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
        [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
        [-sp, cp * sr, cp * cr],
    ]


def pose(roll=0.0, pitch=0.0, yaw=0.0, x=0.0, y=0.0, z=0.0):
    """The home pose displaced: 4x4 t_world_platform as nested lists.

    The platform is turned by Rz(yaw) * Ry(pitch) * Rx(roll) about its own
    origin (angles in radians) and its origin moved by (x, y, z) from the
    home position (0, 0, HOME_HEIGHT).
    """
    rot = rotation(roll, pitch, yaw)
    translation = (x, y, HOME_HEIGHT + z)
    return [rot[r] + [translation[r]] for r in range(3)] + [[0.0, 0.0, 0.0, 1.0]]


HOME_POSE = pose()


def make_kinematics():
    """A ZandrelRustKinematics holding the six sample legs."""
    from zandrel_torso_kinematics import ZandrelRustKinematics

    kinematics = ZandrelRustKinematics(MOTOR_ARM_LENGTH, ROD_LENGTH)
    for branch_platform, t_world_motor, solution in BRANCHES:
        kinematics.add_branch(branch_platform, t_world_motor, solution)
    return kinematics


def _transform(t, p):
    """The point p (3 numbers) transformed by the 4x4 pose t."""
    return [t[r][0] * p[0] + t[r][1] * p[1] + t[r][2] * p[2] + t[r][3] for r in range(3)]


def rod_residual_norm(t_world_platform, joint_angles):
    """How far a pose is from closing every leg at these motor angles: the
    norm over the legs of rod length minus the horn-tip-to-anchor distance."""
    a = MOTOR_ARM_LENGTH
    total = 0.0
    for (anchor, t_world_motor, _), theta in zip(BRANCHES, joint_angles):
        tip = _transform(t_world_motor, [a * math.cos(theta), a * math.sin(theta), 0.0])
        total += (ROD_LENGTH - math.dist(tip, _transform(t_world_platform, anchor))) ** 2
    return math.sqrt(total)


def max_pose_error(p, q):
    """Largest element-wise difference between two 4x4 poses."""
    return max(abs(p[r][c] - q[r][c]) for r in range(4) for c in range(4))
