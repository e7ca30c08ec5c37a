"""Calibrating a robot as built, from poses a webcam measures.

The robot here is simulated (seeded): the sample torso with every servo
zero up to 3 degrees off, every horn, rod, rod anchor and motor position
about half a millimetre off, and the horn of leg 4 pushed onto its spline
one tooth round. A webcam watching a printed marker on the platform sees
each pose to about 0.5 mm and 0.3 degrees. The servos are commanded to 30
poses around home, the camera measures each, and `Torso.calibrate` finds
the robot as built. Fifty other poses then show how far each model's
forward answer is from where the platform really is.

Usage: python examples/calibration.py
"""

import dataclasses
import math

import numpy as np

from zandrel_torso import Geometry, Leg, Torso, pose, sample_geometry

POSE_NOISE_MM = 0.5
ROTATION_NOISE_DEG = 0.3
rng = np.random.default_rng(2026)


def design():
    """The sample torso (mm), its servos with 25-tooth splines."""
    g = sample_geometry("mm")
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, dataclasses.replace(leg.servo, spline_teeth=25))
            for leg in g.legs]
    return Geometry(g.motor_arm_length, g.rod_length, legs, "mm", g.home)


def as_built(nominal, tooth_off_leg=4):
    """The design as a builder's hands made it."""
    legs = []
    for i, leg in enumerate(nominal.legs):
        motor = leg.t_world_motor.copy()
        motor[:3, 3] += rng.normal(0.0, 0.5, 3)
        off = rng.uniform(-3.0, 3.0) + (360.0 / 25 if i == tooth_off_leg else 0.0)
        legs.append(Leg(leg.branch_platform + rng.normal(0.0, 0.5, 3), motor, leg.solution,
                        dataclasses.replace(leg.servo, zero=leg.servo.zero + math.radians(off)),
                        nominal.motor_arm_length + rng.normal(0.0, 0.5), nominal.rod_length + rng.normal(0.0, 0.5)))
    return Geometry(nominal.motor_arm_length, nominal.rod_length, legs, "mm", nominal.home)


def poses_near_home(robot, count):
    """Poses the robot can take: tilts up to 0.2 rad, shifts up to 8 mm."""
    torso, out = Torso(robot), []
    while len(out) < count:
        t = robot.home @ pose(*rng.uniform(-0.2, 0.2, 3), *rng.uniform(-8.0, 8.0, 3))
        if torso.check(t).ok.all():
            out.append(t)
    return np.array(out)


def camera(t):
    """What the webcam reports for a true pose."""
    noise = pose(*np.radians(rng.normal(0.0, ROTATION_NOISE_DEG, 3)), *rng.normal(0.0, POSE_NOISE_MM, 3))
    return t @ noise


def forward_errors(model, truth, poses):
    """RMS position (mm) and rotation (degrees) of the model's forward answer
    for the readings that put the true robot at each pose."""
    readings = Torso(truth).to_servo(Torso(truth).inverse(poses))
    torso = Torso(model)
    position, rotation = [], []
    for t, r in zip(poses, readings):
        found = torso.solve_forward(torso.from_servo(r), start=t).pose
        position.append(np.linalg.norm(found[:3, 3] - t[:3, 3]))
        cos = (np.trace(t[:3, :3].T @ found[:3, :3]) - 1.0) / 2.0
        rotation.append(math.degrees(math.acos(min(1.0, max(-1.0, cos)))))
    return math.sqrt(np.mean(np.square(position))), math.sqrt(np.mean(np.square(rotation)))


nominal = design()
truth = as_built(nominal)
measured_at = poses_near_home(truth, 30)
readings = Torso(truth).to_servo(Torso(truth).inverse(measured_at))  # as commanded
seen = np.array([camera(t) for t in measured_at])

zeros_only = Torso(nominal).calibrate(readings, seen, parameters=("zero",))
found = Torso(nominal).calibrate(readings, seen)

held_out = poses_near_home(truth, 50)
print("forward answers on 50 other poses, RMS against the truth:")
print("| model | position mm | rotation deg |")
print("|---|---:|---:|")
for name, model in (("nominal", nominal), ("zeros only", zeros_only.geometry), ("calibrated", found.geometry)):
    position, rotation = forward_errors(model, truth, held_out)
    print(f"| {name} | {position:.2f} | {rotation:.3f} |")
print(f"calibration residual: {found.residual.position:.2f} mm, {math.degrees(found.residual.rotation):.2f} deg "
      f"(the camera's noise: {POSE_NOISE_MM} mm, {ROTATION_NOISE_DEG} deg per axis)")
print("findings:")
for finding in found.findings:
    print(f"  {finding}")
print("rod lengths (mm), true and calibrated:")
print("  true       ", np.round(truth.rod_lengths, 2))
print("  calibrated ", np.round(found.geometry.rod_lengths, 2), "+-", np.round(found.parameter_std["rod_length"], 2))
found.geometry.save("calibrated.json")
print("saved calibrated.json")
