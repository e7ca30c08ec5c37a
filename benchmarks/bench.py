"""Cost per call of every method, beside its floor and a NumPy implementation.

Run with ``make bench`` (which builds the floor extension and puts it on the
path), or directly once ``zandrel_floor`` is importable:

    PYTHONPATH=build/.venv/floor .venv/bin/python benchmarks/bench.py [--json PATH]

For every case three things are timed in the same run, in rounds: every
round times every loop of every case once, so that a busy machine slows all
figures alike, including those compared across rows:

* the extension's call;
* the floor: ``zandrel_floor.Floor``, whose methods take the same arguments,
  convert them with the extension's own binding and conversion code and build
  the same result objects, and do nothing else. "x floor" is call / floor:
  1.0 would mean the kinematics cost nothing;
* the NumPy reference (numpy_reference.py, around the package's NumPy model
  zandrel_torso.reference) with the same inputs. "x NumPy" is
  NumPy / call: how many times faster the extension is.

Each cost is the median over the rounds of the mean cost per call of a
timeit loop (garbage collection off, as timeit does); each ratio is the median
over the rounds of the ratio within a round, whose loops ran moments apart.

Forward kinematics "with one step": every call has to start away from the
solution, so each timed loop body is ``reset_forward_kinematics(P)`` followed
by ``forward_kinematics(angles)``, and the separately measured median of
``reset_forward_kinematics(P)`` alone is subtracted (for the extension and for
NumPy). The floor of that row is the plain forward_kinematics floor. On the
sample geometry the step from P is accepted at the line search's fourth trial
(step length 1/8), which the script checks and reports.

"C++": with --cpp PATH (``make bench`` passes it), the inverse and the
forward step are also timed as a C++ program calls the library, with no
interpreter in the way: PATH is benchmarks/core_bench.cpp built against the
core, which times loops of the same calls on the same inputs when asked,
inside the same rounds. "x C++" is the module's call / the C++ call.

"Torso.inverse" is the typed layer's call (zandrel_torso.Torso, on the sample
in metres) beside the same floor and NumPy figures as inverse_kinematics: what
its checks and its arrays in and out cost on top of the extension.

The "x1000" rows time 1,000 poses at once (their ns are per 1,000): the raw
inverse_kinematics called on each pose as a list, as a control program
would, and Torso.inverse given the poses as one (1000, 4, 4) array,
returning a (1000, 6) array. Both share the raw loop's floor and NumPy
figures; the target compares the two calls within each round.
"""

import argparse
import json
import math
import pathlib
import platform
import statistics
import subprocess
import sys
import timeit

import numpy as np

