"""Which build of the module this run is testing.

The sanitizer run (make sanitize-py) builds the module into a directory of its
own and puts that first on the path; if the import fell through to the
installed, uninstrumented module, every test would still pass and prove
nothing. The Makefile names the directory it expects in
ZANDREL_EXPECT_MODULE_DIR, and sets ZANDREL_EXPECT_SANITIZERS; scripts/check-dist
names the site-packages of the environment a wheel was installed into.
"""

import os
from pathlib import Path

import pytest

import zandrel_torso._engine
import zandrel_torso_kinematics

EXPECTED_DIR = os.environ.get("ZANDREL_EXPECT_MODULE_DIR")

pytestmark = pytest.mark.skipif(not EXPECTED_DIR, reason="not a run of a separate build")


def test_the_module_comes_from_the_expected_build():
    loaded = Path(zandrel_torso_kinematics.__file__).resolve()
    assert loaded.parent == Path(EXPECTED_DIR).resolve(), loaded


def test_the_engine_comes_from_the_expected_build():
    # The typed package's engine is a module of its own, found through the
    # package: it must come from the same build (the sanitizer run puts a
    # package beside that build's engine first on the path).
    loaded = Path(zandrel_torso._engine.__file__)
    assert loaded.parent.resolve() == (Path(EXPECTED_DIR) / "zandrel_torso").resolve(), loaded


@pytest.mark.skipif(not os.environ.get("ZANDREL_EXPECT_SANITIZERS"), reason="not a sanitizer run")
def test_the_sanitizer_runtime_is_in_the_process():
    # Preloaded into the interpreter: an instrumented module in a process
    # without it would not even load, but check what the run claims.
    maps = Path("/proc/self/maps").read_text()
    assert "libasan" in maps and "libubsan" in maps
