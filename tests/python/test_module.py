"""The module object, the class type and what it refuses."""

import copy
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import zandrel_torso_kinematics as ztk
from zandrel_torso_kinematics import ZandrelRustKinematics as K


def test_module_attributes():
    assert ztk.__all__ == ["ZandrelRustKinematics"]
    assert ztk.__doc__ == ""
    assert ztk.ZandrelRustKinematics is K
    assert not hasattr(ztk, "PanicException")


def test_class_identity_and_signature():
    assert K.__module__ == "builtins"
    assert K.__name__ == K.__qualname__ == "ZandrelRustKinematics"
    assert K.__text_signature__ == "(motor_arm_length, rod_length)"
    assert K.__doc__ == ""
    # CPython's type repr prints the full tp_name when the module is builtins.
    assert repr(K) == "<class 'builtins.ZandrelRustKinematics'>"
    assert repr(K(1, 1)).startswith("<builtins.ZandrelRustKinematics object at 0x")


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        ("add_branch", "($self, branch_platform, t_world_motor, solution)"),
        ("inverse_kinematics", "($self, t_world_platform, body_yaw=None)"),
        ("reset_forward_kinematics", "($self, t_world_platform)"),
        ("forward_kinematics", "($self, joint_angles, body_yaw=None)"),
        (
            "inverse_kinematics_safe",
            "($self, t_world_platform, body_yaw=None, max_relative_yaw=None, max_body_yaw=None)",
        ),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(K, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_method_table_order():
    names = [n for n in vars(K) if not n.startswith("__")]
    assert names == [
        "add_branch",
        "inverse_kinematics",
        "reset_forward_kinematics",
        "forward_kinematics",
        "inverse_kinematics_safe",
    ]


def test_cannot_subclass():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (K,), {})


@pytest.mark.parametrize(
    ("action", "error"),
    [
        (lambda k: setattr(k, "extra", 1), AttributeError),
        (lambda k: weakref.ref(k), TypeError),
        (lambda k: pickle.dumps(k), TypeError),
        (lambda k: copy.copy(k), TypeError),
        (lambda k: copy.deepcopy(k), TypeError),
    ],
    ids=["setattr", "weakref", "pickle", "copy", "deepcopy"],
)
def test_instances_refuse(action, error):
    with pytest.raises(error):
        action(K(1.0, 2.0))


def test_class_attributes_can_be_rebound():
    original = K.add_branch
    try:
        K.add_branch = lambda self: "patched"
        assert K(1, 1).add_branch() == "patched"
    finally:
        K.add_branch = original


def _run(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_reimport_returns_the_same_module_and_class():
    result = _run(
        """
        import sys
        import zandrel_torso_kinematics as first
        cls = first.ZandrelRustKinematics
        first.__all__.append("extra")
        del sys.modules["zandrel_torso_kinematics"]
        import zandrel_torso_kinematics as second
        assert second is first and second.ZandrelRustKinematics is cls
        assert second.__all__ == ["ZandrelRustKinematics", "extra"], second.__all__
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    result = _run(
        """
        import _testcapi
        import zandrel_torso_kinematics
        code = '''
        try:
            import zandrel_torso_kinematics
        except ImportError as e:
            print("refused:", e)
        '''
        _testcapi.run_in_subinterp(code.replace("\\n        ", "\\n"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert "refused:" in result.stdout
    assert "sub-interpreters" in result.stdout


def test_only_the_init_function_is_exported():
    nm = subprocess.run(
        ["nm", "-D", "--defined-only", ztk.__file__], capture_output=True, text=True
    )
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    exported = {line.split()[-1] for line in nm.stdout.splitlines() if " T " in line}
    assert exported == {"PyInit_zandrel_torso_kinematics"}
