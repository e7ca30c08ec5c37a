"""Golden results: fixed inputs of the sample geometry and the module's
results for them, every number an exact hexadecimal float (float.hex).

    python tests/golden/golden.py write   # regenerate results.txt from the installed module
    python tests/golden/golden.py check   # recompute it and count the differences

Any build on any CPU must reproduce results.txt bit for bit, except that a
NaN matches a NaN whatever its sign bit (invalid operations give negative
NaNs on x86-64 and positive ones on AArch64). tests/python/test_golden.py
runs the same comparison under pytest.

The inputs are drawn once from a seeded generator (the sample geometry's
legs, random poses with and without body yaw and yaw limits, forward
kinematics sequences from fixed starts) and stored with the results, so
replaying the file needs neither the generator nor the C library's sin and
cos to agree with the machine that wrote it.

File format: one record a line, fields separated by spaces, "-" for an
absent argument, "=" between the inputs and the results; lines starting with
"#" are comments.

    model <motor_arm_length> <rod_length>           a new model
    branch <anchor x3> <t_world_motor x16> <solution>
    pose <t_world_platform x16>                      the pose the next ik/iks lines use
    ik <body_yaw> = <angle x6>
    iks <body_yaw> <max_relative_yaw> <max_body_yaw> = <yaw used> <angle x6>
    reset <t_world_platform x16>                     reset_forward_kinematics
    fk <angle x6> <body_yaw> = <pose x16>            one forward_kinematics call
"""

import math
import pathlib
import random
import struct
import sys

RESULTS = pathlib.Path(__file__).with_name("results.txt")
SEED = 14
POSES = 300
SEQUENCES = 32
STEPS = 6

REACH_ANGLE = math.radians(20.0)
REACH_OFFSET = 0.010


def _hex(x):
    """float.hex without the mantissa's trailing zeros; a NaN keeps its sign."""
    if x is None:
        return "-"
    if math.isnan(x):
        return "-nan" if math.copysign(1.0, x) < 0 else "nan"
    text = float.hex(x)
    if "." not in text:
        return text
    mantissa, exponent = text.split("p")
    return mantissa.rstrip("0").rstrip(".") + "p" + exponent


def _num(field):
    return None if field == "-" else float.fromhex(field)


def _flat(pose):
    return [x for row in pose for x in row]


def _rows(values):
    return [list(values[r * 4 : r * 4 + 4]) for r in range(4)]


def _bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_bits(expected, got):
    """Bit-for-bit equality of two doubles, any NaN matching any NaN."""
    if math.isnan(expected) or math.isnan(got):
        return math.isnan(expected) and math.isnan(got)
    return _bits(expected) == _bits(got)


# --- generation ----------------------------------------------------------------------


def _pose_params(rng, scale):
    angles = [rng.uniform(-REACH_ANGLE, REACH_ANGLE) * scale for _ in range(3)]
    return angles + [rng.uniform(-REACH_OFFSET, REACH_OFFSET) * scale for _ in range(3)]


def _limit(rng, present):
    return rng.uniform(0.0, 0.4) if present else None


def _records(geometry, kinematics_class):
    """Yields (kind, inputs) for every record, drawn from SEED."""
    rng = random.Random(SEED)
    yield "model", [geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH]
    for anchor, t_world_motor, solution in geometry.BRANCHES:
        yield "branch", list(anchor) + _flat(t_world_motor) + [solution]

    # Poses inside the reach box, and a fifth of them up to 2.5 times as far
    # out, where legs lose their reach and answer NaN.
    special_yaws = [0.0, -0.0, math.pi, -math.pi, math.nan, math.inf, 1e-300, 7.5]
    for i in range(POSES):
        scale = 2.5 if i % 5 == 4 else 1.0
        yield "pose", _flat(geometry.pose(*_pose_params(rng, scale)))
        yield "ik", [None]
        yaw = special_yaws[i] if i < len(special_yaws) else rng.uniform(-0.6, 0.6)
        yield "ik", [yaw]
        # Every combination of the two limits, cycling; the yaw wide enough
        # to be clamped by them about half the time.
        for combo in (i % 4, (i + 2) % 4):
            rel, body = combo % 2 == 1, combo // 2 == 1
            yield "iks", [rng.uniform(-0.6, 0.6), _limit(rng, rel), _limit(rng, body)]
        if i % 10 == 0:
            yield "iks", [None, _limit(rng, True), _limit(rng, True)]

    # Forward kinematics: from home or a nearby start, towards a fixed target
    # (convergence) or along a drifting one (tracking), with and without yaw;
    # targets out of reach give NaN angles and a pose that stays put.
    model = kinematics_class(geometry.MOTOR_ARM_LENGTH, geometry.ROD_LENGTH)
    for branch in geometry.BRANCHES:
        model.add_branch(*branch)
    for s in range(SEQUENCES):
        start = geometry.HOME_POSE if s % 4 == 0 else geometry.pose(*_pose_params(rng, 0.5))
        yield "reset", _flat(start)
        target = _pose_params(rng, 3.0 if s % 8 == 7 else 1.0)
        drift = _pose_params(rng, 0.05) if s % 2 == 1 else [0.0] * 6
        yaw = rng.uniform(-0.6, 0.6) if s % 3 == 1 else None
        for step in range(STEPS):
            params = [p + step * d for p, d in zip(target, drift)]
            yield "fk", model.inverse_kinematics(geometry.pose(*params)) + [yaw]


