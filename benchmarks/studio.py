"""The studio's speed on the sample: the Python time from a slider's value
to the scene's nodes moved, and how soon the page opens after the command.

    .venv/bin/python benchmarks/studio.py

Needs the studio extra, playwright and Chromium (/usr/bin/chromium, or
$ZANDREL_CHROMIUM). A move is timed with a browser connected, so that its
messages go out; it is `StudioPage.move`, what a slider's handler runs
(`Studio.set_offsets` and the scene's update), at random slider values
within the sliders' ranges. Opening is timed from starting
`python -m zandrel_torso.studio` to its URL printed, and from there to the
page showing its per-leg table in a tab of headless Chromium, already open.
"""

import os
import random
import socket
import statistics
import subprocess
import sys
import time

from playwright.sync_api import sync_playwright

from zandrel_torso import Torso, sample_geometry
from zandrel_torso.studio import Offsets, Studio, serve

CHROMIUM = os.environ.get("ZANDREL_CHROMIUM", "/usr/bin/chromium")
ARGS = ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"]
MOVES = 300
OPENINGS = 5
MOVE_TARGET_MS = 30.0
OPEN_TARGET_S = 3.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def time_moves(browser):
    studio = Studio(Torso(sample_geometry()))
    page = serve(studio, port=free_port())
    try:
        tab = browser.new_page()
        tab.goto(page.url)
        tab.locator("table").first.wait_for()
        limits = studio.slider_limits()
        rng = random.Random(1)
        moves, checks = [], []
        for _ in range(MOVES):
            offsets = Offsets(**{k: rng.uniform(-v, v) for k, v in vars(limits).items()})
            start = time.perf_counter()
            page.move(offsets)
            moves.append(time.perf_counter() - start)
            start = time.perf_counter()
            studio.set_offsets(**vars(offsets))
            checks.append(time.perf_counter() - start)
        tab.close()
        return moves, checks
    finally:
        page.stop()


def time_opening(browser):
    port = free_port()
    # A browser tab already open, as the user's is: what is timed is the
    # server's start and the page's loading, not the browser's own.
    tab = browser.new_page()
    start = time.perf_counter()
    server = subprocess.Popen(
        [sys.executable, "-m", "zandrel_torso.studio", "--port", str(port)],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    )
    try:
        for line in server.stdout:
            if line.startswith("zandrel_torso studio: "):
                url = line.split(": ", 1)[1].strip()
                break
        printed = time.perf_counter()
        tab.goto(url)
        tab.locator("table").first.wait_for()
        tab.locator("canvas").first.wait_for()
        shown = time.perf_counter()
        tab.close()
        return printed - start, shown - printed
    finally:
        server.terminate()
        server.wait(timeout=10)


def main():
    with sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=CHROMIUM, args=ARGS)
        moves, checks = time_moves(browser)
        openings = [time_opening(browser) for _ in range(OPENINGS)]
        browser.close()
    ms = lambda values: 1000.0 * statistics.median(values)  # noqa: E731
    p95 = lambda values: 1000.0 * sorted(values)[int(0.95 * len(values))]  # noqa: E731
    print(f"slider to moved scene (StudioPage.move), {MOVES} moves: median {ms(moves):.2f} ms, "
          f"95th percentile {p95(moves):.2f} ms (target: under {MOVE_TARGET_MS:.0f} ms)")
    print(f"  of which Studio.set_offsets: median {ms(checks):.2f} ms")
    url = statistics.median(o[0] for o in openings)
    page = statistics.median(o[1] for o in openings)
    total = statistics.median(o[0] + o[1] for o in openings)
    print(f"command to page shown, {OPENINGS} starts: median {total:.2f} s (target: under {OPEN_TARGET_S:.0f} s): "
          f"{url:.2f} s to the URL printed, {page:.2f} s more to the page's table in Chromium")


if __name__ == "__main__":
    main()
