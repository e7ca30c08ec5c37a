"""Pictures: the sample mechanism at a tilted pose, a head built with
Geometry.three_pairs seen from the top, a map of how far the sample's
platform can tilt when lifted 3 cm above home, its servos' ranges included,
how far the platform strays from a straight 28 degree tilt when its
servos are driven one by one, in step, or by `Torso.plan`, and the largest
torque a servo holds for a 0.5 kg head over roll and pitch.

Writes mechanism.png, head_top.png, reach_map.png, motion_paths.png and
servo_torque.png into
the given directory (default: docs/images beside the examples, the pictures
the README shows).

Usage: python examples/pictures.py [output-directory]
Needs matplotlib (`pip install zandrel_torso_kinematics[plot]`).
"""

import dataclasses
import math
import pathlib
import sys

import numpy as np

from zandrel_torso import Geometry, Leg, Load, Torso, pose, sample_geometry

DEFAULT_DIRECTORY = pathlib.Path(__file__).resolve().parents[1] / "docs" / "images"


def main(argv):
    try:
        from zandrel_torso.plot import draw, reach_map
    except ImportError:
        print("pictures.py needs matplotlib: `python -m pip install matplotlib`.", file=sys.stderr)
        return 1
    directory = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT_DIRECTORY
    directory.mkdir(parents=True, exist_ok=True)
    geometry = sample_geometry("mm")
    written = [directory / name for name in ("mechanism.png", "head_top.png", "reach_map.png", "motion_paths.png",
                                                 "servo_torque.png")]

    tilted = geometry.home @ pose(roll=math.radians(12), pitch=math.radians(-6), yaw=math.radians(10), z=4.0)
    draw(geometry, tilted).figure.savefig(written[0], dpi=90)

    head = Geometry.three_pairs(base_radius=60.0, base_spread=math.radians(40), platform_radius=40.0,
                                platform_spread=math.radians(30), motor_arm_length=25.0, rod_length=95.0,
                                home_height=90.0, unit="mm")
    draw(head, head.home, view="top").figure.savefig(written[1], dpi=90)

    # Lifted 3 cm, the rods stand steeper and the edge of reach comes into
    # view; the servos' +-60 degrees end the tilt well before it.
    ax = reach_map(geometry, z=geometry.home[2, 3] + 30.0, span=math.radians(60), points=91)
    ax.figure.savefig(written[2], dpi=90)

    motion_paths(geometry).savefig(written[3], dpi=90)
    servo_torque(geometry).savefig(written[4], dpi=90)
    for path in written:
        print(f"wrote {path}")
    return 0


# ---------------------------------------------------------------- motion
# Two ways of moving servos that look reasonable and leave the path: each
# servo heading for its target on its own as fast as it may, and all of them
# in step along a straight line between the two sets of readings. Both keep
# the limits; neither keeps the platform on the straight path between the
# poses, which is what Torso.plan does.

RATE = 50.0  # Hz
SPEED, ACCELERATION = math.radians(350.0), 60.0  # a hobby servo: 350 deg/s, 60 rad/s^2


def clipped_per_servo(start, target, speed, acceleration):
    """Servo readings tick by tick: each servo as fast as its limits allow,
    braking in time to stop on its own target."""
    tick = 1.0 / RATE
    q, v, out = start.copy(), np.zeros_like(start), [start.copy()]
    while not np.array_equal(q, target):
        error = target - q
        half = acceleration * tick / 2.0
        brake = -half + np.sqrt(half**2 + 2.0 * acceleration * np.abs(error))
        wanted = np.sign(error) * np.minimum.reduce([np.full_like(q, speed), brake, np.abs(error) / tick])
        v = np.clip(wanted, v - acceleration * tick, v + acceleration * tick)
        arrived = np.abs(v * tick) >= np.abs(error)
        q, v = np.where(arrived, target, q + v * tick), np.where(arrived, 0.0, v)
        out.append(q.copy())
    return np.array(out)


