"""Plot motor angles along a trajectory and forward-kinematics convergence.

Left: the six motor angles (inverse kinematics) while the platform looks
around: a circling tilt of 10 degrees with a slow +-15 degree yaw sway.
Right: how successive forward_kinematics calls close in on a fixed target
(10 degrees of roll plus 5 mm of lift) starting from the home pose: the
largest pose-element error and the rod-length residual per call, on a log
scale. The solver stops stepping once the residual norm is at most 1e-6, so
both curves level off there.

Usage: python examples/plot_trajectory.py [output.png]   (default trajectory.png)
Needs matplotlib.
"""

import math
import sys

import numpy as np

from zandrel_torso import SAMPLE_HOME_HEIGHT as HOME_Z
from zandrel_torso import Torso, pose, sample_geometry

RATE_HZ = 200.0
DURATION_S = 2.0
FK_CALLS = 30


def looking_around(t):
    """Platform pose at time t (s): tilt circling once a second, yaw swaying
    once every two."""
    tilt = math.radians(10.0)
    phase = 2.0 * math.pi * t
    return pose(
        roll=tilt * math.sin(phase),
        pitch=tilt * math.cos(phase),
        yaw=math.radians(15.0) * math.sin(0.5 * phase),
        z=HOME_Z,
    )


def motor_angle_curves(torso):
    times = [i / RATE_HZ for i in range(int(DURATION_S * RATE_HZ) + 1)]
    per_leg = [[] for _ in torso.geometry.legs]
    for t in times:
        for leg, angle in zip(per_leg, torso.inverse(looking_around(t))):
            leg.append(math.degrees(angle))
    return times, per_leg


def convergence_curves(torso):
    target = pose(roll=math.radians(10.0), z=HOME_Z + 0.005)
    angles = torso.inverse(target)
    torso.reset(pose(z=HOME_Z))
    errors, residuals = [], []
    for _ in range(FK_CALLS):
        estimate = torso.forward_step(angles)
        errors.append(float(np.max(np.abs(estimate - target))))
        residuals.append(float(np.linalg.norm(torso.rod_errors(estimate, angles))))
    return errors, residuals


def main(argv):
    try:
        import matplotlib
    except ImportError:
        print(
            "plot_trajectory.py needs matplotlib, which is not installed; "
            "install it with `python -m pip install matplotlib`.",
            file=sys.stderr,
        )
        return 1
    matplotlib.use("Agg")  # file output only, no display needed
    import matplotlib.pyplot as plt

    output = argv[1] if len(argv) > 1 else "trajectory.png"
    torso = Torso(sample_geometry())
    times, per_leg = motor_angle_curves(torso)
    errors, residuals = convergence_curves(torso)

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5.2), layout="constrained")
    fig.suptitle("Sample six-leg platform")

    for leg, angles in enumerate(per_leg):
        left.plot(times, angles, label=f"motor {leg}")
    left.set_title("Motor angles: circling 10° tilt, ±15° yaw sway")
    left.set_xlabel("time (s)")
    left.set_ylabel("motor angle (degrees)")
    left.grid(True, alpha=0.3)
    # Below the axes: the curves fill the whole plot area.
    left.legend(ncols=3, fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.14))

    calls = range(1, len(errors) + 1)
    right.semilogy(calls, errors, marker="o", markersize=3, label="max pose element error")
    right.semilogy(calls, residuals, marker="s", markersize=3, label="rod residual norm (m)")
    right.set_title("Forward kinematics from home to roll 10° + lift 5 mm")
    right.set_xlabel("forward_kinematics call")
    right.set_ylabel("error (log scale)")
    right.grid(True, which="both", alpha=0.3)
    right.legend()

    fig.savefig(output, dpi=100)
    print(f"wrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