def _call(model, kind, args, state):
    """Runs one record; returns its results (an empty list for setup records)."""
    if kind == "model":
        state["model"] = model = state["class"](*args)
    elif kind == "branch":
        model.add_branch(args[0:3], _rows(args[3:19]), args[19])
    elif kind == "pose":
        state["pose"] = _rows(args)
    elif kind == "ik":
        return model.inverse_kinematics(state["pose"], args[0])
    elif kind == "iks":
        return model.inverse_kinematics_safe(state["pose"], *args)
    elif kind == "reset":
        model.reset_forward_kinematics(_rows(args))
    elif kind == "fk":
        return _flat(model.forward_kinematics(args[0:6], args[6]))
    else:
        raise ValueError(f"unknown record {kind!r}")
    return []


def write(path=RESULTS):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
    import sample_geometry
    from zandrel_torso_kinematics import ZandrelRustKinematics

    state = {"class": ZandrelRustKinematics}
    lines = [
        "# Golden results of zandrel_torso_kinematics; see golden.py for the format.",
        f"# Written by `python tests/golden/golden.py write` (seed {SEED}); do not edit.",
    ]
    for kind, args in _records(sample_geometry, ZandrelRustKinematics):
        results = _call(state.get("model"), kind, args, state)
        fields = [kind] + [_hex(a) for a in args]
        if kind in ("ik", "iks", "fk"):
            fields += ["="] + [_hex(r) for r in results]
        lines.append(" ".join(fields))
    path.write_text("\n".join(lines) + "\n")
    return len(lines)


# --- replay --------------------------------------------------------------------------


def replay(kinematics_class, path=RESULTS):
    """Yields (line number, kind, expected, got) for every record with results."""
    state = {"class": kinematics_class}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        kind, *fields = line.split()
        inputs, _, outputs = " ".join(fields).partition(" = ")
        args = [_num(f) for f in inputs.split()]
        got = _call(state.get("model"), kind, args, state)
        if outputs:
            yield number, kind, [_num(f) for f in outputs.split()], got


def check(path=RESULTS):
    """Recomputes the file; prints what differs. Returns the number of
    values that differ in more than a NaN's sign."""
    from zandrel_torso_kinematics import ZandrelRustKinematics

    counts = {}
    differing = nan_sign = values = nans = 0
    for number, kind, expected, got in replay(ZandrelRustKinematics, path):
        counts[kind] = counts.get(kind, 0) + 1
        if len(expected) != len(got):
            differing += 1
            print(f"line {number} ({kind}): {len(got)} results, expected {len(expected)}")
            continue
        for e, g in zip(expected, got):
            values += 1
            nans += math.isnan(e)
            if not same_bits(e, g):
                differing += 1
                if differing <= 20:
                    print(f"line {number} ({kind}): got {_hex(g)}, expected {_hex(e)}")
            elif math.isnan(e) and _bits(e) != _bits(g):
                nan_sign += 1
    records = ", ".join(f"{n} {kind}" for kind, n in sorted(counts.items()))
    print(
        f"golden: {records} records, {values} values ({nans} NaN): {differing} differ, "
        f"{nan_sign} NaN differ only in sign bit"
    )
    return differing


if __name__ == "__main__":
    command = sys.argv[1] if len(sys.argv) > 1 else "check"
    if command == "write":
        print(f"{RESULTS}: {write()} lines")
    elif command == "check":
        sys.exit(1 if check() else 0)
    else:
        sys.exit("usage: golden.py write|check")
