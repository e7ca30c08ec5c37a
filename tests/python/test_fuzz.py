"""Hypothesis throws arguments of every shape at every entry.

The oracle for a call is built from three independent parts:

* binding: ``inspect.Signature.bind`` with the entry's text signature decides
  whether the arguments fit the parameters at all;
* conversion: a small Python rendering of the conversion rules (sequence test,
  length, items in order, numbers through the interpreter's own
  ``PyFloat_AsDouble`` reached via ctypes, TypeErrors reworded with the
  parameter name) predicts the exception, or the plain floats the call must
  behave like;
* behaviour: a twin object given those plain floats must answer exactly as
  the fuzzed object does, and after an argument error the fuzzed object must
  be indistinguishable from an untouched twin.

Hostile objects log every special method the module calls on them; the log of
the real call must equal the log of the predicted conversion, which pins down
the order in which arguments and items are read and where reading stops.
Every hostile object is rebuilt from a description for each use, so both the
prediction and the real call see fresh, identical objects.
"""

import array
import collections
import ctypes
import inspect
import itertools
import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as npst

import sample_geometry
from zandrel_torso_kinematics import ZandrelRustKinematics as K

# ---------------------------------------------------------------- the entries

NUMBER, OPTIONAL, SEQ3, SEQ6, MATRIX = "number", "optional", "seq3", "seq6", "matrix"

# entry -> [(parameter, kind, required)]
ENTRIES = {
    "__new__": [("motor_arm_length", NUMBER, True), ("rod_length", NUMBER, True)],
    "add_branch": [("branch_platform", SEQ3, True), ("t_world_motor", MATRIX, True),
                   ("solution", NUMBER, True)],
    "inverse_kinematics": [("t_world_platform", MATRIX, True), ("body_yaw", OPTIONAL, False)],
    "inverse_kinematics_safe": [("t_world_platform", MATRIX, True), ("body_yaw", OPTIONAL, False),
                                ("max_relative_yaw", OPTIONAL, False),
                                ("max_body_yaw", OPTIONAL, False)],
    "forward_kinematics": [("joint_angles", SEQ6, True), ("body_yaw", OPTIONAL, False)],
    "reset_forward_kinematics": [("t_world_platform", MATRIX, True)],
}

SIGNATURES = {
    entry: inspect.Signature([
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                          default=inspect.Parameter.empty if required else None)
        for name, _, required in params
    ])
    for entry, params in ENTRIES.items()
}

EXAMPLES = {"__new__": 400, "add_branch": 700, "inverse_kinematics": 600,
            "inverse_kinematics_safe": 700, "forward_kinematics": 600,
            "reset_forward_kinematics": 500}
RECEIVED = collections.Counter()  # entry -> examples actually run
OUTCOMES = collections.Counter()  # (entry, "ok" or the exception's type name)

FUZZ = settings(deadline=None, derandomize=True, database=None, print_blob=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much])

# ------------------------------------------------------- conversion reference

_api = ctypes.pythonapi
_api.PySequence_Check.argtypes = [ctypes.py_object]
_api.PySequence_Check.restype = ctypes.c_int
_api.PyFloat_AsDouble.argtypes = [ctypes.py_object]
_api.PyFloat_AsDouble.restype = ctypes.c_double  # ctypes raises what the call set


def ref_number(x):
    if type(x) is float:
        return x
    return _api.PyFloat_AsDouble(x)


def ref_sequence(x, n, item):
    if not _api.PySequence_Check(x):
        raise TypeError(f"'{type(x).__qualname__}' object cannot be converted to 'Sequence'")
    length = len(x)
    if length != n:
        raise ValueError(f"expected a sequence of length {n} (got {length})")
    return [item(x[i]) for i in range(n)]


