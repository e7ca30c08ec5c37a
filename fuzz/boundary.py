#!/usr/bin/env python3
"""atheris target for the module's call boundary (run by `make fuzz`).

Each input builds one object and makes up to 24 calls in any order with
sound, hostile or odd arguments: wrong types and lengths, float and list
subclasses, __float__/__index__ that raise, return the wrong type or empty
the list being converted, NumPy arrays of odd dtypes, byte orders, strides
and orders, 2-D and released memoryviews, keyword mixes, duplicates and
unknown names. Checked beyond the sanitizers: only the documented exception
types, results of the right shape and type, a poisoned object raising the
poisoned-lock error for good, and an array argument giving the same bits as
its .tolist().
"""

import array
import math
import struct
import sys
import warnings

import atheris
import numpy as np

from zandrel_torso_kinematics import ZandrelRustKinematics as K

LOWEST_ANGLE = math.nextafter(-math.pi, -4.0)

warnings.simplefilter("ignore")  # __float__ returning a float subclass is deprecated, not wrong

POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
FATAL = ("called `Option::unwrap()` on a `None` value",
         "Forward kinematics requires exactly 6 joint angles")
YAW_LIMIT = "min > max, or either was NaN. min = "
SPECIAL = [0.0, -0.0, 1.0, -1.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 1e308, -0.3]
DTYPES = ["<f8", ">f8", "f4", "f2", "i8", "u1", "?", "c16", "O", "M8[s]"]
NO_TWIN = object()  # the argument has no plain-list equivalent to compare with


class Hostile(Exception):
    """Raised by the fuzzer's own objects: must reach the caller unchanged."""


class TypeErrorSub(TypeError): ...
class FloatSub(float): ...
class ListSub(list): ...
class ArraySub(np.ndarray): ...  # a Python class: its items may differ from its buffer


class Unprintable:
    def __str__(self):
        raise Hostile


class Lying:
    """A number whose __float__ misbehaves in the way the input chose."""

    victim = None  # the list this object sits in, when it is one

    def __init__(self, how, value):
        self.how, self.value = how, value

    def __float__(self):
        how = self.how
        if how == 1:
            raise Hostile
        if how == 2:
            return "not a float"
        if how == 3:
            raise TypeError("refused") from Hostile()
        if how == 4:
            raise TypeError(Unprintable())
        if how == 5:
            raise TypeErrorSub("refused")
        if how == 6 and self.victim is not None:
            self.victim.clear()
        return FloatSub(self.value) if how == 7 else self.value


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise Hostile
        return self.value


class FakeSequence:
    """Claims a length, then fails or lies when indexed."""

    def __init__(self, length, item):
        self.length, self.item = length, item

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if self.item is None:
            raise Hostile
        return self.item


def number(fdp):
    """(argument, the float it must behave like, or NO_TWIN)."""
    kind = fdp.ConsumeIntInRange(0, 9)
    x = fdp.PickValueInList(SPECIAL) if fdp.ConsumeBool() else fdp.ConsumeRegularFloat()
    if kind <= 2:
        return x, x
    if kind == 3:
        i = fdp.ConsumeIntInRange(-3, 3) * (2 ** fdp.ConsumeIntInRange(0, 1100))
        return i, NO_TWIN
    if kind == 4:
        return FloatSub(x), x
    if kind == 5:
        return Lying(fdp.ConsumeIntInRange(0, 7), x), NO_TWIN
    if kind == 6:
        return IndexOnly(fdp.PickValueInList([0, -7, 2 ** 1030, None])), NO_TWIN
    if kind == 7:
        return fdp.PickValueInList([None, "1.5", b"", [], object(), True, 3 + 4j]), NO_TWIN
    return fdp.PickValueInList([np.float32(x), np.float64(x), np.int64(-9)]), NO_TWIN


