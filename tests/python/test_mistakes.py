"""Usage mistakes, in files and in arguments: each a ValueError that names
where it is (the file, the key, the leg, the sample) in a message of
bounded length; and home, which is named or found, never guessed."""

import json
import math
import os
import threading
from fractions import Fraction

import numpy as np
import pytest
from zandrel_torso import Geometry, Leg, Servo, Torso, pose, sample_geometry

HOME_Z = 0.177
# Longest message allowed: a message shows what it found, cut short.
LONGEST = 1000


def sample_data(**changes):
    """The sample's file as a dict, with leg fields changed as legN__key."""
    data = json.loads(sample_geometry().to_json())
    for key, value in changes.items():
        where, _, field = key.rpartition("__")
        (data["legs"][int(where[3:])] if where else data)[field] = value
    return data


def servo_changed(index, **fields):
    data = sample_data()
    data["legs"][index]["servo"].update(fields)
    return data


def bare_legs():
    """The sample's legs without servos: a mirror image of home below the
    motors works as well as home above them."""
    return [Leg(leg.branch_platform, leg.t_world_motor, leg.solution) for leg in sample_geometry().legs]


def without(data, key):
    return {k: v for k, v in data.items() if k != key}


SAMPLE_JSON = sample_geometry().to_json()
FIRST_LEG = sample_data()["legs"][0]
NEGATIVE_ZERO_TWIN = {**FIRST_LEG, "branch_platform": [x if x else -0.0 for x in FIRST_LEG["branch_platform"]]}


@pytest.mark.parametrize(
    ("name", "content", "fragment"),
    [
        ("dup.json", SAMPLE_JSON.replace('"unit": "m",', '"unit": "m", "unit": "mm",'),
         "the key 'unit' is given twice in one table"),
        ("dup.toml", 'unit = "m"\nunit = "mm"\n', "dup.toml: "),
        ("leg1.json", servo_changed(1, lower="a"), "leg 1: servo: lower must be a number, got 'a'"),
        ("leg4.json", servo_changed(4, pulse=[1.0, 2.0]), "leg 4: servo: pulse (1.0, 2.0) looks like milliseconds?"),
        ("inf.json", sample_data(rod_length=1e400), "rod_length must be a positive finite length, got inf"),
        ("big.json", SAMPLE_JSON.replace('"rod_length": 0.085', '"rod_length": 1' + "0" * 400),
         "rod_length must be a number within a double's range"),
        ("bigleg.json", SAMPLE_JSON.replace("-0.03]", "1" + "0" * 400 + "]", 1),
         "leg 0: branch_platform must be an array of real numbers"),
        ("deep.json", SAMPLE_JSON.replace('"home": [', '"home": [' + "[" * 100_000 + "]" * 100_000 + ",", 1),
         "recursion"),
        ("nested.json", sample_data(home=[[[1.0]]] * 4), "home must hold numbers, got [1.0]"),
        ("latin1.json", SAMPLE_JSON.replace('"m"', '"\u00b5m"').encode("latin-1"), "not UTF-8 text"),
        ("list.json", "[1, 2]", "expected a table at the top level"),
        ("twin.json", {**sample_data(), "legs": [FIRST_LEG, NEGATIVE_ZERO_TWIN]}, "leg 1 repeats leg 0 exactly"),
        ("side.json", sample_data(home="sideways"), 'home must be a 4x4 pose, "above" or "below", got \'sideways\''),
        ("servo.json", servo_changed(3, zero=0.3), "home is outside the servo range of leg 3 (reading 73.2°, range [-60.0°, 60.0°])"),
        ("both.json", {**without(sample_data(), "home"), "legs": [without(leg, "servo") for leg in sample_data()["legs"]]},
         'z = 0.178638 m above them or at z = 0.0373617 m below them. Give home="above" or home="below" (in a file: "home": "above"'),
        ("huge.json", " " * (1 << 20) + SAMPLE_JSON, "larger than 1048576 bytes"),
        ("long.json", sample_data(leg0__solution=[7.0] * 100_000), "leg 0: solution must be +1 or -1, got [7.0, 7.0"),
    ],
)
def test_each_file_mistake_names_the_file_and_where(tmp_path, name, content, fragment):
    path = tmp_path / name
    content = json.dumps(content) if isinstance(content, dict) else content
    path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    with pytest.raises(ValueError) as info:
        Geometry.load(path)
    assert str(info.value).startswith(f"{path}: ")
    assert fragment in str(info.value)
    assert len(str(info.value)) < LONGEST


