"""Reference and memory leaks: many calls, successful and failing, must leave
the reference counts of their arguments (and of everything reachable from
them) as they were, and the process's memory flat."""

import gc
import os
import sys
from pathlib import Path

import pytest

import sample_geometry
from zandrel_torso_kinematics import ZandrelRustKinematics as K

CALLS = 20_000


def fresh(x):
    """A float object of our own (not a constant shared with the code)."""
    return float(repr(x))


def pose():
    return [[fresh(v) for v in row] for row in sample_geometry.HOME_POSE]


def reachable(obj):
    """obj and, for lists and tuples, everything inside, depth first."""
    out = [obj]
    if isinstance(obj, (list, tuple)):
        for item in obj:
            out.extend(reachable(item))
    return out


class Boom(Exception):
    pass


class RaisesHeld:
    """__float__ raises the same exception object every time."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class RaisesChainedTypeError:
    """__float__ raises a new TypeError whose cause is one object, kept."""

    def __init__(self):
        self.cause = KeyError("kept cause")

    def __float__(self):
        raise TypeError("not a number") from self.cause


class ShortSequence:
    """Claims three items, has two."""

    def __init__(self):
        self.items = [fresh(1.0), fresh(2.0)]

    def __len__(self):
        return 3

    def __getitem__(self, i):
        return self.items[i]


def sample():
    return sample_geometry.make_kinematics()


def poisoned():
    k = K(fresh(0.04), fresh(0.085))
    try:
        k.forward_kinematics([0.0] * 6)  # five legs short: fatal, poisons
    except BaseException:  # noqa: BLE001
        pass
    return k


# name -> (make the receiver or None, make the call's arguments, call, expected exception)
CASES = {
    "new": (None, lambda: ((fresh(0.04), fresh(0.085)), {}), lambda k, a, kw: K(*a, **kw), None),
    "new_keywords": (None, lambda: ((), {"rod_length": fresh(0.1), "motor_arm_length": fresh(1.0)}),
                     lambda k, a, kw: K(*a, **kw), None),
    "add_branch": (lambda: K(1.0, 1.0),
                   lambda: (([fresh(0.1), fresh(0.2), fresh(0.0)], pose(), fresh(-1.0)), {}),
                   lambda k, a, kw: k.add_branch(*a, **kw), None),
    "inverse": (sample, lambda: ((pose(), fresh(0.2)), {}),
                lambda k, a, kw: k.inverse_kinematics(*a, **kw), None),
    "inverse_safe": (sample, lambda: ((pose(),), {"body_yaw": fresh(0.5),
                                                  "max_relative_yaw": fresh(0.1),
                                                  "max_body_yaw": fresh(0.3)}),
                     lambda k, a, kw: k.inverse_kinematics_safe(*a, **kw), None),
    "forward": (sample, lambda: (([fresh(0.01 * i) for i in range(6)], fresh(0.3)), {}),
                lambda k, a, kw: k.forward_kinematics(*a, **kw), None),
    "reset": (sample, lambda: ((pose(),), {}),
              lambda k, a, kw: k.reset_forward_kinematics(*a, **kw), None),
    "binding_error": (sample, lambda: ((pose(),), {"yaw": fresh(0.1)}),
                      lambda k, a, kw: k.inverse_kinematics(*a, **kw), TypeError),
    "too_many_positional": (sample, lambda: ((pose(), fresh(0.1), fresh(0.2)), {}),
                            lambda k, a, kw: k.inverse_kinematics(*a, **kw), TypeError),
    "wrong_length": (sample, lambda: (([fresh(0.0)] * 5,), {}),
                     lambda k, a, kw: k.forward_kinematics(*a, **kw), ValueError),
    "wrong_row_length": (sample, lambda: ((pose()[:3] + [[fresh(1.0)] * 3],), {}),
                         lambda k, a, kw: k.reset_forward_kinematics(*a, **kw), ValueError),
    "not_a_number": (sample, lambda: ((pose(), "yaw"), {}),
                     lambda k, a, kw: k.inverse_kinematics(*a, **kw), TypeError),
    "not_a_sequence": (sample, lambda: (({0: fresh(1.0)}, pose(), fresh(1.0)), {}),
                       lambda k, a, kw: k.add_branch(*a, **kw), TypeError),
    "user_exception": (sample, lambda: ((pose(), RaisesHeld(Boom("held"))), {}),
                       lambda k, a, kw: k.inverse_kinematics(*a, **kw), Boom),
    "reworded_type_error": (sample, lambda: (([0.0] * 6, RaisesChainedTypeError()), {}),
                            lambda k, a, kw: k.forward_kinematics(*a, **kw), TypeError),
    "overflow": (sample, lambda: (([0.0, 0.0, 0.0], pose(), 10**400), {}),
                 lambda k, a, kw: k.add_branch(*a, **kw), OverflowError),
    "index_error": (sample, lambda: ((ShortSequence(), pose(), fresh(1.0)), {}),
                    lambda k, a, kw: k.add_branch(*a, **kw), IndexError),
    "fatal_error": (lambda: None, lambda: (([fresh(0.0)] * 6,), {}),
                    lambda k, a, kw: K(1.0, 1.0).forward_kinematics(*a, **kw), BaseException),
    "poisoned_lock": (poisoned, lambda: ((pose(), fresh(0.1)), {}),
                      lambda k, a, kw: k.inverse_kinematics(*a, **kw), BaseException),
}


def watched(receiver, args, kwargs):
    """Every object whose count must not move: the receiver, the arguments
    and what they hold, the objects hostile arguments keep."""
    objs = [receiver] if receiver is not None else []
    for value in list(args) + list(kwargs.values()):
        objs.extend(reachable(value))
        for attr in ("exc", "cause", "items"):
            if hasattr(value, attr):
                objs.extend(reachable(getattr(value, attr)))
    return objs


def run(call, receiver, args, kwargs, error, times):
    for _ in range(times):
        if error is None:
            call(receiver, args, kwargs)
        else:
            try:
                call(receiver, args, kwargs)
            except error as e:
                # An exception object raised again grows its traceback, and
                # with it references to our frames; that is the interpreter's
                # doing, so start every raise afresh.
                e.__traceback__ = None
            else:
                raise AssertionError("the call was expected to fail")


@pytest.mark.parametrize("case", list(CASES))
def test_argument_reference_counts_are_unchanged(case):
    make_receiver, make_args, call, error = CASES[case]
    receiver = make_receiver() if make_receiver else None
    args, kwargs = make_args()
    run(call, receiver, args, kwargs, error, 100)  # caches, first-use types
    objs = watched(receiver, args, kwargs)
    before = [sys.getrefcount(o) for o in objs]
    run(call, receiver, args, kwargs, error, CALLS)
    after = [sys.getrefcount(o) for o in objs]
    assert after == before, [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after)
                             if a != b]


def _exception_of(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001
        return e
    raise AssertionError("expected an exception")


def test_panic_exceptions_are_not_kept():
    k = poisoned()
    panic_type = type(_exception_of(lambda: k.inverse_kinematics(sample_geometry.HOME_POSE)))
    assert panic_type.__name__ == "PanicException"
    gc.collect()  # instances earlier tests left in cycles hold the type too
    before = sys.getrefcount(panic_type)
    for _ in range(CALLS):
        _exception_of(lambda: k.inverse_kinematics(sample_geometry.HOME_POSE))
        _exception_of(lambda: K(1.0, 1.0).forward_kinematics([0.0] * 6))
    gc.collect()
    assert sys.getrefcount(panic_type) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda k: k.inverse_kinematics(sample_geometry.HOME_POSE),
        lambda k: k.inverse_kinematics_safe(sample_geometry.HOME_POSE, 0.1, 0.2, 0.3),
        lambda k: k.forward_kinematics([0.0] * 6, 0.1),
    ],
    ids=["inverse", "inverse_safe", "forward"],
)
def test_results_have_a_single_owner(call):
    k = sample()
    result = call(k)
    # The same shape built here has exactly one owner too; compare with it
    # rather than with a number, which differs between interpreter versions.
    twin = [[fresh(v) for v in x] if isinstance(x, list) else fresh(x) for x in result]
    assert sys.getrefcount(result) == sys.getrefcount(twin)
    for got, want in zip(reachable(result)[1:], reachable(twin)[1:]):
        assert sys.getrefcount(got) == sys.getrefcount(want)


# ------------------------------------------------------------------ memory

def resident_bytes():
    pages = int(Path("/proc/self/statm").read_text().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


def under_address_sanitizer():
    return "libasan" in Path("/proc/self/maps").read_text()


def one_of_everything(k, p, angles):
    """Every entry, each on a success and a failure path."""
    K(0.04, 0.085)
    fresh_model = K(1.0, 1.0)
    fresh_model.add_branch([0.1, 0.2, 0.0], p, -1.0)  # freed with the model
    k.inverse_kinematics(p, 0.2)
    k.inverse_kinematics_safe(p, 0.5, 0.1, 0.3)
    k.forward_kinematics(angles, 0.3)
    k.reset_forward_kinematics(p)
    for bad in (lambda: k.inverse_kinematics(p, yaw=1.0),
                lambda: k.forward_kinematics(angles[:5]),
                lambda: k.add_branch([0.0, 0.0, 0.0], p, "x"),
                lambda: k.inverse_kinematics_safe(p, RaisesChainedTypeError()),
                lambda: fresh_model.forward_kinematics(angles),  # fatal error
                lambda: fresh_model.inverse_kinematics(p)):  # poisoned
        try:
            bad()
        except BaseException:  # noqa: BLE001
            pass


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc")
@pytest.mark.skipif(under_address_sanitizer(),
                    reason="the sanitizer's quarantine holds freed memory on purpose; "
                           "scripts/lsan-check looks for leaks in that build")
def test_memory_stays_flat_over_many_calls():
    k = sample()
    p = pose()
    angles = [0.01 * i for i in range(6)]
    batch = 10_000  # each round calls every entry about twice

    def grow():
        gc.collect()
        start = resident_bytes()
        for _ in range(batch):
            one_of_everything(k, p, angles)
        gc.collect()
        return resident_bytes() - start

    grow()  # warm-up: allocator pools, caches, first-use types
    first, second = grow(), grow()
    # One leaked float per round would be about 300 kB per batch, one leaked
    # result list several MB; a sound build moves by a few pages at most.
    limit = 256 * 1024
    assert first < limit and second < limit, (first, second)
