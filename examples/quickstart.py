"""Quick start: inverse and forward kinematics of the sample six-leg platform.

Run with `make demo`, or `python examples/quickstart.py` once the module is
installed.
"""

import math

import numpy as np

from zandrel_torso import SAMPLE_HOME_HEIGHT as HOME_Z
from zandrel_torso import Torso, pose, sample_geometry


def residual_norm(torso, t_world_platform, angles):
    """How far a pose is from closing every leg at these motor angles."""
    return float(np.linalg.norm(torso.rod_errors(t_world_platform, angles)))


def max_pose_error(p, q):
    """Largest element-wise difference between two 4x4 poses."""
    return float(np.max(np.abs(np.asarray(p) - np.asarray(q))))


def show_angles(label, angles):
    degrees = " ".join(f"{math.degrees(x):+8.3f}" for x in angles)
    radians = " ".join(f"{x:+.4f}" for x in angles)
    print(f"  {label:<22} deg [{degrees} ]")
    print(f"  {'':<22} rad [{radians} ]")


def main():
    torso = Torso(sample_geometry())
    k = torso.kinematics  # the extension's object: the fast path, in metres
    deg = math.radians
    home = pose(z=HOME_Z)

    print("Motor angles (inverse kinematics), legs 0..5:")
    poses = [
        ("home", home),
        ("roll 10 deg", pose(roll=deg(10), z=HOME_Z)),
        ("pitch -10 deg", pose(pitch=deg(-10), z=HOME_Z)),
        ("yaw 15 deg", pose(yaw=deg(15), z=HOME_Z)),
        ("lift 5 mm", pose(z=HOME_Z + 0.005)),
        ("combined (see below)", pose(roll=deg(8), pitch=deg(5), yaw=deg(-12), x=0.004, z=HOME_Z - 0.003)),
    ]
    for label, t in poses:
        show_angles(label, k.inverse_kinematics(t))
    print("  combined: roll 8 deg, pitch 5 deg, yaw -12 deg, x +4 mm, z -3 mm")

    print("\nYaw-limited inverse kinematics (the yaw actually used):")
    requests = [
        ("home", home, 0.5, 0.2, 0.3),
        ("home", home, 0.5, 0.2, None),
        ("home", home, -0.1, 0.2, 0.3),
        ("platform yawed 0.4 rad", pose(yaw=0.4, z=HOME_Z), 0.5, 0.2, 0.3),
        ("platform yawed 0.4 rad", pose(yaw=0.4, z=HOME_Z), -0.5, 0.2, None),
    ]
    for label, t, body_yaw, max_rel, max_body in requests:
        used = k.inverse_kinematics_safe(t, body_yaw, max_rel, max_body)[0]
        print(
            f"  {label:<24} body_yaw {body_yaw:+.2f}  max_relative_yaw {max_rel}  "
            f"max_body_yaw {max_body}  ->  yaw {used:+.4f}"
        )

    print("\nForward kinematics tracking roll 10 deg + lift 5 mm, starting at home:")
    target = pose(roll=deg(10), z=HOME_Z + 0.005)
    angles = k.inverse_kinematics(target)
    k.reset_forward_kinematics(home)
    print(f"  {'call':>4}  {'residual norm (m)':>18}  {'max pose error':>15}")
    print(f"  {'home':>4}  {residual_norm(torso, home, angles):>18.3e}  {max_pose_error(home, target):>15.3e}")
    previous = None
    for calls in range(1, 101):
        estimate = k.forward_kinematics(angles)
        rho = residual_norm(torso, estimate, angles)
        print(f"  {calls:>4}  {rho:>18.3e}  {max_pose_error(estimate, target):>15.3e}")
        if estimate == previous:
            print(f"  settled: call {calls} returned the same pose as call {calls - 1}, "
                  f"max pose error {max_pose_error(estimate, target):.1e}")
            break
        previous = estimate
    else:
        print("  not settled after 100 calls")

    # The same solve in one call, with a verdict: Torso steps until the pose
    # stops changing, then checks that every leg closed and that the pose is
    # the one these angles came from, not another assembly of the mechanism.
    solved = torso.solve_forward(angles, start=home)
    print(f"\nTorso.solve_forward: {solved.status} after {solved.steps} steps, "
          f"largest rod-length error {solved.residual:.1e} m")


if __name__ == "__main__":
    main()
