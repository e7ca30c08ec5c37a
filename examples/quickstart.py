"""Quick start: inverse and forward kinematics of the sample six-leg platform.

Run with `make demo`, or `python examples/quickstart.py` once the module is
installed.
"""

import math

import sample_geometry as geo








def show_angles(label, angles):
    degrees = " ".join(f"{math.degrees(x):+8.3f}" for x in angles)
    radians = " ".join(f"{x:+.4f}" for x in angles)
    print(f"  {label:<22} deg [{degrees} ]")
    print(f"  {'':<22} rad [{radians} ]")


def main():
    k = geo.make_kinematics()
    deg = math.radians

    print("Motor angles (inverse kinematics), legs 0..5:")
    poses = [
        ("home", geo.pose()),
        ("roll 10 deg", geo.pose(roll=deg(10))),
        ("pitch -10 deg", geo.pose(pitch=deg(-10))),
        ("yaw 15 deg", geo.pose(yaw=deg(15))),
        ("lift 5 mm", geo.pose(z=0.005)),
        ("combined (see below)", geo.pose(roll=deg(8), pitch=deg(5), yaw=deg(-12), x=0.004, z=-0.003)),
    ]
    for label, t in poses:
        show_angles(label, k.inverse_kinematics(t))
    print("  combined: roll 8 deg, pitch 5 deg, yaw -12 deg, x +4 mm, z -3 mm")

    print("\nYaw-limited inverse kinematics (the yaw actually used):")
    requests = [
        ("home", geo.pose(), 0.5, 0.2, 0.3),
        ("home", geo.pose(), 0.5, 0.2, None),
        ("home", geo.pose(), -0.1, 0.2, 0.3),
        ("platform yawed 0.4 rad", geo.pose(yaw=0.4), 0.5, 0.2, 0.3),
        ("platform yawed 0.4 rad", geo.pose(yaw=0.4), -0.5, 0.2, None),
    ]
    for label, t, body_yaw, max_rel, max_body in requests:
        used = k.inverse_kinematics_safe(t, body_yaw, max_rel, max_body)[0]
        print(
            f"  {label:<24} body_yaw {body_yaw:+.2f}  max_relative_yaw {max_rel}  "
            f"max_body_yaw {max_body}  ->  yaw {used:+.4f}"
        )

    print("\nForward kinematics tracking roll 10 deg + lift 5 mm, starting at home:")
    target = geo.pose(roll=deg(10), z=0.005)
    angles = k.inverse_kinematics(target)
    k.reset_forward_kinematics(geo.HOME_POSE)
    print(f"  {'call':>4}  {'residual norm (m)':>18}  {'max pose error':>15}")
    start = geo.rod_residual_norm(geo.HOME_POSE, angles)
    print(f"  {'home':>4}  {start:>18.3e}  {geo.max_pose_error(geo.HOME_POSE, target):>15.3e}")
    previous = None
    for calls in range(1, 101):
        pose = k.forward_kinematics(angles)
        rho = geo.rod_residual_norm(pose, angles)
        print(f"  {calls:>4}  {rho:>18.3e}  {geo.max_pose_error(pose, target):>15.3e}")
        if pose == previous:
            print(f"  settled: call {calls} returned the same pose as call {calls - 1}, "
                  f"max pose error {geo.max_pose_error(pose, target):.1e}")
            break
        previous = pose
    else:
        print("  not settled after 100 calls")


if __name__ == "__main__":
    main()
