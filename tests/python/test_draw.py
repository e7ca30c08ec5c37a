"""The 3D picture: titled with its pose, and seen from where legs do not
seem to cross."""

import itertools
import math
import re

import numpy as np
import pytest
from zandrel_torso import Geometry, Torso, pose, sample_geometry

HEAD = Geometry.three_pairs(base_radius=60.0, base_spread=math.radians(40), platform_radius=40.0,
                            platform_spread=math.radians(30), motor_arm_length=25.0, rod_length=95.0,
                            home_height=90.0, unit="mm")


def leg_segments(geometry, t):
    a = geometry.motor_arm_length
    for leg, theta in zip(geometry.legs, Torso(geometry).inverse(t)):
        motor = leg.t_world_motor
        tip = motor[:3, :3] @ [a * math.cos(theta), a * math.sin(theta), 0.0] + motor[:3, 3]
        yield [(motor[:3, 3], tip), (tip, t[:3, :3] @ leg.branch_platform + t[:3, 3])]


def crosses(p, q, r, s):
    def side(a, b, c):
        return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])
    return side(p, q, r) * side(p, q, s) < 0 and side(r, s, p) * side(r, s, q) < 0


@pytest.mark.parametrize("geometry", [HEAD, sample_geometry("mm")], ids=["head", "sample"])
@pytest.mark.parametrize("tilt", [(0, 0, 0), (12, -6, 10), (-15, 10, -20)])
def test_default_view_keeps_legs_apart_and_the_title_gives_the_pose(geometry, tilt):
    pytest.importorskip("matplotlib")
    from zandrel_torso.plot import draw

    t = geometry.home @ pose(*np.radians(tilt), 1.5, -2.0, 4.0)
    ax = draw(geometry, t)
    # Orthographic projection onto the screen plane of the axes' own view.
    elev, azim = math.radians(ax.elev), math.radians(ax.azim)
    eye = np.array([math.cos(elev) * math.cos(azim), math.cos(elev) * math.sin(azim), math.sin(elev)])
    right = np.cross([0.0, 0.0, 1.0], eye)
    right /= np.linalg.norm(right)
    up = np.cross(eye, right)
    legs = [[[(p @ right, p @ up) for p in segment] for segment in leg] for leg in leg_segments(geometry, t)]
    for one, other in itertools.combinations(legs, 2):
        assert not any(crosses(*s1, *s2) for s1 in one for s2 in other)
    title = [float(x) for x in re.findall(r"-?\d+\.?\d*", ax.get_title())]
    assert title[:3] == pytest.approx(list(tilt), abs=0.051)
    assert title[3:6] == pytest.approx(list(t[:3, 3]), rel=1e-3)
    assert draw(geometry, t, view="top").elev == 90.0


@pytest.mark.parametrize(
    ("t", "view", "marks"),
    [
        (pose(z=0.177), "side", []),
        (pose(roll=math.radians(70), z=0.177), "default",
         ["servo out of its range", "past a singularity (margin -0.108)"]),
        (pose(x=0.07, z=0.177), "top", ["out of reach"]),
    ],
)
def test_legs_that_cannot_be_commanded_are_marked(t, view, marks):
    pytest.importorskip("matplotlib")
    from zandrel_torso.plot import draw

    checked = Torso(sample_geometry()).check(t)
    ax = draw(sample_geometry(), t, view=view)
    legend = ax.get_legend()
    assert ([text.get_text() for text in legend.get_texts()] if legend else []) == marks
    labels = [text.get_text() for text in ax.texts]
    # Each leg's label says what stops it, in the colour of its legend entry.
    for index, label in enumerate(labels):
        expected = (f"{index}: out of reach" if np.isnan(checked.angles[index]) else
                    f"{index}: servo out of range" if checked.servo_margin[index] < 0.0 else str(index))
        assert label == expected
