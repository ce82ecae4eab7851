"""The monitor page in headless Chromium (Debian's package, driven by Playwright).

Runs in the CPython 3.10 leg and must not skip there; the sanitizer and the
other-version legs skip it. The browser is pointed at a dead proxy, so only
loopback is reachable, and any request to another host fails the test.
"""
import json
import os
import re
import shutil
import sys
import urllib.parse

import pytest

from brannox.core import NodeStatus

ROOT = __import__("pathlib").Path(__file__).resolve().parent.parent
ARTEFACTS = ROOT / "build" / "test-artifacts"
CHROMIUM_ARGS = ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-background-networking",
                 "--disable-component-update", "--no-first-run", "--proxy-server=127.0.0.1:9"]

if os.environ.get("MTHREAD_SANITIZED"):
    pytest.skip("browser tests run in the CPython 3.10 leg, not under the sanitizers", allow_module_level=True)
if sys.version_info[:2] != (3, 10):
    pytest.skip("browser tests run in the CPython 3.10 leg", allow_module_level=True)

from playwright.sync_api import expect, sync_playwright  # noqa: E402  (a missing package fails the leg)

from brannox import monitor  # noqa: E402

XML = """<root BTCPP_format="4"><BehaviorTree ID="Main">
  <Sequence name="patrol"><Check name="battery" x="{fail}"/><Say msg="{note}"/><AlwaysSuccess name="done"/></Sequence>
</BehaviorTree></root>"""
HOSTILE = "<img src=x onerror=\"window.pwned=1\"><script>window.pwned=1</script>"


def check(node):
    return NodeStatus.FAILURE if node.getInputObject("x") else NodeStatus.SUCCESS


@pytest.fixture(scope="module")
def browser():
    exe = shutil.which("chromium")
    if exe is None:
        pytest.fail("chromium is not installed (apt-get install chromium; .ci/run does it)")
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=exe, headless=True, args=CHROMIUM_ARGS, timeout=60_000)
        yield b
        b.close()


@pytest.fixture
def open_page(browser):
    pages = []

    def open_(url):
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        page.set_default_timeout(15_000)
        own = urllib.parse.urlsplit(url).netloc
        page.requests = []
        page.on("request", lambda r: page.requests.append(r.url))
        page.errors = []
        page.on("pageerror", lambda e: page.errors.append(str(e)))
        page.goto(url)
        pages.append((page, own))
        return page

    yield open_
    for page, own in pages:
        foreign = [u for u in page.requests if urllib.parse.urlsplit(u).netloc != own]
        page.close()
        assert not foreign, f"the page asked other hosts: {foreign}"
        assert not page.errors, page.errors


@pytest.fixture
def trees(engine):
    engine.register_action_behavior("Check", check, [{"name": "x", "type": "object"}])
    engine.register_action_behavior("Say", lambda n: NodeStatus.SUCCESS, [{"name": "msg", "type": "object"}])
    for name in ("alpha", "beta", "gamma"):
        engine.create_tree_from_text(XML, name)
        engine.set_blackboard_data(name, "note", "hello")
    return engine


def node(page, i):
    return page.locator(f'#graph g.node[data-id="{i}"]')


