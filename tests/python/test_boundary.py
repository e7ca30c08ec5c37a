"""Argument binding, conversion and error translation at every entry."""

import array
import math
import sys

import pytest

from zandrel_torso_kinematics import ZandrelRustKinematics as K

I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"


def model(branches=1):
    k = K(1.0, 1.0)
    for _ in range(branches):
        k.add_branch([1.0, 1.0, 0.0], I4, 1.0)
    return k


def branch_count(k):
    return len(k.inverse_kinematics(I4))


def poisoned_model():
    k = model(0)
    with pytest.raises(BaseException) as info:
        k.forward_kinematics([0.0] * 6)
    assert type(info.value).__name__ == "PanicException"
    return k


class Lying:
    """A sequence whose length, items and numbers are configurable."""

    def __init__(self, length=3, item=1.0, fail_len=None, fail_item=None):
        self.length, self.item, self.fail_len, self.fail_item = length, item, fail_len, fail_item

    def __len__(self):
        if self.fail_len:
            raise self.fail_len
        return self.length

    def __getitem__(self, i):
        if self.fail_item:
            raise self.fail_item
        return self.item


class Number:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def chained_type_error():
    try:
        raise ValueError("root cause")
    except ValueError as cause:
        err = TypeError("no float here")
        err.__cause__ = cause
        return err


class TypeErrorSubclass(TypeError):
    pass


# (call, exception type, exact message)
BINDING_CASES = [
    (lambda: K(), "ZandrelRustKinematics.__new__() missing 2 required positional arguments: "
     "'motor_arm_length' and 'rod_length'"),
    (lambda: K(1.0), "ZandrelRustKinematics.__new__() missing 1 required positional argument: "
     "'rod_length'"),
    (lambda: K(1, 2, 3), "ZandrelRustKinematics.__new__() takes 2 positional arguments but 3 were "
     "given"),
    (lambda: K(1, motor_arm_length=2), "ZandrelRustKinematics.__new__() got multiple values for "
     "argument 'motor_arm_length'"),
    (lambda: K(1, rod=2), "ZandrelRustKinematics.__new__() got an unexpected keyword argument 'rod'"),
    (lambda: model().add_branch(), "ZandrelRustKinematics.add_branch() missing 3 required "
     "positional arguments: 'branch_platform', 't_world_motor', and 'solution'"),
    (lambda: model().add_branch([1, 2, 3]), "ZandrelRustKinematics.add_branch() missing 2 required "
     "positional arguments: 't_world_motor' and 'solution'"),
    (lambda: model().add_branch(solution=1), "ZandrelRustKinematics.add_branch() missing 2 required "
     "positional arguments: 'branch_platform' and 't_world_motor'"),
    (lambda: model().add_branch(1, 2, 3, 4), "ZandrelRustKinematics.add_branch() takes 3 positional "
     "arguments but 4 were given"),
    (lambda: model().inverse_kinematics(I4, 0.1, 0.2), "ZandrelRustKinematics.inverse_kinematics() "
     "takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: model().inverse_kinematics(I4, 0.1, body_yaw=0.2), "ZandrelRustKinematics."
     "inverse_kinematics() got multiple values for argument 'body_yaw'"),
    (lambda: model().inverse_kinematics(body_yaw=0.2), "ZandrelRustKinematics.inverse_kinematics() "
     "missing 1 required positional argument: 't_world_platform'"),
    (lambda: model().reset_forward_kinematics(I4, I4), "ZandrelRustKinematics."
     "reset_forward_kinematics() takes 1 positional arguments but 2 were given"),
    (lambda: model().reset_forward_kinematics(), "ZandrelRustKinematics.reset_forward_kinematics() "
     "missing 1 required positional argument: 't_world_platform'"),
    (lambda: model().forward_kinematics([0] * 6, yaw=1.0), "ZandrelRustKinematics."
     "forward_kinematics() got an unexpected keyword argument 'yaw'"),
    (lambda: model().inverse_kinematics_safe(I4, 1, 2, 3, 4), "ZandrelRustKinematics."
     "inverse_kinematics_safe() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: model().inverse_kinematics_safe(), "ZandrelRustKinematics.inverse_kinematics_safe() "
     "missing 1 required positional argument: 't_world_platform'"),
    # Too many positional arguments is reported before any keyword is looked at.
    (lambda: model().add_branch(1, 2, 3, 4, bogus=1), "ZandrelRustKinematics.add_branch() takes 3 "
     "positional arguments but 4 were given"),
    # Keywords are checked in the order given, before missing parameters.
    (lambda: model().add_branch(solution=1, bogus=2), "ZandrelRustKinematics.add_branch() got an "
     "unexpected keyword argument 'bogus'"),
    (lambda: model().inverse_kinematics_safe(I4, 1, 2, 3, max_body_yaw=1), "ZandrelRustKinematics."
     "inverse_kinematics_safe() got multiple values for argument 'max_body_yaw'"),
]


@pytest.mark.parametrize(("call", "message"), BINDING_CASES)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_one_positional_uses_was():
    with pytest.raises(TypeError, match=r"takes 1 positional arguments but 2 were given"):
        model().reset_forward_kinematics(I4, I4)
    with pytest.raises(TypeError) as info:
        K.__new__(K, 1, 2, 3)
    assert "but 3 were given" in str(info.value)