def ref_convert(kind, x):
    if kind == NUMBER:
        return ref_number(x)
    if kind == OPTIONAL:
        return None if x is None else ref_number(x)
    if kind == SEQ3:
        return ref_sequence(x, 3, ref_number)
    if kind == SEQ6:
        return ref_sequence(x, 6, ref_number)
    return ref_sequence(x, 4, lambda row: ref_sequence(row, 4, ref_number))


def ref_argument(name, kind, x):
    try:
        return ref_convert(kind, x)
    except TypeError as e:
        if type(e) is not TypeError:
            raise
        reworded = TypeError(f"argument '{name}': {e}")
        reworded.__cause__ = e.__cause__
        raise reworded from e.__cause__


# ------------------------------------------------------------ hostile objects

EVENTS = []  # (tag, what, detail) of every special method the module calls
_tags = itertools.count()


class Boom(Exception):
    """An exception of the user's own."""


class Abort(BaseException):
    """A user's BaseException: must pass through untouched, never be wrapped."""


class TypeErrorSub(TypeError):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


def chained_type_error():
    err = TypeError("has a cause")
    err.__cause__ = KeyError("the cause")
    return err


RAISES = {
    "boom": lambda: Boom("boom"),
    "abort": lambda: Abort("abort"),
    "type": lambda: TypeError("plain type error"),
    "type_sub": lambda: TypeErrorSub("subclass of TypeError"),
    "type_chained": chained_type_error,
    "value": lambda: ValueError("value"),
    "overflow": lambda: OverflowError("overflow"),
    "index": lambda: IndexError("index"),
}


def act(behaviour):
    """('return', v) returns v; ('raise', name) raises a fresh exception."""
    what, arg = behaviour
    if what == "raise":
        raise RAISES[arg]()
    return arg


class Tagged:
    def __init__(self):
        self.tag = next(_tags)

    def log(self, what, detail=None):
        EVENTS.append((self.tag, what, detail))


def number_class(has_float, has_index):
    body = {}
    if has_float:
        def __float__(self):
            self.log("float")
            return act(self.float_b)
        body["__float__"] = __float__
    if has_index:
        def __index__(self):
            self.log("index")
            return act(self.index_b)
        body["__index__"] = __index__
    return type(f"Num{int(has_float)}{int(has_index)}", (Tagged,), body)


NUMBER_CLASSES = {(f, i): number_class(f, i) for f in (False, True) for i in (False, True)}


class Mutator(Tagged):
    """A number that changes the list it sits in (or one further out) while
    that list is being read."""

    def __init__(self, op, value, target):
        super().__init__()
        self.op, self.value, self.target = op, value, target

    def __float__(self):
        self.log("float")
        t = self.target
        if self.op == "clear":
            t.clear()
        elif self.op == "pop":
            t.pop()
        elif self.op == "append":
            t.append(1.0)
        elif self.op == "insert":
            t.insert(0, "inserted")
        elif self.op == "replace_last":
            t[-1] = "replaced"
        elif self.op == "delete_first":
            del t[0]
        return self.value


class FakeSequence(Tagged):
    """__len__ and __getitem__ that may lie, raise or return odd things."""

    def __init__(self, items, len_b, item_b):
        super().__init__()
        self.items, self.len_b, self.item_b = items, len_b, item_b

    def __len__(self):
        self.log("len")
        return act(self.len_b)

    def __getitem__(self, i):
        self.log("getitem", i)
        if self.item_b is not None:
            return act(self.item_b)
        return self.items[i]


class NoLenSequence(Tagged):
    def __init__(self, items):
        super().__init__()
        self.items = items

    def __getitem__(self, i):
        self.log("getitem", i)
        return self.items[i]


class LyingList(list):
    """A list subclass whose reported length and items are its own."""

    def __init__(self, items, len_b):
        super().__init__(items)
        self.tag = next(_tags)
        self.len_b = len_b

    def __len__(self):
        EVENTS.append((self.tag, "len", None))
        return act(self.len_b)

    def __getitem__(self, i):
        EVENTS.append((self.tag, "getitem", i))
        return list.__getitem__(self, i)


