"""Benchmark: tessaro view's page on generated projects (63, 720 and 5,000 factories), in headless Chromium.

For each size: ``tessaro view -o`` against ``tessaro factories --json`` (new
processes, median of runs), the page's size, the time from navigation to the
page drawn and painted (collapsed when large), and expanding one file's group.
At 63 and 720 factories, ``tessaro watch --serve``: from the build's report
(the ``built`` line) to the open page showing it. ``--screenshots DIR`` saves
the default view of each size as ``view-N.png``.

Run with ``./dev bench view`` (needs Chromium and chromedriver, as the tests).
"""

from __future__ import annotations

import argparse
import json
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from bench_cli import ENV, median, tessaro  # noqa: E402
from projectgen import generate  # noqa: E402

SHAPES = {63: (60, 3, 4), 720: (720, 4, 12), 5000: (5000, 4, 12)}  # factories, tiers, per file (+3 extras)
PAINTED = ("const done = arguments[arguments.length - 1];"
           "requestAnimationFrame(() => requestAnimationFrame(() => done(performance.now())));")


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or driver is None:
        raise SystemExit("bench_view needs Chromium and chromedriver (apt-get install chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(argument)
    return webdriver.Chrome(options=options, service=Service(driver))


def until(driver, script: str, timeout: float = 30.0):
    end = time.monotonic() + timeout
    while not (value := driver.execute_script(script)):
        if time.monotonic() > end:
            raise SystemExit(f"timed out: {script}")
        time.sleep(0.005)
    return value


def page_times(driver, url: str, runs: int) -> tuple[float, float]:
    """Seconds from navigation to the page drawn and painted; seconds to expand a file's group and paint."""
    loads, expands = [], []
    for _ in range(runs):
        driver.get(url)
        until(driver, "return document.body.dataset.ready === '1'")
        loads.append(driver.execute_async_script(PAINTED) / 1000)
        group = driver.execute_script("const gs = [...document.querySelectorAll('.group.collapsed')];"
                                      "return gs.length ? gs[Math.floor(gs.length / 2)].dataset.group : null")
        if group is None:
            continue
        expands.append(driver.execute_async_script(
            "const done = arguments[1], t0 = performance.now();"
            "const g = document.querySelector(`[data-group=\"${arguments[0]}\"]`);"
            "g.dispatchEvent(new MouseEvent('click', {bubbles: true}));"  # a large graph: the first click selects
            "if (g.classList.contains('collapsed')) g.dispatchEvent(new MouseEvent('click', {bubbles: true}));"
            "requestAnimationFrame(() => requestAnimationFrame(() => done(performance.now() - t0)));", group) / 1000)
    return statistics.median(loads), statistics.median(expands) if expands else float("nan")


def live_latency(root: Path, driver, runs: int) -> float:
    """Seconds from the watch's report of a build to the open page showing that build."""
    watch = subprocess.Popen([sys.executable, "-m", "tessaro", "watch", "--serve", "--no-open", "--json"], cwd=root,
                             env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert watch.stdout is not None and watch.stderr is not None
    try:
        url = re.search(r"http://\S+/", watch.stderr.readline())
        if url is None:
            raise SystemExit("tessaro watch --serve printed no address")
        driver.get(url[0])
        until(driver, "return document.body.dataset.ready === '1'")

        def event(name: str) -> None:
            while json.loads(watch.stdout.readline() or '{"event": "gone"}')["event"] not in (name, "gone"):
                pass

        event("watching")
        top = sorted((root / "cells").glob("t*_*.py"))[-1]
        times = []
        for i in range(runs):
            generation = driver.execute_script("return Number(document.body.dataset.generation || 0)")
            top.write_text(re.sub(r"length: int = \d+", f"length: int = {20 + i}", top.read_text(), count=1))
            event("built")
            start = time.perf_counter()
            until(driver, f"return Number(document.body.dataset.generation || 0) > {generation}")
            times.append(time.perf_counter() - start)
            event("watching")
    finally:
        watch.send_signal(2)
        try:
            watch.wait(30)
        except subprocess.TimeoutExpired:
            watch.kill()
            raise SystemExit(f"tessaro watch --serve did not stop on Ctrl-C: {watch.stderr.read()}") from None
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SHAPES), choices=list(SHAPES))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--screenshots", metavar="DIR", help="save the default view of each size here")
    args = parser.parse_args()
    driver = browser()
    rows = []
    try:
        with tempfile.TemporaryDirectory() as folder:
            for size in args.sizes:
                factories, tiers, per_file = SHAPES[size]
                root = Path(folder) / f"p{size}"
                generate(root, factories=factories, tiers=tiers, per_file=per_file)
                tessaro(root, "build")
                page = root / "page.html"
                view = median(root, args.runs, "view", "-o", str(page))
                listing = median(root, args.runs, "factories", "--json")
                load, expand = page_times(driver, page.as_uri(), args.runs)
                if args.screenshots and size <= 720:
                    driver.get(page.as_uri())
                    until(driver, "return document.body.dataset.ready === '1'")
                    driver.save_screenshot(str(Path(args.screenshots) / f"view-{size}.png"))
                live = live_latency(root, driver, args.runs) if size <= 720 else float("nan")
                rows.append((factories + 3, view, listing, page.stat().st_size, load, expand, live))
    finally:
        driver.quit()
    print(f"median of {args.runs} runs; times in seconds")
    print(f"{'factories':>9} {'view -o':>8} {'ratio':>6} {'html KB':>8} {'B/factory':>9} {'drawn':>6} {'expand':>7}"
          f" {'live':>6}")
    for n, view, listing, size, load, expand, live in rows:
        print(f"{n:9d} {view:8.3f} {view / listing:5.2f}x {size / 1024:8.0f} {size / n:9.0f} {load:6.2f} {expand:7.3f}"
              f" {live:6.3f}")


if __name__ == "__main__":
    main()