def test_keywords_bind_in_any_order():
    k = K(rod_length=1.0, motor_arm_length=1.0)
    k.add_branch(solution=1.0, t_world_motor=I4, branch_platform=(1, 1, 0))
    assert k.inverse_kinematics(body_yaw=None, t_world_platform=I4) == model().inverse_kinematics(I4)


# (argument position in add_branch, bad value, exception type, exact message or None)
CONVERSION_CASES = [
    ({}, TypeError, "argument 'branch_platform': 'dict' object cannot be converted to 'Sequence'"),
    ((x for x in (1, 2, 3)), TypeError,
     "argument 'branch_platform': 'generator' object cannot be converted to 'Sequence'"),
    ({1, 2, 3}, TypeError, "argument 'branch_platform': 'set' object cannot be converted to 'Sequence'"),
    (None, TypeError, "argument 'branch_platform': 'NoneType' object cannot be converted to 'Sequence'"),
    (3.0, TypeError, "argument 'branch_platform': 'float' object cannot be converted to 'Sequence'"),
    ([1, 2], ValueError, "expected a sequence of length 3 (got 2)"),
    ([1, 2, 3, 4], ValueError, "expected a sequence of length 3 (got 4)"),
    ("abc", TypeError, "argument 'branch_platform': must be real number, not str"),
    ([1, "2", 3], TypeError, "argument 'branch_platform': must be real number, not str"),
    ([1, None, 3], TypeError, "argument 'branch_platform': must be real number, not NoneType"),
    ([1, 2, 10**400], OverflowError, "int too large to convert to float"),
    (Lying(fail_len=RuntimeError("len broke")), RuntimeError, "len broke"),
    (Lying(fail_item=IndexError("item broke")), IndexError, "item broke"),
    (Lying(length=5), ValueError, "expected a sequence of length 3 (got 5)"),
    ([1, Number(ZeroDivisionError("float broke")), 3], ZeroDivisionError, "float broke"),
    ([1, Number("not a float"), 3], TypeError, None),
    ([1, Number(TypeErrorSubclass("subclass")), 3], TypeErrorSubclass, "subclass"),
]


@pytest.mark.parametrize(("value", "error", "message"), CONVERSION_CASES)
def test_branch_platform_conversion_errors_leave_model_unchanged(value, error, message):
    k = model(2)
    with pytest.raises(error) as info:
        k.add_branch(value, I4, 1.0)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert str(info.value).startswith("argument 'branch_platform': ")
    assert branch_count(k) == 2


ROW = [0.0, 0.0, 0.0, 1.0]
MATRIX_CASES = [
    ([ROW, ROW, ROW], ValueError, "expected a sequence of length 4 (got 3)"),
    ([ROW, ROW, [0, 0, 1], ROW], ValueError, "expected a sequence of length 4 (got 3)"),
    ([ROW, ROW, ROW, ROW + [1]], ValueError, "expected a sequence of length 4 (got 5)"),
    ([5, ROW, ROW, ROW], TypeError, "argument 't_world_motor': 'int' object cannot be converted to "
     "'Sequence'"),
    ([ROW, ROW, ROW, {}], TypeError, "argument 't_world_motor': 'dict' object cannot be converted "
     "to 'Sequence'"),
    # Row 0 is fully converted before row 1 is looked at.
    ([[0, 0, "x", 0], 5, ROW, ROW], TypeError, "argument 't_world_motor': must be real number, "
     "not str"),
    ("abcd", ValueError, "expected a sequence of length 4 (got 1)"),
]


@pytest.mark.parametrize(("value", "error", "message"), MATRIX_CASES)
def test_matrix_conversion_errors(value, error, message):
    k = model(1)
    with pytest.raises(error) as info:
        k.add_branch([0, 0, 0], value, 1.0)
    assert str(info.value) == message
    assert branch_count(k) == 1


def test_first_bad_argument_is_reported():
    k = model(1)
    with pytest.raises(TypeError, match="^argument 'branch_platform'"):
        k.add_branch({}, "not a matrix", "not a number")
    with pytest.raises(TypeError, match="^argument 'solution'"):
        k.add_branch([0, 0, 0], I4, "x")
    assert branch_count(k) == 1