def synchronised(start, target, speed, acceleration):
    """Servo readings tick by tick along the straight line between the two
    sets, on one trapezoidal profile the servo with the farthest to go
    allows, so that all arrive together."""
    distance = float(np.max(np.abs(target - start)))
    top = min(speed / distance, math.sqrt(acceleration / distance))  # fraction of the line per second
    push = acceleration / distance
    ramp = top / push
    total = 1.0 / top + ramp
    t = np.minimum(np.arange(math.ceil(total * RATE) + 1) / RATE, total)
    sigma = np.where(t < ramp, push * t**2 / 2.0,
                     np.where(t > total - ramp, 1.0 - push * (total - t) ** 2 / 2.0, top * (t - ramp / 2.0)))
    sigma[-1] = 1.0
    return start + sigma[:, None] * (target - start)


def off_path(torso, a, b, readings):
    """Per tick, the distance of the platform origin (solved from the servo
    readings, warm from the tick before) from the segment between a's and b's."""
    start, line = a[:3, 3], b[:3, 3] - a[:3, 3]
    torso.reset(a)
    out = []
    for angles in torso.from_servo(readings):
        p = torso.solve_forward(angles).pose[:3, 3]
        along = float(np.clip((p - start) @ line / (line @ line), 0.0, 1.0)) if line @ line > 0.0 else 0.0
        out.append(float(np.linalg.norm(p - start - along * line)))
    return np.array(out)


def motion_paths(geometry):
    import matplotlib.pyplot as plt

    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution,
                dataclasses.replace(leg.servo, speed=SPEED, acceleration=ACCELERATION)) for leg in geometry.legs]
    torso = Torso(Geometry(geometry.motor_arm_length, geometry.rod_length, legs, geometry.unit, geometry.home))
    a = geometry.home
    b = a @ pose(roll=math.radians(28))
    start, target = torso.to_servo(torso.inverse(np.array([a, b])))
    plan = torso.plan(np.array([a, b]), RATE)
    runs = {
        "Torso.plan (on the straight path)": plan.servo_angles,
        "each servo on its own, at its limits": clipped_per_servo(start, target, SPEED, ACCELERATION),
        "all servos in step, straight in servo angles": synchronised(start, target, SPEED, ACCELERATION),
    }
    fig, ax = plt.subplots(figsize=(8, 4.5))
    for (label, readings), marker in zip(runs.items(), "os^"):
        ax.plot(np.arange(len(readings)) / RATE, off_path(torso, a, b, readings), marker=marker, label=label)
    ax.set_xlabel("time (s), one marker per 20 ms tick")
    ax.set_ylabel("platform origin off the straight path (mm)")
    ax.set_title("The sample tilting 28° about X from home at 50 Hz\n"
                 "servos limited to 350°/s and 60 rad/s²")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    return fig


# ---------------------------------------------------------------- torque

HEAD = Load(0.5, (0.0, 0.0, 30.0))  # 0.5 kg, its centre 30 mm above the platform origin


def servo_torque(geometry, span=math.radians(60), points=121):
    """The largest holding torque over the six servos, roll against pitch at
    home's height, for HEAD; blank where the pose fails its check (out of
    reach, a servo out of range, past a singularity)."""
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    torso = Torso(geometry)
    tilt = np.linspace(-span, span, points)
    poses = np.array([geometry.home @ pose(roll=roll, pitch=pitch) for pitch in tilt for roll in tilt])
    checked = torso.check(poses, load=HEAD)
    largest = np.abs(checked.torque).max(axis=1)
    largest[~checked.ok.all(axis=1)] = np.nan
    shown = np.ma.masked_invalid(largest.reshape(points, points))
    degrees = np.degrees(tilt)
    fig, ax = plt.subplots(figsize=(6.4, 5.2), layout="constrained")
    mesh = ax.pcolormesh(degrees, degrees, shown, cmap="viridis", norm=LogNorm(0.02, 2.0), shading="auto")
    lines = ax.contour(degrees, degrees, shown, levels=[0.05, 0.1, 0.25, 0.5, 1.0], colors="white", linewidths=1)
    ax.clabel(lines, fmt="%g N m", fontsize="small")
    fig.colorbar(mesh, ax=ax).set_label("largest servo torque (N m)")
    ax.set_xlabel("roll (degrees)")
    ax.set_ylabel("pitch (degrees)")
    ax.set_title("The sample holding a 0.5 kg head, centre 30 mm up\nblank: the pose fails its check")
    ax.set_aspect("equal")
    return fig


if __name__ == "__main__":
    sys.exit(main(sys.argv))