def test_live_page(trees, open_page):
    with monitor.serve(trees) as handle:
        page = open_page(handle.url)
        expect(page.locator("#trees li")).to_have_count(3)
        page.locator('#trees li', has_text="alpha").click()
        expect(page.locator("#title")).to_have_text("alpha (Main)")
        expect(node(page, 0)).to_have_attribute("data-status", "IDLE")
        idle_fill = node(page, 0).locator("rect").evaluate("r => getComputedStyle(r).fill")

        trees.tick_once("alpha")
        expect(node(page, 0)).to_have_attribute("data-status", "SUCCESS")
        trees.set_blackboard_data("alpha", "fail", True)
        trees.tick_once("alpha")
        expect(node(page, 0)).to_have_attribute("data-status", "FAILURE")
        expect(page.locator("#events")).to_contain_text("Check battery: IDLE → FAILURE")
        assert node(page, 0).locator("rect").evaluate("r => getComputedStyle(r).fill") != idle_fill
        expect(page.locator("#trees li", has_text="alpha")).to_have_attribute("data-status", "FAILURE")

        trees.set_blackboard_data("alpha", "note", HOSTILE)
        row = page.locator('#bb tr[data-key="note"]')
        expect(row).to_have_class("changed")
        expect(row.locator("td.value")).to_have_text(repr(HOSTILE))
        expect(row.locator("td.type")).to_have_text("str")
        assert page.locator("#bb img, #bb script").count() == 0
        assert page.evaluate("window.pwned") is None

        trees.stop_tree("gamma")
        trees.create_tree_from_text(XML, "delta")
        expect(page.locator("#trees li", has_text="gamma")).to_have_class("stopped")
        expect(page.locator("#trees li")).to_have_count(4)
        page.locator("#filter").fill("ta")
        expect(page.locator("#trees li:visible")).to_have_count(2)  # beta, delta
        page.locator("#filter").fill("")
        page.locator('#graph g.node[data-id="1"]').click()
        expect(page.locator("#details")).to_contain_text("battery")
        ARTEFACTS.mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(ARTEFACTS / "monitor-live.png"), full_page=True)


def test_timeline_replays_a_recording(trees, open_page, tmp_path):
    path = tmp_path / "alpha.jsonl"
    rec = monitor.record(trees, "alpha", path)
    trees.tick_once("alpha")
    trees.set_blackboard_data("alpha", "fail", True)
    trees.tick_once("alpha")
    rec.close()
    # A distributed tree's recording may say whole ticks went unrecorded:
    # such a gap goes in after the first event.
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    gap = {"type": "gap", "t": json.loads(lines[1])["t"], "dropped": 0, "paused_ticks": 12}
    path.write_text("".join(lines[:2]) + json.dumps(gap) + "\n" + "".join(lines[2:]), encoding="utf-8")
    with monitor.replay(path) as handle:
        page = open_page(handle.url)
        expect(page.locator("#mode")).to_have_text("recording")
        expect(page.locator("#trees li.stopped")).to_have_count(1)
        expect(node(page, 0)).to_have_attribute("data-status", "FAILURE")  # the end of the recording
        total = int(page.locator("#scrub").get_attribute("max"))
        assert total >= 5
        page.locator("#scrub").fill("0")
        expect(node(page, 0)).to_have_attribute("data-status", "IDLE")
        events = monitor.load(path)[1]
        first_success = 1 + next(i for i, e in enumerate(events) if e.get("node") == 0 and e.get("to") == "SUCCESS")
        page.locator("#scrub").fill(str(first_success))
        expect(node(page, 0)).to_have_attribute("data-status", "SUCCESS")
        page.locator("#scrub").fill("0")
        page.locator("#play").click()
        expect(page.locator("#pos")).not_to_have_text(f"0 / {total} playing")
        expect(page.locator("#pos")).to_have_text(f"{total} / {total} end of recording", timeout=20_000)
        expect(node(page, 0)).to_have_attribute("data-status", "FAILURE")
        expect(page.locator("#events li.cur")).to_contain_text("FAILURE")
        expect(page.locator("#events")).to_contain_text("Sequence patrol: IDLE → SUCCESS")
        expect(page.locator("#events li.gap")).to_have_text(re.compile(r"… 12 ticks unrecorded$"))
        ARTEFACTS.mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(ARTEFACTS / "monitor-replay.png"), full_page=True)


def test_token_asked_by_the_page(trees, open_page):
    with monitor.serve(trees, token="a-long-token") as handle:
        page = open_page(handle.url.split("#")[0])
        expect(page.locator("#auth")).to_be_visible()
        page.locator("#token").fill("not-the-token")
        page.locator("#auth button").click()
        expect(page.locator("#auth-msg")).to_have_text("token refused")
        page.locator("#token").fill("a-long-token")
        page.locator("#auth button").click()
        expect(page.locator("#trees li")).to_have_count(3)