@pytest.mark.parametrize(
    ("call", "name"),
    [
        (lambda k: K("a", 1.0), "motor_arm_length"),
        (lambda k: K(1.0, None), "rod_length"),
        (lambda k: k.inverse_kinematics(I4, "yaw"), "body_yaw"),
        (lambda k: k.inverse_kinematics({}), "t_world_platform"),
        (lambda k: k.reset_forward_kinematics(None), "t_world_platform"),
        (lambda k: k.forward_kinematics({}), "joint_angles"),
        (lambda k: k.forward_kinematics([0] * 6, []), "body_yaw"),
        (lambda k: k.inverse_kinematics_safe(I4, 0.1, "m"), "max_relative_yaw"),
        (lambda k: k.inverse_kinematics_safe(I4, 0.1, 0.2, "m"), "max_body_yaw"),
    ],
)
def test_every_argument_is_named_in_its_type_error(call, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        call(model())


def test_reworded_error_carries_the_original_cause():
    with pytest.raises(TypeError) as info:
        model().add_branch([0, 0, 0], I4, Number(chained_type_error()))
    assert str(info.value) == "argument 'solution': no float here"
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "root cause"


def test_joint_angles_length_is_checked():
    with pytest.raises(ValueError, match=r"^expected a sequence of length 6 \(got 5\)$"):
        model().forward_kinematics([0.0] * 5)


@pytest.mark.parametrize(
    "platform",
    [(1, 1, 0), [1.0, 1.0, 0.0], range(1, 4), array.array("d", [1, 1, 0]), b"\x01\x01\x00",
     [True, 1, 0.0]],
    ids=["tuple", "list", "range", "array", "bytes", "bool"],
)
def test_sequences_and_numbers_accepted(platform):
    k = K(1, 1)
    k.add_branch(platform, I4, 1)
    assert len(k.inverse_kinematics(I4)) == 1


def test_number_protocol_variants_give_the_same_result():
    class Index:
        def __index__(self):
            return 1

    class FloatSub(float):
        pass

    expected = model().inverse_kinematics(I4, 0.0)
    for zero_yaw in (0, False, FloatSub(0.0), -0.0):
        assert model().inverse_kinematics(I4, zero_yaw) == expected
    k = K(Index(), True)
    k.add_branch([1, 1, 0], I4, FloatSub(1.0))
    assert k.inverse_kinematics(I4) == model().inverse_kinematics(I4)


def test_none_and_omitted_are_the_same():
    k = model(2)
    assert k.inverse_kinematics(I4) == k.inverse_kinematics(I4, None)
    assert k.inverse_kinematics_safe(I4, None, -1.0, None) == k.inverse_kinematics_safe(I4)


def test_list_shrinking_during_conversion_raises_instead_of_crashing():
    values = [1.0, None, 3.0]

    class Shrinker:
        def __float__(self):
            values.clear()
            return 2.0

    values[1] = Shrinker()
    with pytest.raises(IndexError):
        model().add_branch(values, I4, 1.0)


def test_panic_exception_type():
    k = model(0)
    try:
        k.forward_kinematics([0.0] * 6)
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("PanicException was caught by 'except Exception'")
    except BaseException as e:  # noqa: BLE001
        panic = e
    cls = type(panic)
    assert (cls.__module__, cls.__name__) == ("pyo3_runtime", "PanicException")
    assert cls.__bases__ == (BaseException,)
    assert panic.args == ("Forward kinematics requires exactly 6 joint angles",)
    assert "BaseException" in cls.__doc__
    with pytest.raises(cls) as again:  # one type per process
        k.add_branch([0, 0, 0], I4, 1)
    assert str(again.value) == POISONED


@pytest.mark.parametrize(
    "call",
    [
        lambda k: k.add_branch([0, 0, 0], I4, 1.0),
        lambda k: k.inverse_kinematics(I4),
        lambda k: k.inverse_kinematics_safe(I4, 0.1, 0.2, 0.3),
        lambda k: k.reset_forward_kinematics(I4),
        lambda k: k.forward_kinematics([0.0] * 6, 0.1),
    ],
    ids=["add_branch", "inverse", "inverse_safe", "reset", "forward"],
)
def test_poisoned_object_rejects_every_method(call):
    k = poisoned_model()
    for _ in range(2):
        with pytest.raises(BaseException) as info:
            call(k)
        assert str(info.value) == POISONED


def test_argument_errors_win_over_poison_and_a_new_object_works():
    k = poisoned_model()
    with pytest.raises(ValueError, match="length 3"):
        k.add_branch([0, 0], I4, 1.0)
    with pytest.raises(TypeError, match="missing 3 required"):
        k.add_branch()
    fresh = model(1)
    assert math.isclose(fresh.inverse_kinematics(I4)[0], math.pi / 2)


def test_results_are_fresh_lists_of_floats():
    k = model(2)
    first, second = k.inverse_kinematics(I4), k.inverse_kinematics(I4)
    assert first == second and first is not second
    assert all(type(x) is float for x in first)
    assert k.add_branch([0, 0, 0], I4, 1.0) is None
    assert k.reset_forward_kinematics(I4) is None


def test_arguments_keep_their_reference_counts():
    k = model(1)
    pose = [list(row) for row in I4]
    yaw = 0.25
    platform = [1.0, 1.0, 0.0]
    before = [sys.getrefcount(x) for x in (pose, pose[0], yaw, platform)]
    for _ in range(1000):
        k.inverse_kinematics(pose, yaw)
        k.inverse_kinematics_safe(pose, yaw, 0.1, 0.2)
        k.reset_forward_kinematics(pose)
        with pytest.raises(ValueError):
            k.add_branch(platform[:2], pose, 1.0)
        with pytest.raises(TypeError):
            k.add_branch(platform, pose, "x")
    after = [sys.getrefcount(x) for x in (pose, pose[0], yaw, platform)]
    assert before == after
