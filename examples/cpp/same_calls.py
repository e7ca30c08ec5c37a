"""The calls of torso_example.cpp, made through the Python module, printed the
same way: the two outputs are equal, character for character, when the C++
library and the module give the same bits.

usage: python same_calls.py GEOMETRY
Writes the sample geometry to GEOMETRY in the form torso_example reads, then
prints what torso_example prints for it.
"""

import math
import sys

import numpy as np

from zandrel_torso import Geometry, Leg, Servo, Torso, sample_geometry
from zandrel_torso_kinematics import ZandrelRustKinematics


def write_geometry(path, geometry):
    lines = [f"{geometry.motor_arm_length!r} {geometry.rod_length!r}"]
    for leg in geometry.legs:
        numbers = [*leg.branch_platform, *leg.t_world_motor.ravel(), leg.solution]
        lines.append(" ".join(repr(float(x)) for x in numbers))
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def multiply(a, b):
    """The library's multiply: each element summed over k = 0..3 in that order."""
    return [
        [((a[r][0] * b[0][c] + a[r][1] * b[1][c]) + a[r][2] * b[2][c]) + a[r][3] * b[3][c] for c in range(4)]
        for r in range(4)
    ]


def transform_point(m, p):
    """The library's transform_point: the first three components of m (p, 1)."""
    return [((m[r][0] * p[0] + m[r][1] * p[1]) + m[r][2] * p[2]) + m[r][3] for r in range(3)]


def pose(roll, pitch, yaw, x, y, z):
    """torso_example's pose: Rz(yaw) Ry(pitch) Rx(roll) composed by multiply,
    then the translation."""
    cr, sr = math.cos(roll), math.sin(roll)
    cp, sp = math.cos(pitch), math.sin(pitch)
    cy, sy = math.cos(yaw), math.sin(yaw)
    rz = [[cy, -sy, 0.0, 0.0], [sy, cy, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
    ry = [[cp, 0.0, sp, 0.0], [0.0, 1.0, 0.0, 0.0], [-sp, 0.0, cp, 0.0], [0.0, 0.0, 0.0, 1.0]]
    rx = [[1.0, 0.0, 0.0, 0.0], [0.0, cr, -sr, 0.0], [0.0, sr, cr, 0.0], [0.0, 0.0, 0.0, 1.0]]
    t = multiply(multiply(rz, ry), rx)
    t[0][3], t[1][3], t[2][3] = x, y, z
    return t


def show(label, values):
    print(f"{label}:", *("%.17g" % x for x in values))


def show_pose(label, rows):
    show(label, [x for row in rows for x in row])


def main(path):
    geometry = sample_geometry()
    write_geometry(path, geometry)
    k = ZandrelRustKinematics(geometry.motor_arm_length, geometry.rod_length)
    for leg in geometry.legs:
        k.add_branch(leg.branch_platform.tolist(), leg.t_world_motor.tolist(), float(leg.solution))

    home_z = 0.177
    home = pose(0.0, 0.0, 0.0, 0.0, 0.0, home_z)
    target = pose(0.10, -0.05, 0.08, 0.003, -0.002, home_z + 0.004)

    show("inverse home", k.inverse_kinematics(home))
    show("inverse target, body yaw 0.3", k.inverse_kinematics(target, 0.3))
    safe = k.inverse_kinematics_safe(target, 0.3, 0.1, 0.25)
    show("inverse_safe target, yaw used", safe[:1])
    show("inverse_safe target, angles", safe[1:])
    anchors = [transform_point(target, leg.branch_platform.tolist()) for leg in geometry.legs]
    show("anchors at target", [x for anchor in anchors for x in anchor])

    angles = k.inverse_kinematics(target)
    k.reset_forward_kinematics(home)
    for step in range(1, 5):
        show_pose(f"forward step {step}", k.forward_kinematics(angles))
    show_pose("forward, body yaw 0.3", k.forward_kinematics(angles, 0.3))

    # The follower through the typed layer: the same engine as the C++ one.
    servo = Servo(speed=3.0, acceleration=30.0)
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, servo) for leg in geometry.legs]
    torso = Torso(Geometry(geometry.motor_arm_length, geometry.rod_length, legs, "m", np.array(home)))
    follower = torso.follower(100.0)
    ticks = 0
    while follower.step(np.array(target)).status != "arrived":
        ticks += 1
        if ticks <= 3:
            show(f"follower tick {ticks}, angles", follower.last.angles)
    show("follower ticks to arrive", [ticks + 1])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