RTL_XML = """<root BTCPP_format="4"><BehaviorTree ID="Main">
  <Sequence><AlwaysSuccess name="\u202elive"/></Sequence>
</BehaviorTree></root>"""

# Left edge of the first occurrence of `needle` in the text of `el`, wherever the bidi algorithm put it.
TEXT_X = """(el, needle) => {
  const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
  for (let n = walker.nextNode(); n; n = walker.nextNode()) {
    const i = n.data.indexOf(needle);
    if (i >= 0) { const r = document.createRange(); r.setStart(n, i); r.setEnd(n, i + needle.length);
                  return r.getBoundingClientRect().left; }
  }
  return null;
}"""


def test_page_shows_what_the_server_sends(engine, open_page):
    engine.create_tree_from_text(RTL_XML, "rtl")
    with monitor.serve(engine, token="p%c&t#x=long") as handle:
        page = open_page(handle.url)   # the token in the printed URL is enough
        page.locator("#trees li", has_text="rtl").click()
        expect(page.locator("#title")).to_have_text("rtl (Main)")
        engine.tick_once("rtl")
        line = page.locator("#events li", has_text="SUCCESS").first
        expect(line).to_be_visible()
        # A right-to-left override in a node name stays inside the name.
        idle, success = (line.evaluate(TEXT_X, needle) for needle in ("IDLE", "SUCCESS"))
        assert idle is not None and success is not None and idle < success
        for key, value in (("__proto__", 1), ("constructor", 2), ("plain", 3)):
            engine.set_blackboard_data("rtl", key, value)
        for key, value in (("__proto__", "1"), ("constructor", "2"), ("plain", "3")):
            expect(page.locator(f'#bb tr[data-key="{key}"] td.value')).to_have_text(value)
        page.locator("#scrub").fill(str(int(page.locator("#scrub").get_attribute("max")) - 1))
        expect(page.locator('#bb tr[data-key="constructor"] td.value')).to_have_text("2")  # the state back then
        expect(page.locator('#bb tr[data-key="__proto__"] td.value')).to_have_text("1")
        ARTEFACTS.mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(ARTEFACTS / "monitor-hostile-names.png"), full_page=True)


LOOP_XML = """<root BTCPP_format="4"><BehaviorTree ID="Main">
  <Fallback name="top">
    <Sequence name="patrol"><Check name="battery" x="{fail}"/><Say msg="{note}"/></Sequence>
    <AlwaysSuccess name="rest" _description="Sits down until the battery is charged"/>
  </Fallback>
</BehaviorTree></root>"""


def test_looping_tree_shows_what_ran_in_the_latest_tick(trees, open_page):
    # The root stays SUCCESS from one tick to the next and every child is
    # back to IDLE after each: only the latest tick's results tell the branches apart.
    trees.create_tree_from_text(LOOP_XML, "loop")
    with monitor.serve(trees) as handle:
        page = open_page(handle.url)
        page.locator("#trees li", has_text="loop").click()
        expect(page.locator("#title")).to_have_text("loop (Main)")
        idle_fill = node(page, 1).locator("rect").evaluate("r => getComputedStyle(r).fill")
        trees.tick_n_times("loop", 3)
        for i, ran in ((1, "SUCCESS"), (2, "SUCCESS"), (3, "SUCCESS")):
            expect(node(page, i)).to_have_attribute("data-ran", ran)
            expect(node(page, i)).to_have_attribute("data-status", "IDLE")
        expect(node(page, 4)).not_to_have_attribute("data-ran", "SUCCESS")
        assert node(page, 2).locator("rect").evaluate("r => getComputedStyle(r).fill") != idle_fill
        trees.set_blackboard_data("loop", "fail", True)
        trees.tick_n_times("loop", 2)
        expect(node(page, 2)).to_have_attribute("data-ran", "FAILURE")
        expect(node(page, 4)).to_have_attribute("data-ran", "SUCCESS")
        expect(node(page, 3)).not_to_have_attribute("data-ran", "SUCCESS")  # the action that did not run

        node(page, 4).click()
        expect(page.locator("#details")).to_contain_text("Sits down until the battery is charged")
        expect(page.locator("#details")).to_contain_text("ticks")
        expect(page.locator("#pause")).to_have_text("Pause")
        page.locator("#pause").click()
        expect(page.locator("#pause")).to_have_text("Resume")
        page.locator("#scrub").fill("1")
        # A past state is not shown beside today's counters.
        expect(page.locator("#details")).not_to_contain_text("successes")
        page.locator("#pause").click()
        expect(page.locator("#pause")).to_have_text("Pause")
        expect(page.locator("#details")).to_contain_text("successes")
        ARTEFACTS.mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(ARTEFACTS / "monitor-looping.png"), full_page=True)