def sequence(fdp, n, item):
    """(a sequence meant to hold n items made by item(fdp), its plain twin)."""
    length = n if fdp.ConsumeProbability() < 0.8 else fdp.ConsumeIntInRange(0, n + 1)
    kind = fdp.ConsumeIntInRange(0, 8)
    if kind <= 3:
        pairs = [item(fdp) for _ in range(length)]
        seq = (list, tuple, ListSub, list)[kind](p[0] for p in pairs)
        for v in seq:
            if isinstance(v, Lying) and isinstance(seq, list):
                v.victim = seq
        return seq, (NO_TWIN if any(p[1] is NO_TWIN for p in pairs) else [p[1] for p in pairs])
    if kind == 4:
        return FakeSequence(length, fdp.PickValueInList([None, 1.0, "x", [1.0] * 4])), NO_TWIN
    if kind == 5:
        return fdp.PickValueInList([bytes(length), bytearray(length), "x" * length, range(length),
                                    dict.fromkeys(range(length), 0.0), iter([0.0] * length), None]), NO_TWIN
    shape = (length,) if n != 4 or fdp.ConsumeBool() else (4, length)
    data = [fdp.ConsumeRegularFloat() for _ in range(math.prod(shape))]
    if kind == 7:
        code = fdp.PickValueInList(list("dfb"))
        buf = array.array(code, [int(v) % 100 if code == "b" else v % 1e30 for v in data])
        return buf, buf.tolist()
    arr = np.array(data).astype(fdp.PickValueInList(DTYPES)).reshape(shape)
    arr = arr if fdp.ConsumeBool() else np.asfortranarray(arr)
    if fdp.ConsumeBool():  # the same values seen through a strided view
        arr = np.repeat(arr, 2, axis=-1)[..., ::2]
    twin = arr.tolist() if arr.dtype.kind in "fiub" else NO_TWIN
    if kind == 6:
        return (arr.view(ArraySub) if fdp.ConsumeBool() else arr), twin
    try:
        view = memoryview(arr)
    except ValueError:  # no buffer for this dtype
        return arr, twin
    if fdp.ConsumeBool():
        view.release()
        return view, NO_TWIN
    # memoryview indexes native formats only, written with or without "@",
    # and one dimension only.
    native = view.ndim == 1 and view.format in ("d", "f", "l", "B", "?")
    if native and view.c_contiguous and fdp.ConsumeBool():
        view = view.cast("B").cast("@" + view.format)
    return view, (twin if native else NO_TWIN)


def matrix(fdp):
    return sequence(fdp, 4, lambda f: sequence(f, 4, number))


def optional(fdp):
    return (None, None) if fdp.ConsumeBool() else number(fdp)


METHODS = {
    "add_branch": [("branch_platform", lambda f: sequence(f, 3, number)),
                   ("t_world_motor", matrix), ("solution", number)],
    "inverse_kinematics": [("t_world_platform", matrix), ("body_yaw", optional)],
    "inverse_kinematics_safe": [("t_world_platform", matrix), ("body_yaw", optional),
                                ("max_relative_yaw", optional), ("max_body_yaw", optional)],
    "forward_kinematics": [("joint_angles", lambda f: sequence(f, 6, number)),
                           ("body_yaw", optional)],
    "reset_forward_kinematics": [("t_world_platform", matrix)],
}
NAMES = list(METHODS)


def rig_leg(k):
    """Leg k of a six-legged rig with its home near the identity."""
    alpha, side = k * math.pi / 3, 1.0 if k % 2 == 0 else -1.0
    c, s = math.cos(alpha), math.sin(alpha)
    motor = [[-side * s, 0.0, side * c, 0.05 * c], [side * c, 0.0, side * s, 0.05 * s],
             [0.0, 1.0, 0.0, -0.075], [0.0, 0.0, 0.0, 1.0]]
    beta = alpha + side * 0.35
    return [0.045 * math.cos(beta), 0.045 * math.sin(beta), 0.0], motor, -1.0