class LyingTuple(tuple):
    def __new__(cls, items, len_b):
        self = super().__new__(cls, items)
        self.tag = next(_tags)
        self.len_b = len_b
        return self

    def __len__(self):
        EVENTS.append((self.tag, "len", None))
        return act(self.len_b)


# ---------------------------------------------------------------- descriptions
# A description is plain data; realize() builds fresh objects from it.


def realize(desc, lists=()):
    kind = desc[0]
    if kind == "const":
        return desc[1]
    if kind == "num":
        _, has_float, has_index, float_b, index_b = desc
        obj = NUMBER_CLASSES[(has_float, has_index)]()
        obj.float_b, obj.index_b = float_b, index_b
        return obj
    if kind == "mutator":
        _, op, value, depth = desc
        target = lists[-depth] if len(lists) >= depth else []
        return Mutator(op, value, target)
    if kind == "list":
        out = []
        out.extend(realize(child, lists + (out,)) for child in desc[1])
        return out
    children = [realize(child, lists) for child in desc[1]]
    if kind == "tuple":
        return tuple(children)
    if kind == "fake":
        return FakeSequence(children, desc[2], desc[3])
    if kind == "nolen":
        return NoLenSequence(children)
    if kind == "lying_list":
        return LyingList(children, desc[2])
    if kind == "lying_tuple":
        return LyingTuple(children, desc[2])
    if kind == "dict":
        return dict(enumerate(children))
    if kind == "set":
        return set(c for c in children if isinstance(c, (int, float, str, bytes)))
    if kind == "generator":
        return (c for c in children)
    if kind == "iterator":
        return iter(children)
    if kind == "deque":
        return collections.deque(children)  # a sequence to the interpreter, indexable
    raise AssertionError(kind)


def build(desc):
    """Fresh objects with tags numbered from zero, so that two builds of one
    description log identical events."""
    global _tags
    _tags = itertools.count()
    return realize(desc)


# ------------------------------------------------------------------ strategies


def const(strategy):
    return strategy.map(lambda v: ("const", v))


returns_float = st.floats().map(lambda v: ("return", v))
raising = st.sampled_from(sorted(RAISES)).map(lambda name: ("raise", name))
float_results = st.one_of(
    returns_float, returns_float, raising,
    st.sampled_from([("return", 3), ("return", "1.5"), ("return", None), ("return", 2**2000),
                     ("return", FloatSub(2.5)), ("return", True)]),
)
index_results = st.one_of(
    st.integers(-2**70, 2**70).map(lambda v: ("return", v)), raising,
    st.sampled_from([("return", 2**1100), ("return", -(10**400)), ("return", True),
                     ("return", IntSub(7)), ("return", 1.5), ("return", "3")]),
)
hostile_numbers = st.builds(lambda f, i, fb, ib: ("num", f, i, fb, ib),
                            st.booleans(), st.booleans(), float_results, index_results)

NUMPY_SCALAR_DTYPES = ["f2", "f4", "f8", "g", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8",
                       "?", "c8", "c16", "M8[s]", "m8[ms]", "U2", "S2"]
numpy_scalars = st.sampled_from(NUMPY_SCALAR_DTYPES).flatmap(
    lambda dt: npst.from_dtype(np.dtype(dt))).map(lambda v: ("const", v))


def released_memoryview():
    view = memoryview(array.array("d", range(4)))
    view.release()
    return view


def numpy_matrix():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # np.matrix is on its way out
        return np.asmatrix(np.eye(4))


odd_values = const(st.builds(released_memoryview)) | const(st.sampled_from([
    None, "1.5", "", b"1", bytearray(b"1"), 1j, complex(1, 0), [], (),
    {}, set(), object(),
    range(0), 2**1024, -(2**1024), 10**400, 2**53 + 1, -0.0, float("nan"), float("inf"),
    True, False, IntSub(-3), FloatSub(float("-inf")), Boom("not a number"), type, K,
    __import__("fractions").Fraction(1, 3), __import__("decimal").Decimal("2.5"),
]))

