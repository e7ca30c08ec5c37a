"""The servo layer: servo angles and pulses, per-leg checks, stacks of poses,
the workspace around home and servo zeros from measurements."""

import dataclasses
import itertools
import math

import numpy as np
import pytest
from zandrel_torso import Geometry, Leg, Load, Servo, Torso, pose, sample_geometry

DEG = math.pi / 180.0
HOME_Z = 0.177
# Legs 2 and 5 of the sample cannot reach this pose; the other four can.
HALF_REACHED = pose(x=0.07, z=HOME_Z)


def with_servos(geometry, servos):
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, servo) for leg, servo in zip(geometry.legs, servos)]
    return Geometry(geometry.motor_arm_length, geometry.rod_length, legs, geometry.unit, geometry.home)


def random_poses(n, seed, angle=20 * DEG, offset=0.01):
    rng = np.random.default_rng(seed)
    return np.array([pose(*rng.uniform(-angle, angle, 3), *rng.uniform(-offset, offset, 2),
                          HOME_Z + rng.uniform(-offset, offset)) for _ in range(n)])


def test_servo_round_trip_on_both_directions_and_off_zeros():
    # Every combination of direction and a zero 10 degrees either side.
    servos = [Servo(zero=z * DEG, direction=d, lower=-120 * DEG, upper=150 * DEG)
              for d, z in itertools.product((1, -1), (-10, 0, 10))]
    torso = Torso(with_servos(sample_geometry(), servos))
    rng = np.random.default_rng(7)
    servo_angles = rng.uniform(-120 * DEG, 150 * DEG, size=(2000, 6))
    angles = torso.from_servo(servo_angles)
    assert np.all((angles >= -math.pi) & (angles < math.pi))
    np.testing.assert_allclose(torso.to_servo(angles), servo_angles, rtol=0, atol=1e-12)
    np.testing.assert_allclose(torso.from_servo(torso.to_servo(angles)), angles, rtol=0, atol=1e-12)
    # The sense of it: a servo of direction -1 reads less as θ grows.
    step = torso.to_servo(angles + 1e-3) - torso.to_servo(angles)
    np.testing.assert_allclose(step, np.broadcast_to([1e-3] * 3 + [-1e-3] * 3, step.shape), rtol=0, atol=1e-12)


def test_half_a_turn_from_zero_reads_plus_pi():
    torso = Torso(with_servos(sample_geometry(), [Servo(direction=d) for d in (1, -1) * 3]))
    assert np.all(torso.to_servo([-math.pi] * 6) == math.pi)


@pytest.mark.parametrize(("servo_angle", "width"), [(-60 * DEG, 900.0), (0.0, 1500.0), (60 * DEG, 2100.0),
                                                    (-60.001 * DEG, math.nan), (60.001 * DEG, math.nan),
                                                    (math.nan, math.nan)])
def test_pulses_map_the_range_linearly_and_never_clip(servo_angle, width):
    torso = Torso(sample_geometry())  # +-60 degrees on 900 to 2100 microseconds
    angles = torso.from_servo([servo_angle] * 6)
    np.testing.assert_allclose(torso.to_pulses(angles), [width] * 6, rtol=0, atol=1e-9)


