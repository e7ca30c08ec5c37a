"""The generated type stub: its annotations, and that mypy uses it."""

import ast
import importlib.metadata
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SEQ = "typing.Sequence[builtins.float]"
MATRIX = "typing.Sequence[typing.Sequence[builtins.float]]"
OPT = "typing.Optional[builtins.float]"

# method -> ([(parameter, annotation, default)], result)
EXPECTED = {
    "__new__": (
        [("motor_arm_length", "builtins.float", None), ("rod_length", "builtins.float", None)],
        "ZandrelRustKinematics",
    ),
    "add_branch": (
        [("branch_platform", SEQ, None), ("t_world_motor", MATRIX, None),
         ("solution", "builtins.float", None)],
        "None",
    ),
    "inverse_kinematics": (
        [("t_world_platform", MATRIX, None), ("body_yaw", OPT, "None")],
        "builtins.list[builtins.float]",
    ),
    "reset_forward_kinematics": ([("t_world_platform", MATRIX, None)], "None"),
    "forward_kinematics": (
        [("joint_angles", SEQ, None), ("body_yaw", OPT, "None")],
        "builtins.list[builtins.list[builtins.float]]",
    ),
    "inverse_kinematics_safe": (
        [("t_world_platform", MATRIX, None), ("body_yaw", OPT, "None"),
         ("max_relative_yaw", OPT, "None"), ("max_body_yaw", OPT, "None")],
        "builtins.list[builtins.float]",
    ),
}


def stub_path() -> Path:
    files = importlib.metadata.files("zandrel_torso_kinematics") or []
    for f in files:
        if str(f).replace("\\", "/") == "zandrel_torso_kinematics-stubs/__init__.pyi":
            return Path(f.locate())
    pytest.fail("the installed distribution carries no zandrel_torso_kinematics-stubs package")


@pytest.fixture(scope="module")
def stub_class():
    tree = ast.parse(stub_path().read_text())
    classes = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    assert [c.name for c in classes] == ["ZandrelRustKinematics"]
    return classes[0]


def test_methods_in_order(stub_class):
    assert [f.name for f in stub_class.body if isinstance(f, ast.FunctionDef)] == list(EXPECTED)


@pytest.mark.parametrize("name", list(EXPECTED))
def test_annotations(stub_class, name):
    (func,) = [f for f in stub_class.body if isinstance(f, ast.FunctionDef) and f.name == name]
    params, result = EXPECTED[name]
    args = func.args.args[1:]  # without self / cls
    defaults = [None] * (len(args) - len(func.args.defaults)) + func.args.defaults
    got = [
        (a.arg, ast.unparse(a.annotation), None if d is None else ast.unparse(d))
        for a, d in zip(args, defaults)
    ]
    assert got == params
    assert ast.unparse(func.returns) == result


def test_stub_matches_runtime_signatures():
    import inspect

    from zandrel_torso_kinematics import ZandrelRustKinematics as K

    for name, (params, _) in EXPECTED.items():
        if name == "__new__":
            sig = inspect.signature(K)
            runtime = list(sig.parameters.values())
        else:
            runtime = list(inspect.signature(getattr(K, name)).parameters.values())[1:]
        assert [p.name for p in runtime] == [p for p, _, _ in params]
        assert [None if p.default is p.empty else repr(p.default) for p in runtime] == [
            d for _, _, d in params
        ]


def run_mypy(tmp_path, source):
    pytest.importorskip("mypy")
    path = tmp_path / "client.py"
    path.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(path)],
        capture_output=True, text=True, timeout=300,
    )


def test_mypy_accepts_typed_use(tmp_path):
    result = run_mypy(
        tmp_path,
        """
        from zandrel_torso_kinematics import ZandrelRustKinematics

        k = ZandrelRustKinematics(0.04, 0.085)
        k.add_branch((0.0, 0.1, 0.0), [[1.0, 0.0, 0.0, 0.0]] * 4, 1)
        angles: list[float] = k.inverse_kinematics([[1.0] * 4] * 4, body_yaw=None)
        safe: list[float] = k.inverse_kinematics_safe([[1.0] * 4] * 4, 0.1, max_body_yaw=0.2)
        pose: list[list[float]] = k.forward_kinematics(angles, 0.0)
        k.reset_forward_kinematics(pose)
        reveal_type(k.forward_kinematics)
        """,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "body_yaw: float | None =) -> list[list[float]]" in result.stdout


@pytest.mark.parametrize(
    ("call", "complaint"),
    [
        ('k.inverse_kinematics("pose")', 'incompatible type "str"'),
        ("k.forward_kinematics([0.0] * 6, yaw=1.0)", 'Unexpected keyword argument "yaw"'),
        ("x: str = k.inverse_kinematics([[1.0] * 4] * 4)", "Incompatible types in assignment"),
        ("k.add_branch([0.0] * 3, [[1.0] * 4] * 4)", 'Missing positional argument "solution"'),
    ],
)
def test_mypy_rejects_wrong_use(tmp_path, call, complaint):
    result = run_mypy(
        tmp_path,
        f"""
        from zandrel_torso_kinematics import ZandrelRustKinematics

        k = ZandrelRustKinematics(0.04, 0.085)
        {call}
        """,
    )
    assert result.returncode == 1, result.stdout + result.stderr
    assert complaint in result.stdout