plain_numbers = st.one_of(const(st.floats()), const(st.floats(-2.0, 2.0)),
                          const(st.integers(-5, 5)))
any_number = st.one_of(plain_numbers, const(st.integers()), const(st.booleans()),
                       const(st.floats().map(FloatSub)), const(st.integers().map(IntSub)),
                       hostile_numbers, numpy_scalars, odd_values)

length_results = st.one_of(
    st.integers(-2, 8).map(lambda v: ("return", v)), raising,
    st.sampled_from([("return", 2**70), ("return", "3"), ("return", 3.0), ("return", True),
                     ("return", IntSub(4)), ("return", None)]),
)
item_results = st.one_of(st.none(), raising,
                         st.sampled_from([("return", 1.0), ("return", [1.0] * 4),
                                          ("return", "x")]))
MUTATIONS = ["clear", "pop", "append", "insert", "replace_last", "delete_first"]

NUMPY_ARRAY_DTYPES = st.one_of(
    npst.floating_dtypes(endianness="?"), npst.integer_dtypes(endianness="?"),
    npst.unsigned_integer_dtypes(endianness="?"), npst.boolean_dtypes(),
    npst.complex_number_dtypes(), npst.datetime64_dtypes(), npst.timedelta64_dtypes(),
    npst.unicode_string_dtypes(max_len=3), npst.byte_string_dtypes(max_len=3),
)


def numpy_arrays(shape):
    """Arrays of every dtype, of the shape wanted or any other, contiguous or
    not, object arrays included."""
    shapes = st.one_of(st.just(shape), st.just(shape), npst.array_shapes(
        min_dims=0, max_dims=3, min_side=0, max_side=7))
    plain = npst.arrays(NUMPY_ARRAY_DTYPES, shapes)
    float_view = npst.arrays(st.sampled_from(["<f8", ">f8", "<f4"]), st.just(shape))
    views = st.one_of(
        float_view.map(lambda a: a.T.copy().T if a.ndim > 1 else a),  # Fortran order
        npst.arrays("f8", st.just((2 * shape[0],) + shape[1:])).map(lambda a: a[::2]),
        npst.arrays("f8", st.just(shape)).map(lambda a: a[::-1]),
        npst.arrays("f8", st.just(shape)).map(lambda a: a.astype(object)),
        npst.arrays("f8", st.just(shape[-1:])).map(lambda a: np.broadcast_to(a, shape)),
    )
    return const(st.one_of(plain, float_view, views))


def py_arrays(n):
    values = st.lists(st.floats(allow_nan=False) | st.integers(-100, 100), min_size=n, max_size=n)
    return st.one_of(
        const(values.map(lambda v: array.array("d", [float(x) for x in v]))),
        const(st.lists(st.integers(-128, 127), min_size=n - 1, max_size=n + 1).map(
            lambda v: array.array("b", v))),
        const(values.map(lambda v: memoryview(array.array("d", [float(x) for x in v])))),
        const(st.binary(min_size=n - 1, max_size=n + 1)),
        const(st.binary(min_size=n, max_size=n).map(bytearray)),
        const(st.text(min_size=n, max_size=n)),
        const(st.sampled_from([range(n), range(1, n + 1), range(n + 1), range(0, 2 * n, 2)])),
    )


