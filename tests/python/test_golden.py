"""The golden results: this build reproduces tests/golden/results.txt bit for
bit, a NaN matching a NaN whatever its sign bit (see tests/golden/golden.py)."""

import math
import os
import pathlib
import platform
import re
import struct
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "golden"))
import golden  # noqa: E402


def _glibc_non_fma_path():
    """x86-64 glibc computes sin, cos and atan2 differently (in the last bit,
    now and then) on CPUs without FMA, or when told to ignore it."""
    if platform.machine() != "x86_64":
        return False
    try:
        cpuinfo = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return False
    no_fma = not re.search(r"^flags\s*:.*\bfma\b", cpuinfo, re.MULTILINE)
    return no_fma or "-FMA" in os.environ.get("GLIBC_TUNABLES", "")


@pytest.mark.skipif(_glibc_non_fma_path(), reason="glibc's non-FMA sin/cos/atan2 (see README)")
def test_reproduces_the_golden_results_bit_for_bit(kinematics_class):
    records, differing = {}, []
    for number, kind, expected, got in golden.replay(kinematics_class):
        records[kind] = records.get(kind, 0) + 1
        if len(got) != len(expected) or not all(map(golden.same_bits, expected, got)):
            differing.append(number)
    assert set(records) == {"ik", "iks", "fk"}, records
    assert not differing, f"{len(differing)} records differ, first at lines {differing[:10]}"


@given(st.floats(allow_nan=True, allow_infinity=True) | st.just(-math.nan))
def test_the_file_format_keeps_every_bit_but_a_nan_payload(x):
    back = golden._num(golden._hex(x))
    if math.isnan(x):
        assert math.isnan(back) and math.copysign(1.0, back) == math.copysign(1.0, x)
    else:
        assert struct.pack("<d", back) == struct.pack("<d", x)
