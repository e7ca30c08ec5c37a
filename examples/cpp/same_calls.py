"""The calls of torso_example.cpp, made through the Python module, printed the
same way: the two outputs are equal, character for character, when the C++
library and the module give the same bits.

usage: python same_calls.py GEOMETRY
Writes the sample geometry to GEOMETRY in the form torso_example reads, then
prints what torso_example prints for it.
"""

import sys

from zandrel_torso import pose, sample_geometry
from zandrel_torso_kinematics import ZandrelRustKinematics


def write_geometry(path, geometry):
    lines = [f"{geometry.motor_arm_length!r} {geometry.rod_length!r}"]
    for leg in geometry.legs:
        numbers = [*leg.branch_platform, *leg.t_world_motor.ravel(), leg.solution]
        lines.append(" ".join(repr(float(x)) for x in numbers))
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


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
    home = pose(z=home_z).tolist()
    target = pose(roll=0.10, pitch=-0.05, yaw=0.08, x=0.003, y=-0.002, z=home_z + 0.004).tolist()

    show("inverse home", k.inverse_kinematics(home))
    show("inverse target, body yaw 0.3", k.inverse_kinematics(target, 0.3))
    safe = k.inverse_kinematics_safe(target, 0.3, 0.1, 0.25)
    show("inverse_safe target, yaw used", safe[:1])
    show("inverse_safe target, angles", safe[1:])

    angles = k.inverse_kinematics(target)
    k.reset_forward_kinematics(home)
    for step in range(1, 5):
        show_pose(f"forward step {step}", k.forward_kinematics(angles))
    show_pose("forward, body yaw 0.3", k.forward_kinematics(angles, 0.3))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