@st.composite
def sequences_of(draw, n, element, row=False):
    """Descriptions of sequences meant to hold n elements."""
    clean = draw(st.lists(element if row else plain_numbers, min_size=n, max_size=n))
    if not row:
        # Mostly sound sequences, so that the success paths get their share.
        kind = draw(st.sampled_from(["clean"] * 6 + ["one_odd"] * 4 + [
            "wild", "wrong_length", "tuple", "fake", "nolen", "lying_list", "lying_tuple",
            "mutating", "other_container", "python_array", "numpy"]))
    else:
        kind = draw(st.sampled_from(["clean"] * 4 + ["one_odd"] * 3 + [
            "wrong_length", "tuple", "fake", "lying_list", "mutating", "other_container",
            "python_array", "numpy"]))
    items = clean
    if kind == "one_odd":
        items = list(clean)
        items[draw(st.integers(0, n - 1))] = draw(element if row else any_number)
        kind = "clean"
    elif kind == "wild":
        items = draw(st.lists(any_number, min_size=n, max_size=n))
        kind = "clean"
    if kind == "clean":
        return ("list", items)
    if kind == "wrong_length":
        other = draw(st.integers(0, n + 2).filter(lambda k: k != n))
        return ("list", (items * 2)[:other])
    if kind == "tuple":
        return ("tuple", items)
    if kind == "fake":
        real = (items * 2)[:draw(st.integers(0, n + 1))]
        return ("fake", real, draw(length_results), draw(item_results))
    if kind == "nolen":
        return ("nolen", items)
    if kind == "lying_list":
        return ("lying_list", items, draw(length_results))
    if kind == "lying_tuple":
        return ("lying_tuple", items, draw(length_results))
    if kind == "mutating":
        items = list(items)
        depth = draw(st.integers(1, 2))
        items[draw(st.integers(0, n - 1))] = ("mutator", draw(st.sampled_from(MUTATIONS)),
                                             draw(st.floats(-1, 1)), depth)
        return ("list", items)
    if kind == "other_container":
        return (draw(st.sampled_from(["dict", "set", "generator", "iterator", "deque"])), items)
    if kind == "python_array":
        return draw(py_arrays(n))
    return draw(numpy_arrays((n, 4) if row else (n,)))


DESCRIPTIONS = {
    NUMBER: st.one_of(plain_numbers, plain_numbers, any_number),
    OPTIONAL: st.one_of(plain_numbers, const(st.none()), any_number),
    SEQ3: sequences_of(3, any_number),
    SEQ6: sequences_of(6, any_number),
    MATRIX: st.one_of(
        sequences_of(4, sequences_of(4, any_number), row=True),
        numpy_arrays((4, 4)),
        const(st.sampled_from([[[1.0] * 4] * 4, ((1, 0, 0, 0),) * 4, [range(4)] * 4,
                               [b"\x01\x00\x00\x00"] * 4, ["abcd"] * 4, ["ab"] * 4,
                               [np.eye(4)[i] for i in range(4)], np.eye(4).tolist()])),
        st.sampled_from([
            numpy_matrix, released_memoryview, lambda: memoryview(np.eye(4)),
            lambda: memoryview(array.array("d", range(16))).cast("B").cast("d", [4, 4]),
        ]).map(lambda make: ("const", make())),
    ),
}

BOGUS_KEYWORDS = ["yaw", "self", "", "Body_yaw", "body_yaw ", "t_world_platform\0", "bödy_yaw",
                  "\ud800", "motor_arm_length", "solution"]


