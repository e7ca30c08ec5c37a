"""The studio's page in a real browser: headless Chromium shows the
mechanism, and moving a slider on the page changes the readouts.

Needs viser, playwright (the Python package only: it drives the system's
Chromium, /usr/bin/chromium, and downloads no browser) and Pillow."""

import os
import shutil
import socket

import numpy as np
import pytest

if os.environ.get("ZANDREL_EXPECT_SANITIZERS"):
    # The sanitizer runtimes preloaded into this interpreter would be
    # preloaded into the driver and the browser too; the page's C++ is the
    # engine the studio's own tests already run under them.
    pytest.skip("the browser is not run under the sanitizers", allow_module_level=True)
pytest.importorskip("viser", reason="the studio's page needs viser: pip install .[studio]")
sync_api = pytest.importorskip("playwright.sync_api", reason="the browser test drives Chromium with playwright")
Image = pytest.importorskip("PIL.Image", reason="the screenshot is read with Pillow")

from zandrel_torso import Torso, sample_geometry  # noqa: E402
from zandrel_torso.studio import Offsets, Studio, serve  # noqa: E402

CHROMIUM = os.environ.get("ZANDREL_CHROMIUM", "/usr/bin/chromium")
# Root in a container has no sandbox to enter; WebGL falls back to the
# software rasteriser, which headless Chromium only allows when told.
ARGS = ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def middle(png_path):
    """The middle of a screenshot of the canvas, where the camera looks at
    the mechanism: clear of the panel and notices floating over the canvas."""
    with Image.open(png_path) as image:
        w, h = image.size
        return image.convert("RGB").crop((int(0.35 * w), int(0.25 * h), int(0.65 * w), int(0.85 * h)))


def rod_coloured(r, g, b):
    """Near the rods' orange, however the light falls on them."""
    return r > 1.4 * g > 1.4 * 1.2 * b and r > 120


@pytest.fixture
def page_and_studio():
    if not shutil.which(CHROMIUM):
        pytest.skip(f"no Chromium at {CHROMIUM} (Debian: apt-get install chromium)")
    studio = Studio(Torso(sample_geometry()))
    page = serve(studio, port=free_port())
    try:
        yield page, studio
    finally:
        page.stop()


def test_the_page_shows_the_mechanism_and_a_slider_moves_it(page_and_studio, tmp_path):
    page, studio = page_and_studio
    with sync_api.sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=CHROMIUM, args=ARGS)
        try:
            tab = browser.new_page(viewport={"width": 1200, "height": 800})
            tab.set_default_timeout(20_000)
            tab.goto(page.url)
            canvas = tab.locator("canvas").first
            canvas.wait_for()
            table = tab.locator("table").first
            table.wait_for()
            before = table.inner_text()
            # Drawn: the middle of the scene shows many colours, not a
            # blank or a flat background, among them the rods' orange.
            tab.wait_for_timeout(1500)
            shot = tmp_path / "scene.png"
            canvas.screenshot(path=str(shot))
            pixels = middle(shot)
            colours = pixels.getcolors(1 << 24)
            assert len(colours) > 100
            assert sum(count for count, rgb in colours if rod_coloured(*rgb)) > 100

            # The roll slider, by keyboard on its thumb, to its far end.
            thumb = tab.get_by_role("slider").first
            thumb.focus()
            thumb.press("End")
            tab.wait_for_function(
                "([el, old]) => el.innerText !== old", arg=[table.element_handle(), before]
            )
            assert table.inner_text() != before
            assert studio.offsets is not None and studio.offsets.roll > 0.0
            assert studio.readouts().explain  # past the workspace: the check names a leg
            tab.wait_for_timeout(500)
            after = tmp_path / "moved.png"
            canvas.screenshot(path=str(after))
            assert after.read_bytes() != shot.read_bytes()
        finally:
            browser.close()


@pytest.mark.parametrize("last", [{"roll": 6.0, "z": -0.004}, {"roll": 80.0}])
def test_play_moves_the_page_along_the_plan_or_says_why_not(last):
    studio = Studio(Torso(sample_geometry()))
    page = serve(studio, port=free_port())
    try:
        studio.add_keyframe()
        page.go_to(Offsets(**last))
        studio.add_keyframe()
        page.go_to(Offsets())
        playback = page.play()
        if playback.trajectory is None:  # past the servos' range: nothing moves, the message is shown
            assert page.playing is None and np.array_equal(studio.pose, studio.home)
            assert playback.message in page._motion.content
        else:
            page.playing.join(timeout=10.0)
            np.testing.assert_allclose(studio.pose, studio.keyframes[-1], atol=1e-9)
            assert studio.offsets == Offsets(**last)  # the sliders went with it
    finally:
        page.stop()
