"""The golden results: this build reproduces tests/golden/results.txt bit for
bit, a NaN matching a NaN whatever its sign bit (see tests/golden/golden.py)."""

import math
import pathlib
import struct
import sys

from hypothesis import given
from hypothesis import strategies as st

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "golden"))
import golden  # noqa: E402


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