@st.composite
def calls(draw, entry):
    """(positional descriptions, [(keyword, description)]): every parameter
    passed by position, by keyword or not at all, now and then with an extra
    positional argument, an unknown keyword or a repeated one, keywords in any
    order."""
    params = ENTRIES[entry]
    positional, keywords = [], []
    by_position = True
    for name, kind, required in params:
        mode = draw(st.sampled_from(["pos", "pos", "kw", "kw", "omit"] if required else
                                    ["pos", "kw", "omit", "omit"]))
        if mode == "omit" and required and draw(st.integers(0, 3)) != 0:
            mode = "kw"  # keep missing required arguments rare
        desc = draw(DESCRIPTIONS[kind])
        if mode == "pos" and by_position:
            positional.append(desc)
        elif mode != "omit":
            by_position = False
            keywords.append((name, desc))
        else:
            by_position = False
    extra = draw(st.sampled_from(["none"] * 8 + ["positional", "unknown", "repeat"]))
    if extra == "positional":
        positional = positional + [("const", 0.0)] * (len(params) + 1 - len(positional))
    elif extra == "unknown":
        keywords.append((draw(st.sampled_from(BOGUS_KEYWORDS) | st.text(max_size=4)),
                         ("const", 1.0)))
    elif extra == "repeat" and positional:
        keywords.append((params[draw(st.integers(0, len(positional) - 1))][0], ("const", 1.0)))
    keywords = draw(st.permutations(keywords))
    # A keyword given twice can only reach the module as two entries of a
    # dict, which keeps the last; keep distinct names.
    seen, unique = set(), []
    for name, desc in keywords:
        if name not in seen:
            seen.add(name)
            unique.append((name, desc))
    return positional, unique


def materialize(call):
    """Fresh argument objects for one use of a generated call."""
    positional, keywords = call
    global _tags
    _tags = itertools.count()
    args = [realize(desc) for desc in positional]
    kwargs = {name: realize(desc) for name, desc in keywords}
    return args, kwargs


# --------------------------------------------------------------- the oracle

PROBE_POSE = sample_geometry.pose(0.05, -0.03, 0.1, 0.002, -0.001, 0.003)
SETUP_POSE = sample_geometry.pose(-0.04, 0.02, -0.08, 0.001, 0.004, -0.002)
NAN6 = [math.nan] * 6


