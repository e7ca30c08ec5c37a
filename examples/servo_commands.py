"""From a trajectory to the pulse widths that drive the servos.

The sample's platform circles in a widening tilt (roll and pitch together,
like a head looking round in ever larger circles) at 50 Hz. Every pose is
checked before anything is sent: the whole trajectory goes through
Torso.check in one call, and the commands stop at the first pose where a leg
cannot reach or a servo would leave its range, saying which and why. Pulses
are printed every tenth tick, as they would be written to a servo driver.

Usage: python examples/servo_commands.py
"""

import math
import sys

import numpy as np

from zandrel_torso import Torso, pose, sample_geometry

RATE_HZ = 50
SECONDS = 4.0
TURNS = 2.0  # circles of the tilt over the run
LARGEST_TILT = math.radians(70.0)  # reached at the end, if nothing stops it first


def trajectory(torso):
    """(ticks, 4, 4) poses: a tilt circling about home, its size growing."""
    home = torso.geometry.home
    times = np.arange(int(SECONDS * RATE_HZ) + 1) / RATE_HZ
    tilt = LARGEST_TILT * times / SECONDS
    phase = 2.0 * math.pi * TURNS * times / SECONDS
    poses = np.array([home @ pose(roll=t * math.cos(p), pitch=t * math.sin(p)) for t, p in zip(tilt, phase)])
    return times, tilt, poses


def why(torso, checked, tick):
    """What stops the command at a tick, leg by leg."""
    reasons = []
    for leg in np.flatnonzero(~checked.ok[tick]).tolist():
        servo = torso.geometry.legs[leg].servo
        if math.isnan(checked.angles[tick, leg]):
            reasons.append(f"leg {leg} cannot reach the pose")
        else:
            reasons.append(
                f"leg {leg}'s servo would turn to {math.degrees(checked.servo_angles[tick, leg]):.1f} degrees, "
                f"outside its range [{math.degrees(servo.lower):.0f}, {math.degrees(servo.upper):.0f}]"
            )
    return "; ".join(reasons)


def main():
    torso = Torso(sample_geometry())
    times, tilt, poses = trajectory(torso)
    checked = torso.check(poses)
    pulses = torso.to_pulses(checked.angles)  # NaN wherever a leg is not fit to command

    fit = checked.ok.all(axis=1)
    stop = int(np.argmin(fit)) if not fit.all() else len(fit)
    print(f"{'tick':>4} {'t (s)':>6} {'tilt (deg)':>10}   pulse widths (microseconds), legs 0-5")
    for tick in range(stop):
        if tick % 10 == 0 or tick == stop - 1:
            widths = " ".join(f"{w:6.1f}" for w in pulses[tick])
            print(f"{tick:4d} {times[tick]:6.2f} {math.degrees(tilt[tick]):10.2f}   {widths}")
    if stop == len(fit):
        print(f"sent all {len(fit)} poses")
        return 0
    print(
        f"stopped before tick {stop} (t = {times[stop]:.2f} s, tilt {math.degrees(tilt[stop]):.2f} degrees): "
        f"{why(torso, checked, stop)}. Nothing from tick {stop} on was sent."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