@pytest.mark.parametrize("special", ["fifo", "/dev/zero", "directory"])
def test_only_regular_files_are_read(tmp_path, special):
    path = tmp_path / "robot.json"
    release = None
    if special == "fifo":
        os.mkfifo(path)
        # Were the open to wait for a writer, this writer would end the wait
        # with an empty file, and the message would be JSON's, not ours.
        release = threading.Timer(5.0, lambda: open(path, "wb").close())
        release.start()
    elif special == "directory":
        path.mkdir()
    else:
        path = special
    try:
        with pytest.raises(ValueError, match="not a regular file"):
            Geometry.load(path)
    finally:
        if release is not None:
            release.cancel()


def test_home_is_named_or_found_on_its_only_side():
    legs = bare_legs()
    above = Geometry(0.04, 0.085, legs, home="above")
    below = Geometry(0.04, 0.085, legs, home="below")
    top = max(leg.t_world_motor[2, 3] for leg in legs)
    assert below.home[2, 3] < top < above.home[2, 3]
    for geometry in (above, below):
        assert np.all(Torso(geometry).reach(geometry.home) > 0.0)
    # The sample's servos cannot take the mirror image: only above is left.
    assert Geometry(0.04, 0.085, sample_geometry().legs).home[2, 3] == above.home[2, 3]


TORSO = Torso(sample_geometry())
HOME = pose(z=HOME_Z)
TILTED = np.array([pose(roll=0.1 * i, z=HOME_Z) for i in range(3)])


def _draw(*args, **kwargs):
    pytest.importorskip("matplotlib")
    from zandrel_torso.plot import draw

    return draw(sample_geometry(), *args, **kwargs)


def _reach_map(**kwargs):
    pytest.importorskip("matplotlib")
    from zandrel_torso.plot import reach_map

    return reach_map(sample_geometry(), **{"z": HOME_Z, **kwargs})