def outcome(call):
    """('ok', result) or (exception type name, message, cause type name)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return ("ok", call())
    except BaseException as e:  # noqa: BLE001 - PanicException and Abort included
        cause = e.__cause__
        return (type(e).__name__, str(e), type(cause).__name__ if cause else None)


def same(a, b):
    if isinstance(a, (list, tuple)):
        return (isinstance(b, (list, tuple)) and len(a) == len(b)
                and all(same(x, y) for x, y in zip(a, b)))
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return type(a) is type(b) and a == b


def prepared():
    """The sample model, moved off its initial forward-kinematics pose."""
    k = sample_geometry.make_kinematics()
    k.reset_forward_kinematics(SETUP_POSE)
    return k


def state_of(k):
    """Everything observable about a model, without changing it: two solves,
    and the stored forward pose (NaN angles make the step a no-op). Poisoned
    or odd-legged models show it as their PanicException."""
    return [outcome(lambda: k.inverse_kinematics(PROBE_POSE, 0.1)),
            outcome(lambda: k.inverse_kinematics_safe(PROBE_POSE, 0.3, 0.1, 0.2)),
            outcome(lambda: k.forward_kinematics(NAN6))]


def invoke(entry, target, args, kwargs):
    if entry == "__new__":
        return K(*args, **kwargs)
    return getattr(target, entry)(*args, **kwargs)


def check(entry, call):
    RECEIVED[entry] += 1
    params = ENTRIES[entry]

    # What should happen, from fresh objects.
    args, kwargs = materialize(call)
    try:
        bound = SIGNATURES[entry].bind(*args, **kwargs)
    except TypeError:
        bound = None
    EVENTS.clear()
    expected_error, clean = None, []
    if bound is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for name, kind, _ in params:
                if name not in bound.arguments:
                    clean.append(None)
                    continue
                try:
                    clean.append(ref_argument(name, kind, bound.arguments[name]))
                except BaseException as e:  # noqa: BLE001
                    expected_error = e
                    break
    expected_events = list(EVENTS)

    # What does happen, with another set of fresh objects.
    k = prepared()
    args, kwargs = materialize(call)
    EVENTS.clear()
    got = outcome(lambda: invoke(entry, k, args, kwargs))
    events = list(EVENTS)
    OUTCOMES[entry, got[0]] += 1

    twin = prepared()
    if bound is None:
        assert got[0] == "TypeError", got
        assert events == [], "binding failed, yet arguments were converted"
    elif expected_error is not None:
        cause = expected_error.__cause__
        assert got == (type(expected_error).__name__, str(expected_error),
                       type(cause).__name__ if cause else None)
        assert events == expected_events
    else:
        assert events == expected_events
        if entry == "__new__":
            twin = K(*clean)
            assert got[0] == "ok" and type(got[1]) is K, got
            k = got[1]
            for branch in sample_geometry.BRANCHES:
                k.add_branch(*branch)
                twin.add_branch(*branch)
            assert same(state_of(k), state_of(twin))
            return
        want = outcome(lambda: getattr(twin, entry)(*clean))
        assert same(got, want), (got, want)
    # After an argument error the model is as it was; after a success it is
    # where the same call with plain floats put the twin.
    assert same(state_of(k), state_of(twin))


def report_counts():
    lines = []
    for entry in ENTRIES:
        kinds = sorted((n, kind) for (e, kind), n in OUTCOMES.items() if e == entry)
        detail = ", ".join(f"{kind} {n}" for n, kind in reversed(kinds))
        lines.append(f"  {entry}: {RECEIVED[entry]} examples ({detail})")
    return "\n".join(lines)


@pytest.fixture(scope="module", autouse=True)
def _example_counts(request):
    yield
    plugins = request.config.pluginmanager
    reporter, capture = plugins.get_plugin("terminalreporter"), plugins.get_plugin("capturemanager")
    if reporter is None or capture is None or not RECEIVED:
        return
    with capture.global_and_fixture_disabled():
        reporter.write_line("")
        reporter.write_line("fuzz examples per entry, by outcome:")
        for line in report_counts().splitlines():
            reporter.write_line(line)


def fuzz(entry):
    @settings(FUZZ, max_examples=EXAMPLES[entry])
    @given(call=calls(entry))
    def run(call):
        check(entry, call)

    def test():
        before = RECEIVED[entry]
        run()
        # An emptied or over-filtered strategy would otherwise pass quietly.
        assert RECEIVED[entry] - before >= EXAMPLES[entry] // 2, report_counts()

    test.__name__ = f"test_fuzz_{entry.strip('_')}"
    return test


test_fuzz_new = fuzz("__new__")
test_fuzz_add_branch = fuzz("add_branch")
test_fuzz_inverse_kinematics = fuzz("inverse_kinematics")
test_fuzz_inverse_kinematics_safe = fuzz("inverse_kinematics_safe")
test_fuzz_forward_kinematics = fuzz("forward_kinematics")
test_fuzz_reset_forward_kinematics = fuzz("reset_forward_kinematics")


@pytest.mark.parametrize("method", [name for name in ENTRIES if name != "__new__"])
@pytest.mark.parametrize("receiver", [None, 1.5, [], K, object()],
                         ids=["None", "float", "list", "the_class", "object"])
def test_foreign_receiver_is_refused_before_anything_is_read(method, receiver):
    desc = ("fake", [("const", 1.0)] * 4, ("return", 4), None)
    arg = build(desc)
    EVENTS.clear()
    with pytest.raises(TypeError):
        getattr(K, method)(receiver, arg)
    assert EVENTS == []


@pytest.mark.parametrize("entry", list(ENTRIES))
def test_keyword_without_utf8_form_is_an_unexpected_keyword(entry):
    # A lone surrogate cannot be encoded, so it names no parameter; that is a
    # binding error like any other, not the encoder's UnicodeEncodeError.
    k = prepared()
    with pytest.raises(TypeError) as info:
        invoke(entry, k, [], {"\ud800": 1.0})
    assert type(info.value) is TypeError
    assert str(info.value) == (f"ZandrelRustKinematics.{entry}() got an unexpected keyword "
                               "argument '\ud800'")
