"""The studio's logic, driven without a browser: its readouts are the
check's, its colours follow each leg's first problem, and play gives the
plan through the keyframes or says in words why there is none."""

import dataclasses
import math

import numpy as np
import pytest

from zandrel_torso import Geometry, Leg, Load, Torso, pose, sample_geometry
from zandrel_torso.studio import LEG_COLOURS, PLATFORM_COLOURS, Studio

AXES = ("roll", "pitch", "yaw", "x", "y", "z")


def weak_servos(unit):
    """The sample with servos that hold little: every kind of failure
    turns up within a sweep of the axes."""
    g = sample_geometry(unit)
    legs = [Leg(leg.branch_platform, leg.t_world_motor, leg.solution, dataclasses.replace(leg.servo, torque=0.05))
            for leg in g.legs]
    return Geometry(g.motor_arm_length, g.rod_length, legs, unit, g.home)


def sweep(unit):
    """Slider values along each axis, one at a time, well past where
    every leg gives up."""
    far = 0.08 if unit == "m" else 80.0
    for axis in AXES:
        for value in np.linspace(-150.0, 150.0, 31) if axis in AXES[:3] else np.linspace(-far, far, 31):
            yield {axis: float(value)}


@pytest.fixture(scope="module", params=["m", "mm"])
def loaded(request):
    unit = request.param
    return Studio(Torso(weak_servos(unit)), Load(0.5, (0.0, 0.0, 0.03 if unit == "m" else 30.0))), unit


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def test_readouts_are_the_checks_numbers_and_colours_follow_the_first_problem(loaded):
    studio, unit = loaded
    torso, load = studio.torso, studio.load
    seen = set()
    for offsets in sweep(unit):
        readouts = studio.set_offsets(**offsets)
        turn = {k: math.radians(v) if k in AXES[:3] else v for k, v in offsets.items()}
        expected_pose = studio.home @ pose(**turn)
        np.testing.assert_allclose(readouts.pose, expected_pose, atol=1e-12)
        checked = torso.check(readouts.pose, load=load)
        assert readouts.explain == tuple(checked.explain())
        assert readouts.ok == bool(checked.ok.all())
        assert same(readouts.singularity_margin, float(checked.singularity_margin))
        assert readouts.singular == (float(checked.singularity_margin) <= 0.0)
        assert readouts.platform_colour == PLATFORM_COLOURS[readouts.singular]
        for leg in readouts.legs:
            i = leg.leg
            for got, want in ((leg.angle, checked.angles[i]), (leg.servo, checked.servo_angles[i]),
                              (leg.reach, checked.reach[i]), (leg.servo_margin, checked.servo_margin[i]),
                              (leg.torque, checked.torque[i])):
                assert same(got, float(want))
            if math.isnan(leg.angle):
                verdict = "out of reach"
            elif leg.servo_margin < 0.0:
                verdict = "servo out of range"
            elif checked.torque_margin[i] < 0.0:
                verdict = "overloaded"
            else:
                verdict = "ok"
                assert same(leg.pulse, float(torso.to_pulses(checked.angles)[i]))
            assert (leg.verdict, leg.colour) == (verdict, LEG_COLOURS[verdict])
            seen.add(verdict)
        seen.add("singular" if readouts.singular else "")
    # The sweep met every kind of failure the page colours.
    assert seen >= {"ok", "out of reach", "servo out of range", "overloaded", "singular"}


def test_without_a_load_there_is_no_torque():
    readouts = Studio(Torso(sample_geometry())).set_offsets(roll=10.0)
    assert all(leg.torque is None for leg in readouts.legs)


@pytest.mark.parametrize("unit", ["m", "mm"])
def test_play_runs_the_plan_through_the_keyframes(unit):
    studio = Studio(Torso(sample_geometry(unit)))
    shift = 0.005 if unit == "m" else 5.0
    for offsets in ({}, {"roll": 8.0, "z": shift}, {"yaw": -10.0, "x": -shift}):
        studio.set_offsets(**offsets)
        studio.add_keyframe()
    playback = studio.play()
    trajectory = playback.trajectory
    assert trajectory is not None and str(len(studio.keyframes)) in playback.message
    np.testing.assert_allclose(trajectory.poses[0], studio.keyframes[0], atol=1e-9)
    np.testing.assert_allclose(trajectory.poses[-1], studio.keyframes[-1], atol=1e-9)
    assert trajectory.times[-1] == pytest.approx(trajectory.duration)
    studio.clear_keyframes()
    assert studio.keyframes == () and studio.play().trajectory is None


def test_a_plan_that_fails_says_why_in_its_own_words():
    studio = Studio(Torso(sample_geometry()))
    studio.add_keyframe()
    studio.set_offsets(roll=80.0)  # past the servos' range
    studio.add_keyframe()
    with pytest.raises(ValueError) as raised:
        studio.torso.plan(np.array(studio.keyframes), 50.0)
    playback = studio.play()
    assert playback.trajectory is None and playback.message == str(raised.value)


def test_set_pose_takes_a_matrix_and_refuses_what_is_no_pose():
    studio = Studio(Torso(sample_geometry()))
    target = studio.home @ pose(pitch=0.1)
    assert np.array_equal(studio.set_pose(target).pose, target) and studio.offsets is None
    with pytest.raises(ValueError):
        studio.set_pose(2.0 * target)


def test_sliders_reach_past_the_workspace_on_every_axis():
    studio = Studio(Torso(sample_geometry("mm")))
    found, limits = studio.workspace(), studio.slider_limits()
    for axis in AXES:
        figure = getattr(found, axis)
        figure = math.degrees(figure) if axis in AXES[:3] else figure
        assert figure < getattr(limits, axis)


def test_the_commands_servo_limits_make_the_play_take_its_time(capsys):
    from zandrel_torso.studio.__main__ import main, with_servo_limits

    speed = math.radians(60.0)
    geometry = with_servo_limits(sample_geometry(), speed, math.radians(600.0))
    studio = Studio(Torso(geometry))
    studio.add_keyframe()
    studio.set_offsets(roll=10.0)
    studio.add_keyframe()
    trajectory = studio.play().trajectory
    assert trajectory is not None
    # No servo can move its reading faster than its speed limit.
    travel = np.abs(np.diff(trajectory.servo_angles[[0, -1]], axis=0)).max()
    assert trajectory.duration >= travel / speed
    # A limit the servo refuses stops the command before any server starts.
    assert main(["--speed", "-5"]) == 2
    assert "speed" in capsys.readouterr().err