@pytest.mark.parametrize(
    ("misuse", "fragment"),
    [
        (lambda: TORSO.check(HOME + 5j), "t_world_platform must be an array of real numbers of shape (4, 4) or (N, 4, 4): got complex"),
        (lambda: TORSO.inverse(HOME + 0j), "got complex numbers"),
        (lambda: TORSO.inverse([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, "0.177"], [0, 0, 0, 1]]), "got strings"),
        (lambda: TORSO.reach(np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, "0.177"], [0, 0, 0, 1]], dtype=object)),
         "got the string '0.177'"),
        (lambda: TORSO.to_servo(np.array([Fraction(1, 3)] * 5 + ["2"], dtype=object)), "got the string '2'"),
        (lambda: TORSO.from_servo(np.zeros(6, dtype=complex)), "servo_angles must be an array of real numbers"),
        (lambda: TORSO.rod_errors(HOME, ["0.1"] * 6), "joint_angles must be an array of real numbers of shape (6,)"),
        (lambda: TORSO.inverse(HOME, body_yaw="0.3"), "body_yaw must be a real number, got '0.3'"),
        (lambda: TORSO.solve_forward([0.0] * 6, max_steps=1.5), "max_steps must be a whole number, got 1.5"),
        (lambda: TORSO.solve_forward([0.0] * 6, max_steps=True), "max_steps must be a whole number, got True"),
        (lambda: TORSO.from_pulses([[1500.0] * 6] * 2 + [[1500.0] * 7]), "pulses must be an array of real numbers"),
        (lambda: TORSO.estimate_zeros(np.zeros((3, 6)), np.stack([HOME, HOME * np.nan, HOME])), "measured_poses[1] has non-finite"),
        (lambda: TORSO.estimate_zeros(np.zeros((2, 6)), np.stack([HOME, 2.0 * HOME])), "measured_poses[1]: the bottom row"),
        (lambda: TORSO.estimate_zeros(np.zeros((1, 6)), [HOME @ np.diag([1.0, 1.0, -1.0, 1.0])]), "measured_poses[0]: the rotation"),
        (lambda: Leg([0.0, 0.0, 1j], np.eye(4), 1), "branch_platform must be an array of real numbers of shape (3,): got complex"),
        (lambda: Leg([0.0] * 3, np.eye(4), "x" * 100_000), "solution must be +1 or -1, got 'xxx"),
        (lambda: Geometry(0.04, 0.085, bare_legs()), 'home="above" or home="below"'),
        (lambda: Geometry(0.04, 0.085, bare_legs(), home="up"), 'home must be a 4x4 pose, "above" or "below", got \'up\''),
        (lambda: Geometry(0.04, 0.085, bare_legs(), home=np.eye(4) * 1j), "home must be an array of real numbers"),
        (lambda: Geometry("0.04", 0.085, []), "motor_arm_length must be a number, got '0.04'"),
        (lambda: Geometry(10**400, 0.085, []), "motor_arm_length must be a number within a double's range"),
        (lambda: Geometry.from_dict({**sample_data(), "legs": [{**FIRST_LEG, "servo": {1: 0.5}}]}),
         "leg 0: servo: servo has unknown keys 1"),
        (lambda: Geometry.from_dict([("unit", "m")]), "a geometry is a table of"),
        (lambda: sample_geometry().save("robot.yaml"), "robot.yaml: save writes .json or .toml files"),
        (lambda: Servo(pulse=(1.0, 2.0)), "milliseconds? widths are in microseconds"),
        (lambda: Servo(pulse=(2100.0, 900.0)), "give direction=-1"),
        (lambda: _draw(np.zeros((4, 4))), "t_world_platform: the bottom row must be (0, 0, 0, 1)"),
        (lambda: _draw(pose(z=math.nan)), "t_world_platform has non-finite elements"),
        (lambda: _draw(HOME @ np.diag([1.0, 2.0, 1.0, 1.0])), "t_world_platform: the rotation block is not orthonormal"),
        (lambda: _draw(HOME, view="front"), 'view must be "default", "top" or "side"'),
        (lambda: _reach_map(z=math.nan), "reach_map: z must be a finite number, got nan"),
        (lambda: _reach_map(span=4.0), "reach_map: span must lie in (0, pi)"),
        (lambda: _reach_map(points=1.5), "reach_map: points must be a whole number"),
    ],
)
def test_each_argument_mistake_is_named(misuse, fragment):
    with pytest.raises(ValueError) as info:
        misuse()
    assert fragment in str(info.value)
    assert len(str(info.value)) < LONGEST


def test_from_pulses_undoes_to_pulses_and_refuses_widths_beyond_the_range():
    rng = np.random.default_rng(11)
    tilts = [pose(*rng.uniform(-0.6, 0.6, 3), *rng.uniform(-0.01, 0.01, 2), HOME_Z) for _ in range(200)]
    angles = TORSO.inverse(np.array(tilts))
    widths = TORSO.to_pulses(angles)
    assert np.isnan(widths).any() and np.isfinite(widths).any()  # both kinds of rows are exercised
    back = TORSO.from_pulses(widths)
    np.testing.assert_array_equal(np.isnan(back), np.isnan(widths))
    ok = np.isfinite(widths)
    np.testing.assert_allclose(back[ok], angles[ok], rtol=0, atol=1e-12)
    np.testing.assert_array_equal(TORSO.from_pulses(widths[3]), back[3])
    # The ends of the range (900 and 2100 µs) read as the servo's limits;
    # a microsecond beyond them is no angle the servo goes to.
    ends = TORSO.to_servo(TORSO.from_pulses([[900.0, 2100.0, 899.0, 2101.0, math.nan, 1500.0]]))
    np.testing.assert_allclose(ends[0, [0, 1, 5]], [-math.pi / 3, math.pi / 3, 0.0], rtol=0, atol=1e-12)
    assert np.isnan(ends[0, 2:5]).all()