def arguments(fdp, params):
    """Positional and keyword arguments, mostly bindable, and their plain twin."""
    pairs = [gen(fdp) for _, gen in params]
    given = fdp.ConsumeIntInRange(0, len(params))
    keywords = [i for i in range(given, len(params)) if fdp.ConsumeProbability() < 0.9]
    calls = [([p[side] for p in pairs[:given]], {params[i][0]: pairs[i][side] for i in keywords})
             for side in (0, 1)]
    trouble = fdp.ConsumeIntInRange(0, 15)
    extra = fdp.PickValueInList(["bogus", "\ud800", "self", params[0][0]])
    for args, kwargs in calls:
        if trouble == 0:
            args.append(1.0)
        elif trouble == 1:
            kwargs[extra] = 0.0
    twin = NO_TWIN if any(p[1] is NO_TWIN for p in pairs) else calls[1]
    return *calls[0], twin


def check_result(name, result, legs):
    if name in ("add_branch", "reset_forward_kinematics"):
        assert result is None, result
    elif name == "forward_kinematics":
        assert type(result) is list and len(result) == 4, result
        assert all(type(row) is list and len(row) == 4 and all(type(x) is float for x in row) for row in result)
    else:
        assert type(result) is list and all(type(x) is float for x in result), result
        angles = result[1:] if name == "inverse_kinematics_safe" else result
        assert len(angles) == legs, (len(angles), legs)
        # [-pi, pi), but for the wrap's documented end: one step below -pi.
        assert all(x != x or LOWEST_ANGLE <= x < math.pi for x in angles), angles


def call(method, args, kwargs):
    """('ok', result) or ('raised', exception), with the exception vetted."""
    try:
        return "ok", method(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, IndexError, NotImplementedError, Hostile) as e:
        return "raised", e
    except BaseException as e:
        assert type(e).__module__ == "pyo3_runtime" and type(e).__name__ == "PanicException", repr(e)
        assert len(e.args) == 1 and (e.args[0] in FATAL + (POISONED,) or e.args[0].startswith(YAW_LIMIT)), e.args
        return "panic", e


def same(a, b):
    """Results equal to the bit, or exceptions of the same type."""
    if a[0] != "ok" or b[0] != "ok":
        return a[0] == b[0] and type(a[1]) is type(b[1])
    return struct.pack(f"{len(a[1])}d", *a[1]) == struct.pack(f"{len(b[1])}d", *b[1])


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    args, kwargs, _ = arguments(fdp, [("motor_arm_length", number), ("rod_length", number)])
    outcome = call(K, args, kwargs) if fdp.ConsumeBool() else ("ok", K(0.04, 0.085))
    if outcome[0] != "ok":
        return
    k, legs, poisoned, last = outcome[1], 0, False, [0.0] * 6
    if fdp.ConsumeBool():  # a sound start: six legs, so that forward steps are taken, or 17
        for legs in range(1, fdp.PickValueInList([6, 6, 17]) + 1):
            k.add_branch(*rig_leg(legs - 1))
    for _ in range(fdp.ConsumeIntInRange(1, 24)):
        name = fdp.PickValueInList(NAMES)
        if fdp.ConsumeProbability() < 0.3:  # sound arguments that reach far into the core
            pose = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0],
                    [0.0, 0.0, 1.0, fdp.ConsumeFloatInRange(-0.01, 0.01)], [0.0, 0.0, 0.0, 1.0]]
            args = {"add_branch": rig_leg(legs % 6), "forward_kinematics": (last,)}.get(name, (pose,))
            kwargs, twin = {}, NO_TWIN
        else:
            args, kwargs, twin = arguments(fdp, METHODS[name])
        outcome = call(getattr(k, name), args, kwargs)
        if outcome[0] == "ok":
            assert not poisoned, name
            legs += name == "add_branch"
            check_result(name, outcome[1], legs)
            if name == "inverse_kinematics" and legs == 6:
                last = outcome[1]
        elif outcome[0] == "panic":
            assert poisoned == (outcome[1].args[0] == POISONED), (poisoned, outcome[1].args)
            poisoned = True
        if twin is not NO_TWIN and name.startswith("inverse"):
            assert same(outcome, call(getattr(k, name), *twin)), (name, args, kwargs)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
