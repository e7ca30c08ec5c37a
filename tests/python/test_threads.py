"""Many threads calling into one object, and into separate objects.

The interpreter's lock serialises the calls themselves, but a thread switch
can happen whenever the module runs Python code of an argument (``__float__``,
``__getitem__``), which is in the middle of another call's conversion. The
arguments here force such switches, the switch interval is cut to a
microsecond, and every result is compared with the same calls made serially.
"""

import math
import random
import struct
import sys
import threading
import time

import pytest

import sample_geometry
from zandrel_torso_kinematics import ZandrelRustKinematics as K

THREADS = 8
JOIN_TIMEOUT = 120  # seconds; only there to turn a hang into a failure
POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"


@pytest.fixture(autouse=True)
def frequent_switches():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_threads(n, body):
    """Runs body(t) for t in range(n) on n threads started together; returns
    what each returned, re-raising the first exception of any of them."""
    start = threading.Barrier(n)
    results, errors = [None] * n, []

    def target(t):
        try:
            start.wait()
            results[t] = body(t)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=target, args=(t,), daemon=True) for t in range(n)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    if errors:
        raise errors[0]
    return results


class YieldingNumber:
    """A number that hands the interpreter to another thread when read."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class YieldingRows:
    """A sequence that switches threads on every item it hands out."""

    def __init__(self, rows):
        self.rows = rows

    def __len__(self):
        return len(self.rows)

    def __getitem__(self, i):
        time.sleep(0)
        return self.rows[i]


def yielding(value):
    """The same numbers, wrapped so that reading them switches threads."""
    if isinstance(value, list):
        return YieldingRows([yielding(v) for v in value])
    return YieldingNumber(value)


def bits(value):
    """Comparable form of a result: NaN-safe, tells -0.0 from 0.0."""
    if value is None:
        return None
    if isinstance(value, list):
        return tuple(bits(v) for v in value)
    return struct.pack("<d", value)


def outcome(call):
    try:
        return ("ok", bits(call()))
    except BaseException as e:  # noqa: BLE001
        return (type(e).__name__, str(e))


def poses(n, seed):
    rng = random.Random(seed)
    return [sample_geometry.pose(*(rng.uniform(-0.2, 0.2) for _ in range(3)),
                                 *(rng.uniform(-0.008, 0.008) for _ in range(3)))
            for _ in range(n)]


def test_solves_on_one_object_match_serial_calls():
    requests = [(p, yaw, limits) for p, yaw, limits in zip(
        poses(24, 1), [None, 0.0, -0.3, 0.7] * 6,
        [(None, None), (0.1, None), (None, 0.2), (0.05, 0.3)] * 6)]
    reference = sample_geometry.make_kinematics()
    want = [(bits(reference.inverse_kinematics(p, yaw)),
             bits(reference.inverse_kinematics_safe(p, yaw, *limits)))
            for p, yaw, limits in requests]

    shared = sample_geometry.make_kinematics()

    def body(t):
        mismatches = 0
        for i in range(60):
            j = (t * 5 + i) % len(requests)
            p, yaw, limits = requests[j]
            args = [yielding(p), None if yaw is None else yielding(yaw)]
            got = (bits(shared.inverse_kinematics(*args)),
                   bits(shared.inverse_kinematics_safe(
                       *args, *(None if m is None else yielding(m) for m in limits))))
            mismatches += got != want[j]
        return mismatches

    assert run_threads(THREADS, body) == [0] * THREADS


def test_forward_steps_on_one_object_are_the_serial_sequence():
    # Each call makes one step from where the previous call left the pose.
    # With the same angles everywhere, the k-th call on the object, whichever
    # thread makes it, must get the k-th pose of the serial sequence.
    rounds = 25
    angles = sample_geometry.make_kinematics().inverse_kinematics(poses(1, 7)[0])
    serial = sample_geometry.make_kinematics()
    want = [bits(serial.forward_kinematics(angles)) for _ in range(THREADS * rounds)]
    assert want[0] != want[-1], "the sequence should move"

    shared = sample_geometry.make_kinematics()

    def body(t):
        got = [bits(shared.forward_kinematics(yielding(angles))) for _ in range(rounds)]
        # One thread's own calls come in the order it made them.
        indices = [want.index(pose) for pose in got]
        assert indices == sorted(indices)
        return got

    got = [pose for per_thread in run_threads(THREADS, body) for pose in per_thread]
    assert sorted(got) == sorted(want)


def test_resets_and_forward_steps_interleave_only_between_calls():
    # Forward threads step towards `goal`, whose angles they pass; reset
    # threads jump to `goal`, where a step changes nothing. Every pose seen
    # is a serial step from the start or `goal` itself, and once a thread has
    # seen `goal` it never leaves it.
    goal = poses(1, 11)[0]
    angles = sample_geometry.make_kinematics().inverse_kinematics(goal)
    serial = sample_geometry.make_kinematics()
    steps = [bits(serial.forward_kinematics(angles)) for _ in range(THREADS * 30)]
    at_goal = sample_geometry.make_kinematics()
    at_goal.reset_forward_kinematics(goal)
    assert bits(at_goal.forward_kinematics(angles)) == bits(goal), "goal must be a fixed point"

    shared = sample_geometry.make_kinematics()

    def body(t):
        seen = []
        for i in range(30):
            if t % 4 == 3 and i % 10 == 9:
                shared.reset_forward_kinematics(yielding(goal))
            else:
                seen.append(bits(shared.forward_kinematics(yielding(angles))))
        return seen

    for seen in run_threads(THREADS, body):
        reached, last = False, -1
        for pose in seen:
            if pose == bits(goal):
                reached = True
                continue
            assert not reached, "left the goal again"
            assert pose in steps, "a pose no serial run produces"
            assert steps.index(pose) >= last
            last = steps.index(pose)
    assert bits(shared.forward_kinematics(angles)) == bits(goal)


def test_legs_added_from_many_threads_are_all_kept():
    per_thread = 12
    base = sample_geometry.BRANCHES

    def leg(t, i):
        anchor, motor, solution = base[(t + i) % len(base)]
        return [anchor[0], anchor[1], anchor[2] + 1e-4 * (t * per_thread + i)], motor, solution

    shared = K(sample_geometry.MOTOR_ARM_LENGTH, sample_geometry.ROD_LENGTH)

    def body(t):
        for i in range(per_thread):
            anchor, motor, solution = leg(t, i)
            shared.add_branch(yielding(anchor), yielding(motor), yielding(solution))

    run_threads(THREADS, body)
    pose = poses(1, 3)[0]
    got = shared.inverse_kinematics(pose, 0.1)
    assert len(got) == THREADS * per_thread

    # Each leg's angle depends on that leg alone: the angles are those of the
    # same legs added serially, in some interleaving that keeps every
    # thread's own order.
    def alone(t, i):
        one = K(sample_geometry.MOTOR_ARM_LENGTH, sample_geometry.ROD_LENGTH)
        one.add_branch(*leg(t, i))
        return bits(one.inverse_kinematics(pose, 0.1)[0])

    expected = {alone(t, i): (t, i) for t in range(THREADS) for i in range(per_thread)}
    assert len(expected) == THREADS * per_thread, "legs must be told apart by their angles"
    order = [expected[bits(angle)] for angle in got]
    for t in range(THREADS):
        assert [i for owner, i in order if owner == t] == list(range(per_thread))


def life_of_one_object(variant):
    """Legs, solves of every kind, steps, a reset, a fatal error and the
    rejected calls after it, on one object, as outcomes."""
    out = []
    k = K(yielding(sample_geometry.MOTOR_ARM_LENGTH), yielding(sample_geometry.ROD_LENGTH))
    for anchor, motor, solution in sample_geometry.BRANCHES:
        out.append(outcome(lambda: k.add_branch(yielding(anchor), yielding(motor), solution)))
    p = poses(3, variant)
    angles = k.inverse_kinematics(p[0])
    out.append(outcome(lambda: k.inverse_kinematics(yielding(p[1]), yielding(0.1 * variant))))
    out.append(outcome(lambda: k.inverse_kinematics_safe(yielding(p[2]), 0.6, 0.1, 0.4)))
    for _ in range(3):
        out.append(outcome(lambda: k.forward_kinematics(yielding(angles), yielding(0.2))))
    out.append(outcome(lambda: k.reset_forward_kinematics(yielding(p[1]))))
    out.append(outcome(lambda: k.forward_kinematics(yielding(angles))))
    out.append(outcome(lambda: k.forward_kinematics([1.0] * 5)))  # argument error: harmless
    out.append(outcome(lambda: k.forward_kinematics(angles)))
    out.append(outcome(lambda: k.inverse_kinematics_safe(p[0], 0.3, -0.25)))  # fatal
    out.append(outcome(lambda: k.inverse_kinematics(p[0])))
    out.append(outcome(lambda: k.add_branch(*sample_geometry.BRANCHES[0])))
    return out


def test_separate_objects_live_as_if_alone():
    variants = 3
    want = [life_of_one_object(v) for v in range(variants)]
    assert want[0][-1] == ("PanicException", POISONED)
    assert want[0] != want[1]
    got = run_threads(THREADS, lambda t: [life_of_one_object(t % variants) for _ in range(3)])
    for t, lives in enumerate(got):
        for life in lives:
            assert life == want[t % variants]


@pytest.mark.parametrize(
    "poison",
    [
        lambda k, p: k.inverse_kinematics_safe(p, 0.1, -0.5),
        lambda k, p: k.inverse_kinematics_safe(p, 0.1, None, math.nan),
        lambda k, p: (k.add_branch([0.0, 0.0, 0.0], [[0.0] * 4] * 4, 1.0),
                      k.inverse_kinematics(p)),
        lambda k, p: (k.add_branch(*sample_geometry.BRANCHES[0]), k.forward_kinematics([0.0] * 6)),
    ],
    ids=["negative_limit", "nan_limit", "singular_motor", "seventh_leg"],
)
def test_a_poisoned_object_rejects_every_threads_later_calls(poison):
    shared = sample_geometry.make_kinematics()
    p = sample_geometry.HOME_POSE
    angles = shared.inverse_kinematics(p)
    calls = [
        lambda: shared.inverse_kinematics(yielding(p), 0.1),
        lambda: shared.inverse_kinematics_safe(p, yielding(0.2), 0.1, 0.3),
        lambda: shared.forward_kinematics(yielding(angles)),
        lambda: shared.reset_forward_kinematics(yielding(p)),
    ]

    def body(t):
        seen = []
        for i in range(40):
            if t == 0 and i == 15:
                seen.append(outcome(lambda: poison(shared, p)))
            for call in calls:
                seen.append(outcome(call))
        return seen

    first_errors = 0
    for seen in run_threads(THREADS, body):
        poisoned = False
        for kind, *detail in seen:
            if kind == "ok":
                assert not poisoned, "a call succeeded after this thread saw the poisoning"
                continue
            assert kind == "PanicException", (kind, detail)
            if detail[0] != POISONED:
                first_errors += 1
            poisoned = True
    assert first_errors == 1

    # Afterwards every method is rejected, from every thread.
    every = calls + [lambda: shared.add_branch(*sample_geometry.BRANCHES[1])]
    results = run_threads(THREADS, lambda t: [outcome(call) for call in every])
    assert all(r == ("PanicException", POISONED) for per_thread in results for r in per_thread)