def test_pulses_need_every_pulse_range():
    geometry = sample_geometry()
    servos = [leg.servo for leg in geometry.legs]
    servos[3] = Servo()
    with pytest.raises(ValueError, match="leg 3 has none"):
        Torso(with_servos(geometry, servos)).to_pulses([0.0] * 6)


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: Servo(direction=0), "direction must be +1 or -1, got 0"),
        (lambda: Servo(direction=True), "direction must be +1 or -1, got True"),
        (lambda: Servo(lower=0.5, upper=0.5), "lower must be below upper"),
        (lambda: Servo(lower=-90, upper=90), "lower must lie within [-pi, pi], got -90.0 (radians are expected"),
        (lambda: Servo(zero=math.nan), "zero must be finite, got nan"),
        (lambda: Servo(zero="0.1"), "zero must be a number, got '0.1'"),
        (lambda: Servo(pulse=(0.0, 2000.0)), "pulse widths must be positive microseconds"),
        (lambda: Servo(pulse=(1500.0, 1500.0)), "pulse widths must differ"),
        (lambda: Servo(pulse=(1500.0,)), "pulse must be (lower_us, upper_us)"),
        (lambda: Servo(speed=0.0), "speed must be positive (rad/s), got 0.0"),
        (lambda: Servo(acceleration=-60), "acceleration must be positive (rad/s²), got -60.0"),
        (lambda: Servo(speed=math.inf), "speed must be finite, got inf; leave it out (None) for no limit"),
        (lambda: Servo(acceleration=math.nan), "acceleration must be finite, got nan"),
        (lambda: Servo(speed=True), "speed must be a number, got True"),
        (lambda: Servo.from_dict({"acceleration": "60"}), "acceleration must be a number, got '60'"),
        (lambda: Servo.from_dict({"speeds": 6.0}),
         "unknown keys speeds (allowed: zero, direction, lower, upper, pulse, speed, acceleration, spline_teeth, torque)"),
        (lambda: Servo(torque=-1.0), "torque must be positive (N m), got -1.0"),
        (lambda: Servo(spline_teeth=24.5), "spline_teeth must be a whole number of teeth (2 or more), got 24.5"),
        (lambda: Servo(spline_teeth=1), "spline_teeth must be a whole number of teeth (2 or more), got 1"),
        (lambda: Leg([0.0] * 3, np.eye(4), 1, servo={"zero": 0.0}), "servo must be a Servo, got dict"),
        (lambda: Geometry.from_dict({**_SAMPLE_DICT, "legs": [{**_LEG, "servo": {"zero": 0.1, "offset": 2}}]}),
         "leg 0: servo: servo has unknown keys offset"),
        (lambda: Geometry.from_dict({**_SAMPLE_DICT, "legs": [{**_LEG, "servo": [0.1]}]}),
         "leg 0: servo must be a table"),
        (lambda: with_servos(sample_geometry(), [Servo(upper=0.5)] * 6),
         "home is outside the servo range of leg 0 (reading 90.3°, range [-180.0°, 28.6°]), leg 1"),
        (lambda: Torso(sample_geometry()).workspace(angle_step=0.0), "angle_step must be positive and finite"),
        (lambda: Torso(sample_geometry()).to_servo(np.zeros((2, 5))), "joint_angles must have shape (6,), got shape (2, 5)"),
        (lambda: Torso(sample_geometry()).check(np.zeros((2, 3, 4))), "t_world_platform must have shape (4, 4)"),
        (lambda: Torso(sample_geometry()).estimate_zeros(np.zeros((3, 6)), np.zeros((2, 4, 4))),
         "measured_poses must have shape (3, 4, 4), one pose per row of servo_angles"),
    ],
)
def test_each_servo_mistake_is_named(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert message in str(info.value)


@pytest.mark.parametrize("suffix", [".json", ".toml"])
def test_speed_acceleration_teeth_and_torque_go_through_files_only_when_set(tmp_path, suffix):
    speeds = [6.1, None, 0.5, None, 3, 1e3]
    accelerations = [60.0, 1e-3, None, None, 12, 1.0]
    teeth = [25, None, 24, None, None, 2]
    torques = [None, 1.2, 0.35, None, None, 2]
    geometry = with_servos(sample_geometry(), [
        dataclasses.replace(leg.servo, speed=v, acceleration=a, spline_teeth=n, torque=q)
        for leg, v, a, n, q in zip(sample_geometry().legs, speeds, accelerations, teeth, torques)])
    path = tmp_path / f"robot{suffix}"
    geometry.save(path)
    loaded = Geometry.load(path)
    assert loaded == geometry
    text = path.read_text()
    assert text.count("speed") == text.count("acceleration") == 4  # None is never written
    assert text.count("spline_teeth") == 3
    assert text.count("torque") == 3
    table = Torso(loaded)._servos
    np.testing.assert_array_equal(table.torque, [math.inf if x is None else x for x in torques])
    unlimited = [math.inf if x is None else x for x in speeds], [math.inf if x is None else x for x in accelerations]
    np.testing.assert_array_equal((table.speed, table.acceleration), unlimited)


_LEG = {"branch_platform": [0.03, 0.01, -0.03], "t_world_motor": np.eye(4).tolist(), "solution": 1}
_SAMPLE_DICT = {"unit": "m", "motor_arm_length": 0.04, "rod_length": 0.085, "home": pose(z=0.1).tolist()}


@pytest.mark.parametrize(("unit", "body_yaw"), [("m", None), ("mm", 0.3)])
def test_stacks_answer_as_single_calls_do(unit, body_yaw):
    torso = Torso(sample_geometry(unit))
    poses = np.concatenate((random_poses(7, seed=3, angle=40 * DEG), [HALF_REACHED]))
    if unit == "mm":
        poses[:, :3, 3] *= 1000.0
    angles = torso.inverse(poses, body_yaw)
    checked = torso.check(poses, body_yaw)
    assert angles.shape == checked.ok.shape == (8, 6)
    assert not checked.ok.all() and checked.ok.any()  # both kinds of rows are exercised
    for row, t in enumerate(poses):
        np.testing.assert_array_equal(angles[row], torso.inverse(t, body_yaw))
        single = torso.check(t, body_yaw)
        for field in ("reach", "angles", "servo_angles", "servo_margin", "singularity_margin", "ok"):
            np.testing.assert_array_equal(getattr(checked, field)[row], getattr(single, field))
        if body_yaw is None:
            np.testing.assert_array_equal(torso.reach(poses)[row], torso.reach(t))
        np.testing.assert_array_equal(torso.to_servo(angles)[row], torso.to_servo(angles[row]))
        np.testing.assert_array_equal(torso.to_pulses(angles)[row], torso.to_pulses(angles[row]))
    # A leg is fit to command exactly when it reaches, its servo is in range
    # and the pose is on home's side of every singularity.
    fit = np.isfinite(angles) & (checked.servo_margin >= 0.0)
    np.testing.assert_array_equal(checked.ok, fit & (checked.singularity_margin > 0.0)[:, None])
    assert np.all(np.isnan(torso.to_pulses(angles)) == ~fit)
    # A list of four poses is a stack too, not a pose to reject.
    assert torso.inverse(poses[:4].tolist(), body_yaw).shape == (4, 6)
    assert torso.inverse(poses[:0], body_yaw).shape == (0, 6)


def test_workspace_agrees_with_a_scan_of_single_poses():
    torso = Torso(sample_geometry("mm"))
    step_angle, step_length = 2 * DEG, 1.0
    found = torso.workspace(angle_step=step_angle, length_step=step_length)
    home = torso.geometry.home
    for axis, name in enumerate(("roll", "pitch", "yaw", "x", "y", "z")):
        step = step_angle if axis < 3 else step_length
        k = 1
        while True:
            moves = [pose(**{name: sign * k * step}) for sign in (1, -1)]
            if not all(torso.check(home @ move).ok.all() for move in moves):
                break
            k += 1
        assert getattr(found, name) == pytest.approx((k - 1) * step, abs=1e-9), name
        assert getattr(found, name) > 0.0


def test_zeros_recovered_from_noise_free_and_noisy_measurements():
    truth = sample_geometry()
    rng = np.random.default_rng(5)
    offsets = rng.uniform(-5 * DEG, 5 * DEG, 6)
    # The robot's horns sit a few degrees off the zeros its geometry file says.
    robot = Torso(with_servos(truth, [Servo(leg.servo.zero + off, leg.servo.direction, leg.servo.lower,
                                            leg.servo.upper, leg.servo.pulse)
                                      for leg, off in zip(truth.legs, offsets)]))
    poses = np.concatenate((random_poses(40, seed=8), [HALF_REACHED]))
    readings = robot.to_servo(robot.inverse(poses))
    readings[-1] = np.where(np.isnan(readings[-1]), 0.3, readings[-1])  # the servos report something there
    readings[0, 4] = math.nan  # a reading lost
    nominal = Torso(truth)
    exact = nominal.estimate_zeros(readings, poses)
    expected_zeros = [leg.servo.zero for leg in robot.geometry.legs]
    np.testing.assert_allclose(exact.zeros, expected_zeros, rtol=0, atol=1e-9)
    assert np.all(exact.residual < 1e-9)
    assert np.nanmax(exact.sample_residual) < 1e-9 and exact.sample_residual.shape == (41,)
    np.testing.assert_array_equal(exact.samples, [41, 41, 40, 41, 40, 40])
    # One reading gone wrong stands out in its sample's residual.
    readings[17, 2] += 0.2
    assert np.argmax(nominal.estimate_zeros(readings, poses).sample_residual) == 17
    readings[17, 2] -= 0.2

    noise = 2e-3
    noisy = nominal.estimate_zeros(readings + rng.normal(0.0, noise, readings.shape), poses)
    np.testing.assert_allclose(noisy.zeros, expected_zeros, rtol=0, atol=4 * noise / math.sqrt(40))
    np.testing.assert_allclose(noisy.residual, noise, rtol=0.35)


@pytest.mark.parametrize(("limited", "lift", "load", "marked"), [
    (True, 0.03, None, "reached, but a servo is out of range"),
    (False, 0.03, None, None),
    (False, 0.0, None, "reached, but past a singularity"),  # roll and pitch past 58 and 50 degrees
    # 0.03 N m at the lifted home, up to 0.4 N m tilted
    (False, 0.03, Load(0.5, (0.0, 0.0, 0.03)), "reached, but a servo cannot hold the load"),
])
def test_reach_map_marks_servo_limits_and_singularities_only_where_they_bite(limited, lift, load, marked):
    pytest.importorskip("matplotlib")
    from zandrel_torso.plot import reach_map

    geometry = sample_geometry() if limited else with_servos(sample_geometry(), [Servo(torque=0.2)] * 6)
    ax = reach_map(geometry, z=HOME_Z + lift, span=60 * DEG, points=15, load=load)
    legend = ax.get_legend()
    assert (legend is not None) == (marked is not None)
    if marked:
        assert legend.get_texts()[0].get_text() == marked
