"""Tracking: forward kinematics following a moving platform, one step per tick.

A 200 Hz control loop: every tick the motor angles for the current target
pose come from inverse kinematics (standing in for the encoders), and one
forward_kinematics call turns them back into a pose. Each call makes a single
solver step from the pose the previous call left, so the estimate trails a
moving target by roughly one tick's worth of motion; once the target stops it
settles within a few ticks. The rod-length residual shows how far the
estimated pose is from closing every leg at the measured angles.

Run with `python examples/tracking.py` once the module is installed.
"""

import math

import numpy as np

from zandrel_torso import SAMPLE_HOME_HEIGHT as HOME_Z
from zandrel_torso import Torso, pose, sample_geometry

RATE_HZ = 200.0
MOTION_TICKS = 200  # one second of wobble
HOLD_TICKS = 20  # then the target stands still
WARM_UP_TICKS = 5  # left out of the tracking summary

# Wobble: (amplitude, frequency in Hz) of roll, pitch and heave.
ROLL = (math.radians(2.0), 2.0)
PITCH = (math.radians(1.5), 3.0)
HEAVE = (0.002, 1.5)


def target(tick):
    """Target platform pose at a tick; starts at home and stops moving after
    MOTION_TICKS."""
    t = min(tick, MOTION_TICKS) / RATE_HZ

    def wave(amplitude_frequency):
        amplitude, frequency = amplitude_frequency
        return amplitude * math.sin(2.0 * math.pi * frequency * t)

    return pose(roll=wave(ROLL), pitch=wave(PITCH), z=HOME_Z + wave(HEAVE))


def max_pose_error(p, q):
    """Largest element-wise difference between two 4x4 poses."""
    return float(np.max(np.abs(np.asarray(p) - np.asarray(q))))


def main():
    torso = Torso(sample_geometry())
    k = torso.kinematics  # the extension's object: what a control loop calls
    k.reset_forward_kinematics(pose(z=HOME_Z))

    print(
        f"Tracking at {RATE_HZ:.0f} Hz, one forward-kinematics step per tick: "
        f"roll {math.degrees(ROLL[0]):.1f} deg @ {ROLL[1]:g} Hz, "
        f"pitch {math.degrees(PITCH[0]):.1f} deg @ {PITCH[1]:g} Hz, "
        f"heave {HEAVE[0] * 1000:.1f} mm @ {HEAVE[1]:g} Hz; "
        f"target held still after tick {MOTION_TICKS}"
    )
    print(f"{'tick':>5} {'time (s)':>9} {'max pose error':>15} {'rod residual (m)':>17}")

    tracking_error = tracking_residual = largest_move = 0.0
    previous = None
    for tick in range(MOTION_TICKS + HOLD_TICKS + 1):
        goal = target(tick)
        angles = k.inverse_kinematics(goal)
        estimate = k.forward_kinematics(angles)
        error = max_pose_error(estimate, goal)
        residual = float(np.linalg.norm(torso.rod_errors(estimate, angles)))

        if tick % 10 == 0:
            print(f"{tick:>5} {tick / RATE_HZ:>9.3f} {error:>15.3e} {residual:>17.3e}")
        if WARM_UP_TICKS <= tick <= MOTION_TICKS:
            tracking_error = max(tracking_error, error)
            tracking_residual = max(tracking_residual, residual)
        if previous is not None:
            largest_move = max(largest_move, max_pose_error(goal, previous))
        previous = goal

    print(
        f"max pose error while moving (ticks {WARM_UP_TICKS}-{MOTION_TICKS}): {tracking_error:.3e}"
        f"  (target moves up to {largest_move:.3e} per tick)"
    )
    print(f"max rod residual while moving: {tracking_residual:.3e} m")
    print(f"pose error after holding still for {HOLD_TICKS} ticks: {error:.3e}")


if __name__ == "__main__":
    main()
