"""Moving the platform within its servos' limits.

First a camera gimbal hung under a ceiling plate nods and looks to either
side through `Torso.plan`, sampled at 50 Hz; then a stream of random targets,
as a joystick would send them, goes through `Torso.follower` at 50 Hz to
whole-microsecond pulse widths. The servos are hobby servos of the MG996R
class: 350 degrees per second, and 60 rad/s² as a gentle acceleration.

Usage: python examples/motion.py
"""

import dataclasses
import math
from collections import Counter

import numpy as np

from zandrel_torso import Geometry, Leg, Torso, pose

RATE = 50.0  # Hz: one command every 20 ms
SPEED = math.radians(350.0)  # rad/s
ACCELERATION = 60.0  # rad/s²
deg = math.radians(1.0)


def with_limits(geometry):
    """The geometry with every servo limited to SPEED and ACCELERATION."""
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution,
                dataclasses.replace(leg.servo, speed=SPEED, acceleration=ACCELERATION)) for leg in geometry.legs]
    return Geometry(geometry.motor_arm_length, geometry.rod_length, legs, geometry.unit, geometry.home)


def hanging_gimbal():
    """Motors on a ceiling plate, the platform 70 mm below them, each
    platform joint shared by the rods of two motors of neighbouring pairs."""
    spread = Geometry.three_pairs(base_radius=70.0, base_spread=math.radians(30), platform_radius=35.0,
                                  platform_spread=0.01, motor_arm_length=20.0, rod_length=80.0,
                                  home_height=-70.0, unit="mm")
    legs = list(spread.legs)
    for i, j in ((0, 3), (1, 4), (2, 5)):  # the anchors 0.01 rad apart, joined
        joint = (legs[i].branch_platform + legs[j].branch_platform) / 2.0
        legs[i], legs[j] = (Leg(joint, leg.t_world_motor, leg.solution, leg.servo) for leg in (legs[i], legs[j]))
    return with_limits(Geometry(spread.motor_arm_length, spread.rod_length, legs, "mm", spread.home))


def nod_and_look():
    torso = Torso(hanging_gimbal())
    home = torso.geometry.home
    # The camera looks down: pitch nods it, yaw turns it to look to a side.
    keyframes = np.array([home, home @ pose(pitch=12 * deg), home @ pose(pitch=-8 * deg), home,
                          home @ pose(yaw=20 * deg), home @ pose(yaw=-20 * deg), home])
    plan = torso.plan(keyframes, RATE)
    # The plan keeps each reading's speed tick to tick within the limit.
    speeds = np.abs(np.diff(plan.servo_angles, axis=0)) * RATE
    print(f"nod and look: {len(keyframes)} keyframes, {len(plan.times)} commands, "
          f"duration {plan.duration:.2f} s")
    print(f"  peak servo speed {math.degrees(speeds.max()):.1f} deg/s, "
          f"limit {math.degrees(SPEED):.1f} deg/s")


def teleoperation(ticks=500, seed=1):
    torso = Torso(hanging_gimbal())
    home = torso.geometry.home
    rng = np.random.default_rng(seed)
    follower = torso.follower(RATE)
    statuses, clamped = Counter(), None
    target = home
    for tick in range(ticks):
        if tick % 25 == 0:  # a new target every half second; some lie beyond reach
            roll, pitch, yaw = rng.uniform(-20, 20, size=3) * deg
            target = home @ pose(roll=roll, pitch=pitch, yaw=yaw, z=rng.uniform(-8, 8))
        # The last second: the operator lets go, the follower brakes and holds.
        command = follower.step(target if tick < ticks - RATE else None)
        statuses[command.status] += 1
        if command.status == "clamped" and clamped is None:
            clamped = command
        # Every command is fit to send: no NaN to turn into a pulse of 0.
        assert np.isfinite(command.pulses).all()
        widths = np.rint(command.pulses).astype(np.uint16)  # for the servo driver
    print(f"teleoperation: {ticks} ticks at {RATE:g} Hz, "
          + ", ".join(f"{statuses[name]} {name}" for name in ("moving", "arrived", "clamped", "holding")))
    if clamped is not None:
        print(f"  first clamped command: leg {clamped.leg}, {clamped.reason}")
    print(f"  last pulse widths (us): {widths.tolist()}")


if __name__ == "__main__":
    nod_and_look()
    teleoperation()