_HERE = str(pathlib.Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from numpy_reference import NumpyKinematics  # noqa: E402
from zandrel_torso import SAMPLE_HOME_HEIGHT, Torso, pose, sample_geometry  # noqa: E402

try:
    from zandrel_floor import Floor  # noqa: E402
except ImportError:
    sys.exit("zandrel_floor is not importable: run `make bench`, or put build/<venv>/floor on PYTHONPATH")

import zandrel_torso_kinematics  # noqa: E402,F401

# A reachable pose away from home, the body yaw and limits used with it, and a
# nearby start for the forward step.
SAMPLE = sample_geometry()
TARGET = pose(roll=0.10, pitch=-0.05, yaw=0.08, x=0.003, y=-0.002, z=SAMPLE_HOME_HEIGHT + 0.004).tolist()
START = pose(roll=0.12, pitch=-0.04, yaw=0.07, x=0.005, y=-0.001, z=SAMPLE_HOME_HEIGHT + 0.002).tolist()
BODY_YAW = 0.3
MAX_RELATIVE_YAW = 0.1
MAX_BODY_YAW = 0.25
# Reachable poses around home for the stacked rows, the same in every run.
_RNG = np.random.default_rng(19)
STACK = [
    pose(*_RNG.uniform(-0.2, 0.2, 3), *_RNG.uniform(-0.005, 0.005, 2), SAMPLE_HOME_HEIGHT + _RNG.uniform(-0.005, 0.005)).tolist()
    for _ in range(1000)
]


def make_kinematics():
    return Torso(SAMPLE).kinematics


def numpy_model():
    model = NumpyKinematics(SAMPLE.motor_arm_length, SAMPLE.rod_length)
    for leg in SAMPLE.legs:
        model.add_branch(leg.branch_platform, leg.t_world_motor, leg.solution)
    return model


class CoreBench:
    """benchmarks/core_bench, running: sent the geometry and the inputs once,
    then asked for one timed loop at a time."""

    def __init__(self, path, angles):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        lines = [f"{SAMPLE.motor_arm_length!r} {SAMPLE.rod_length!r}"]
        for leg in SAMPLE.legs:
            numbers = [*leg.branch_platform, *leg.t_world_motor.ravel(), leg.solution]
            lines.append(" ".join(repr(float(x)) for x in numbers))
        lines.append("end")
        for values in (sum(TARGET, []), sum(START, []), angles):
            lines.append(" ".join(repr(float(x)) for x in values))
        self.proc.stdin.write("\n".join(lines) + "\n")

    def timer(self, case):
        """An object timed like a timeit.Timer: timeit(number) -> seconds."""
        bench = self

        class Timer:
            def timeit(self, number):
                bench.proc.stdin.write(f"{case} {number}\n")
                bench.proc.stdin.flush()
                answer = bench.proc.stdout.readline()
                if not answer:
                    sys.exit(f"core_bench ended early (exit status {bench.proc.wait()})")
                return float(answer)

        return Timer()

    def close(self):
        self.proc.stdin.close()
        if self.proc.wait() != 0:
            sys.exit(f"core_bench failed with exit status {self.proc.returncode}")


def build_cases(angles):
    """Every case: its name, the kind of input, the statement timed for each
    of "call", "floor" and "numpy", their namespace, and the statements whose
    cost is subtracted (see the module docstring)."""

    inputs = {
        "list": dict(T=TARGET, P=START, A=angles, L=STACK),
        "ndarray": dict(T=np.array(TARGET), P=np.array(START), A=np.array(angles), L=STACK, S=np.array(STACK)),
    }
    cases = []
    for kind, values in inputs.items():
        solved_k = make_kinematics()
        solved_k.reset_forward_kinematics(TARGET)
        solved_np = numpy_model()
        solved_np.reset_forward_kinematics(TARGET)
        ns = dict(
            values,
            yaw=BODY_YAW, rel=MAX_RELATIVE_YAW, lim=MAX_BODY_YAW,
            k=make_kinematics(), f=Floor(), n=numpy_model(), torso=Torso(SAMPLE),
            ks=solved_k, ns=solved_np,
        )

        def case(name, stmt, solved=False, step=False, call=None, cpp=None):
            recv = {"call": "ks" if solved else "k", "floor": "f", "numpy": "ns" if solved else "n"}
            stmts = {impl: f"{obj}.{stmt}" for impl, obj in recv.items()}
            if call is not None:
                stmts["call"] = call
            subtract = {}
            if step:
                for impl in ("call", "numpy"):
                    subtract[impl] = f"{recv[impl]}.reset_forward_kinematics(P)"
                    stmts[impl] = f"{subtract[impl]}; {stmts[impl]}"
            # The C++ figure does not depend on the Python input's type.
            cpp = cpp if kind == "list" else None
            cases.append(dict(name=name, input=kind, stmts=stmts, ns=ns, subtract=subtract, cpp=cpp))

        case("inverse_kinematics", "inverse_kinematics(T)", cpp="inverse")
        case("inverse_kinematics, body_yaw", "inverse_kinematics(T, yaw)")
        case("inverse_kinematics_safe, both limits", "inverse_kinematics_safe(T, yaw, rel, lim)")
        case("forward_kinematics, solved pose", "forward_kinematics(A)", solved=True)
        case("forward_kinematics, one step", "forward_kinematics(A)", step=True, cpp="reset_forward")
        case("reset_forward_kinematics", "reset_forward_kinematics(T)")
        # The typed layer's cost over the extension: checks, conversion to and
        # from arrays. Same floor and NumPy figures as inverse_kinematics.
        case("Torso.inverse", "inverse_kinematics(T)", call="torso.inverse(T)")
    # A stack of poses: one raw call per pose against Torso's (N, 4, 4) path.
    loop = "[{}.inverse_kinematics(t) for t in L]"
    ns = cases[-1]["ns"]
    stmts = {impl: loop.format(obj) for impl, obj in (("call", "k"), ("floor", "f"), ("numpy", "n"))}
    cases.append(dict(name="inverse_kinematics on lists, x1000", input="list", stmts=stmts, ns=ns, subtract={}))
    stmts = dict(stmts, call="torso.inverse(S)")
    cases.append(dict(name="Torso.inverse (1000, 4, 4), x1000", input="ndarray", stmts=stmts, ns=ns, subtract={}))
    return cases


def check_setup(k, angles):
    """The cases measure what their names say, and the NumPy reference agrees.
    Returns the line-search trial at which the forward step is accepted."""
    ref = numpy_model()
    tol = 1e-9
    if not np.allclose(k.inverse_kinematics(TARGET), ref.inverse_kinematics(TARGET), atol=tol):
        sys.exit("NumPy reference disagrees on inverse_kinematics")
    if not np.allclose(k.inverse_kinematics(TARGET, BODY_YAW), ref.inverse_kinematics(TARGET, BODY_YAW), atol=tol):
        sys.exit("NumPy reference disagrees on inverse_kinematics with body_yaw")
    safe = (TARGET, BODY_YAW, MAX_RELATIVE_YAW, MAX_BODY_YAW)
    if not np.allclose(k.inverse_kinematics_safe(*safe), ref.inverse_kinematics_safe(*safe), atol=tol):
        sys.exit("NumPy reference disagrees on inverse_kinematics_safe")

    if Torso(SAMPLE).inverse(TARGET).tolist() != k.inverse_kinematics(TARGET):
        sys.exit("Torso.inverse disagrees with inverse_kinematics")
    if Torso(SAMPLE).inverse(np.array(STACK)).tolist() != [k.inverse_kinematics(t) for t in STACK]:
        sys.exit("Torso.inverse on a stack disagrees with inverse_kinematics pose by pose")

    k.reset_forward_kinematics(TARGET)
    if k.forward_kinematics(angles) != TARGET:
        sys.exit("forward_kinematics took a step at the solved pose")
    k.reset_forward_kinematics(START)
    ref.reset_forward_kinematics(START)
    stepped = k.forward_kinematics(angles)
    if stepped == START:
        sys.exit("forward_kinematics took no step from the start pose")
    if not np.allclose(stepped, ref.forward_kinematics(angles), atol=tol):
        sys.exit("NumPy reference disagrees on the forward step")
    return ref.last_trial


def loops_for(timer, seconds):
    """A loop count whose run takes about `seconds`."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= 0.002:
            return max(1, math.ceil(number * seconds / elapsed))
        number *= 4


def measure(cases, repeats, seconds, core=None):
    """Per case, the median cost per call of each implementation, and the
    ratios between them as medians of the ratios within each round.

    Each round times every loop of every case once, a case's three loops one
    right after the other, so that a ratio within a round compares figures
    taken moments apart: on a machine with a changing background load that is
    far steadier than a ratio of medians taken over the whole run."""
    timers = {}
    for i, case in enumerate(cases):
        for impl, stmt in case["subtract"].items():
            timers[i, f"{impl} reset"] = timeit.Timer(stmt, globals=case["ns"])
        for impl, stmt in case["stmts"].items():
            timers[i, impl] = timeit.Timer(stmt, globals=case["ns"])
        if core and case.get("cpp"):
            timers[i, "cpp"] = core.timer(case["cpp"])
            if case["subtract"]:
                timers[i, "cpp reset"] = core.timer("reset")
    loops = {key: loops_for(timer, seconds) for key, timer in timers.items()}
    samples = {key: [] for key in timers}
    for _ in range(repeats):
        for key, timer in timers.items():
            samples[key].append(timer.timeit(loops[key]) / loops[key] * 1e9)
        print(".", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)

    results = []
    for i, case in enumerate(cases):
        per_round = {impl: list(samples[i, impl]) for impl in case["stmts"]}
        if (i, "cpp") in samples:
            per_round["cpp"] = list(samples[i, "cpp"])
        for impl in per_round:
            if (i, f"{impl} reset") in samples:
                per_round[impl] = [t - r for t, r in zip(per_round[impl], samples[i, f"{impl} reset"])]
        call, floor, numpy_ = per_round["call"], per_round["floor"], per_round["numpy"]
        cpp = {}
        if "cpp" in per_round:
            cpp = dict(
                cpp_ns=statistics.median(per_round["cpp"]),
                call_over_cpp=statistics.median(c / n for c, n in zip(call, per_round["cpp"])),
            )
        results.append(
            dict(
                **cpp,
                name=case["name"], input=case["input"],
                call_ns=statistics.median(call),
                floor_ns=statistics.median(floor),
                numpy_ns=statistics.median(numpy_),
                ratio_to_floor=statistics.median(c / f for c, f in zip(call, floor)),
                speedup_over_numpy=statistics.median(n / c for n, c in zip(numpy_, call)),
                call_ns_per_round=call,
            )
        )
    return results


def targets(results):
    """The team's speed targets, evaluated on this run's medians."""
    by = {(r["name"], r["input"]): r for r in results}
    ik_list = by["inverse_kinematics", "list"]
    ik_array = by["inverse_kinematics", "ndarray"]
    fk_solved = by["forward_kinematics, solved pose", "list"]
    fk_step = by["forward_kinematics, one step", "list"]
    torso_list = by["Torso.inverse", "list"]
    torso_array = by["Torso.inverse", "ndarray"]
    raw_loop = by["inverse_kinematics on lists, x1000", "list"]
    torso_stack = by["Torso.inverse (1000, 4, 4), x1000", "ndarray"]
    return [
        ("inverse_kinematics (list) / floor", ik_list["ratio_to_floor"], "<=", 1.5),
        ("inverse_kinematics (ndarray) / same call with lists",
         statistics.median(a / l for a, l in zip(ik_array["call_ns_per_round"], ik_list["call_ns_per_round"])),
         "<=", 1.2),
        ("inverse_kinematics (ndarray) / floor", ik_array["ratio_to_floor"], "<=", 1.5),
        ("forward_kinematics, solved pose / floor", fk_solved["ratio_to_floor"], "<=", 2.0),
        ("forward_kinematics, one step / floor", fk_step["ratio_to_floor"], "<=", 6.0),
        ("inverse_kinematics: speed-up over NumPy", ik_list["speedup_over_numpy"], ">=", 30.0),
        ("forward_kinematics, one step: speed-up over NumPy", fk_step["speedup_over_numpy"], ">=", 20.0),
        ("Torso.inverse (list), ns per call", torso_list["call_ns"], "<=", 3000.0),
        ("Torso.inverse (ndarray), ns per call", torso_array["call_ns"], "<=", 3000.0),
        ("Torso.inverse on (1000, 4, 4) / 1000 raw calls on lists",
         statistics.median(s / r for s, r in zip(torso_stack["call_ns_per_round"], raw_loop["call_ns_per_round"])),
         "<=", 1.5),
    ]


def met(value, op, bound):
    return value <= bound if op == "<=" else value >= bound


def print_table(results, checks, step_trial):
    print(f"module: {zandrel_torso_kinematics.__file__}")
    print(f"floor:  {sys.modules[Floor.__module__].__file__}")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}")
    print()
    header = f"{'case':40} {'input':8} {'ns/call':>9} {'floor ns':>9} {'x floor':>8} {'NumPy ns':>10} {'x NumPy':>8}"
    print(header)
    print("-" * len(header))
    for r in results:
        print(
            f"{r['name']:40} {r['input']:8} {r['call_ns']:9.0f} {r['floor_ns']:9.0f} "
            f"{r['ratio_to_floor']:8.2f} {r['numpy_ns']:10.0f} {r['speedup_over_numpy']:8.1f}"
        )
    cpp_rows = [r for r in results if "cpp_ns" in r]
    if cpp_rows:
        print()
        header = f"{'the same call from C++ (no interpreter)':40} {'C++ ns':>9} {'module ns':>9} {'x C++':>8}"
        print(header)
        print("-" * len(header))
        for r in cpp_rows:
            print(f"{r['name']:40} {r['cpp_ns']:9.0f} {r['call_ns']:9.0f} {r['call_over_cpp']:8.2f}")
    print()
    print(f"forward step: accepted at line-search trial {step_trial} (step length 1/{2 ** step_trial})")
    print("targets:")
    for label, value, op, bound in checks:
        print(f"  {'met ' if met(value, op, bound) else 'MISS'}  {label}: {value:.2f} (target {op} {bound})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON to PATH")
    parser.add_argument("--repeats", type=int, default=41, help="timed rounds (default 41)")
    parser.add_argument(
        "--seconds", type=float, default=0.006, help="length of one timed loop in seconds (default 0.006)"
    )
    parser.add_argument("--cpp", metavar="PATH", help="core_bench, to time the same calls from C++ too")
    args = parser.parse_args(argv)

    k = make_kinematics()
    angles = k.inverse_kinematics(TARGET)
    step_trial = check_setup(k, angles)
    core = CoreBench(args.cpp, angles) if args.cpp else None
    results = measure(build_cases(angles), args.repeats, args.seconds, core)
    if core:
        core.close()
    checks = targets(results)
    print_table(results, checks, step_trial)
    if args.json:
        report = dict(
            python=sys.version,
            numpy=np.__version__,
            machine=platform.machine(),
            repeats=args.repeats,
            seconds_per_repeat=args.seconds,
            forward_step_trial=step_trial,
            results=results,
            module=zandrel_torso_kinematics.__file__,
            targets=[
                dict(label=label, value=value, op=op, bound=bound, met=met(value, op, bound))
                for label, value, op, bound in checks
            ],
        )
        pathlib.Path(args.json).write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
