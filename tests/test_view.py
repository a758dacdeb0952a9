"""tessaro view and watch --serve, driven in a real headless Chromium (skipped where there is none)."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys
import time

import pytest
from test_cli import CLEAN, TRUTH, cli, edit, truth, write_project  # noqa: F401 (fixtures)

HOSTILE = "<img src=x onerror=\"window.pwned=1\">"
FILES = {
    **TRUTH,
    "factories/hostile.py": "import brimlay as bl\n\n\n@bl.cell\n"
    "def hostile(c, label: str = '<b onmouseover=\"window.pwned=2\">x</b>'):\n"
    f"    raise ValueError({HOSTILE!r})\n",
    "pads.json": "2",  # read by a factory's build, not by any import
    "factories/pads.py": "import pathlib\n\nimport brimlay as bl\n\n\n@bl.cell\ndef pads(c):\n"
    "    for k in range(int((pathlib.Path(__file__).parents[1] / 'pads.json').read_text())):\n"
    "        c.add_port(f'p{k}')\n",
}


@pytest.fixture(scope="module")
def browser():
    chromium, driver = shutil.which("chromium") or shutil.which("chromium-browser"), shutil.which("chromedriver")
    webdriver = pytest.importorskip("selenium.webdriver")
    if chromium is None or driver is None:
        pytest.skip("no Chromium here (Debian: apt-get install chromium chromium-driver)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(argument)
    chrome = webdriver.Chrome(options=options, service=Service(driver))
    yield chrome
    chrome.quit()


def wait(browser, script, timeout=10.0):
    """The first truthy value of ``script`` (JavaScript returning something) within ``timeout`` seconds."""
    end = time.monotonic() + timeout
    while True:
        value = browser.execute_script(script)
        if value or time.monotonic() > end:
            assert value, f"timed out waiting for: {script}"
            return value
        time.sleep(0.05)


def panel(browser) -> str:
    return browser.execute_script("return document.querySelector('[data-panel]').innerText")


def shown(browser) -> set[str]:
    return set(browser.execute_script(
        "return [...document.querySelectorAll('[data-factory]')].filter(n => n.getBoundingClientRect().width > 0)"
        ".map(n => n.dataset.factory)"))


def click_edge(browser, key: str) -> None:
    """A real click on the middle of the drawn edge."""
    from selenium.webdriver.common.actions.action_builder import ActionBuilder

    x, y = browser.execute_script(
        "const p = document.querySelector(`[data-edge=\"${arguments[0]}\"]`);"
        "const m = p.getPointAtLength(p.getTotalLength() / 2).matrixTransform(p.getScreenCTM());"
        "return [m.x, m.y];", key)
    actions = ActionBuilder(browser)
    actions.pointer_action.move_to_location(round(x), round(y)).click()
    actions.perform()


@pytest.fixture
def page(tmp_path, cli):  # noqa: F811
    root = write_project(tmp_path / "truth", FILES)
    cli("build", cwd=root, code=1)
    return root


def test_the_page_offline(page, cli, browser):  # noqa: F811
    """The contract: every factory and edge in the page, search, focus, panels for a node and an edge, hostile text
    shown as text, and what a change affects, in rebuild order."""
    cli("view", "-o", "page.html", "--affected", "tech.py", "pads.json", "--exclude", "tre?")
    graph, affected = cli.json("graph"), cli.json("affected", "tech.py", "pads.json")
    browser.get((page / "page.html").as_uri())
    wait(browser, "return document.body.dataset.ready === '1'")
    every = "return [...document.querySelectorAll('[data-{0}]')].map(n => n.dataset.{0})"
    factories, edges = browser.execute_script(every.format("factory")), browser.execute_script(every.format("edge"))
    assert sorted(factories) == [n["name"] for n in graph["nodes"]]
    assert sorted(edges) == sorted(f"{a}->{b}" for a, b in graph["edges"])
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    assert shown(browser) == {n["name"] for n in graph["nodes"]} - {"tree"}  # hidden by --exclude
    marks = browser.execute_script("return Object.fromEntries([...document.querySelectorAll('.affected')]"
                                   ".filter(n => n.dataset.factory).map(n => [n.dataset.factory, n.textContent]))")
    assert {name: int(re.search(r"#(\d+)$", text)[1]) for name, text in marks.items()} == {
        name: i + 1 for i, name in enumerate(affected["affected"])}
    assert "straight" in panel(browser) and "to rebuild, in this order" in panel(browser)

    search = browser.find_element("css selector", "[data-search]")
    search.send_keys("hostile\n")
    assert shown(browser) == {"hostile"}
    text = panel(browser)
    assert "FAILED" in text and HOSTILE in text and "window.pwned=2" in text and "hostile.py:5" in text
    assert browser.execute_script("return window.pwned === undefined && !document.querySelector('img, b')")

    search.clear()
    search.send_keys("ring\n")
    assert shown(browser) == {"chip", "ring", "heater", "straight"}
    browser.find_element("css selector", "[data-factory='chip']").click()
    text = panel(browser)
    assert "SUCCESS" in text and "factories/chip.py:8" in text and re.search(r"uses\s+mzi \(why\), ring", text)
    click_edge(browser, "chip->ring")
    text = panel(browser)
    assert text.startswith("chip → ring") and "with_heater" in text and "true" in text, text

    browser.find_element("id", "unfocus").click()
    browser.find_element("id", "collapse").click()
    assert shown(browser) == set()
    browser.find_element("css selector", "[data-group='factories/devices.py']").click()
    assert shown(browser) == {"mzi", "ring", "tree"} - {"tree"}


def test_watch_serve_updates_the_open_page(tmp_path, browser):
    root = write_project(tmp_path / "truth", TRUTH)
    watch = subprocess.Popen([sys.executable, "-m", "tessaro", "watch", "--serve", "--no-open", "--json"], cwd=root,
                             env=CLEAN, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"http://\S+/", watch.stderr.readline())[0]
        browser.get(url)
        wait(browser, "return document.body.dataset.ready === '1'")
        browser.find_element("css selector", "[data-factory='ring']").click()
        browser.execute_script("document.getElementById('fit').click(); window.dispatchEvent(new Event('resize'))")
        view = browser.execute_script("return document.getElementById('viewport').getAttribute('transform')")
        edit(root / "factories" / "basics.py", "def heater(c, length: float = 10.0):\n    c.add_port('h1')\n",
             "def heater(c, length: float = 10.0):\n    c.add_port('h1')\n\n\n@bl.cell\ndef bend(c):\n    pass\n")
        wait(browser, "return document.querySelector('[data-factory=\"bend\"]')")
        assert browser.execute_script("return document.getElementById('viewport').getAttribute('transform')") == view
        assert panel(browser).startswith("ring") and "1 file changed" in browser.find_element(
            "css selector", "[data-summary]").text
    finally:
        watch.send_signal(2)
        out, err = watch.communicate(timeout=30)
    assert watch.returncode == 0 and json.loads(out.splitlines()[-1])["event"] == "stopped", err