LONG = "check the charging dock's battery level"


def synthetic_recording(path, events: int) -> None:
    import json
    nodes = [{"id": 0, "parent": -1, "path": "/", "type": "Sequence", "name": "Sequence", "ports": {}},
             {"id": 1, "parent": 0, "path": "/0", "type": "Check", "name": LONG, "ports": {},
              "description": "Reads the dock over its serial line"}]
    lines = [{"type": "header", "format": "brannox-tree-recording", "version": 1, "t": 0, "tree": "dock",
              "tree_id": "Main", "xml": "", "nodes": nodes, "statuses": ["IDLE", "IDLE"], "blackboard": {}}]
    for i in range(events):
        lines.append({"type": "transition", "t": i + 1, "node": 1, "from": "IDLE" if i % 2 == 0 else "SUCCESS",
                      "to": "SUCCESS" if i % 2 == 0 else "IDLE"})
    path.write_text("".join(json.dumps(x) + "\n" for x in lines), encoding="utf-8")


def test_replay_of_a_long_recording_in_a_narrow_window(browser, tmp_path):
    path = tmp_path / "dock.jsonl"
    synthetic_recording(path, 1200)
    with monitor.replay(path) as handle:
        page = browser.new_page(viewport={"width": 900, "height": 700})
        page.set_default_timeout(15_000)
        try:
            page.goto(handle.url)
            expect(page.locator("#pos")).to_have_text("1200 / 1200 end of recording")
            expect(page.locator("#pause")).to_be_hidden()  # a recording has no live end to pause or return to
            assert page.locator("#live").count() == 0
            # Four-digit positions keep all their digits.
            room, needed = page.locator("#events").evaluate("""ol => {
              const probe = document.createElement("span");
              probe.style.cssText = "position:absolute; white-space:pre; font:" + getComputedStyle(ol).font; probe.textContent = "1200. ";
              document.body.append(probe); const w = probe.getBoundingClientRect().width; probe.remove();
              return [parseFloat(getComputedStyle(ol).paddingLeft), w]; }""")
            assert room >= needed, (room, needed)
            # The long name is cut in the box but readable in full on hover and in the panel.
            box = node(page, 1)
            assert LONG not in box.locator("text").all_text_contents()
            expect(box.locator("title")).to_contain_text(LONG)
            box.click()
            expect(page.locator("#details")).to_contain_text(LONG)
            expect(page.locator("#details")).to_contain_text("Reads the dock over its serial line")
            # The graph keeps most of the width.
            assert page.locator("#graph-wrap").bounding_box()["width"] > 0.6 * 900
            page.locator("#scrub").fill("1100")
            page.locator("#play").click()
            expect(page.locator("#play")).to_have_text("Pause")
            page.locator("#play").click()
            expect(page.locator("#play")).to_have_text("Play")
            expect(page.locator("#pos")).not_to_contain_text("end of recording")
            ARTEFACTS.mkdir(parents=True, exist_ok=True)
            page.screenshot(path=str(ARTEFACTS / "monitor-replay-narrow.png"), full_page=True)
        finally:
            page.close()
