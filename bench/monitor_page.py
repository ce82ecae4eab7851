"""The monitor page with many live trees: how long until the list is complete, and until the filter answers.

    .venv/bin/python bench/monitor_page.py [TREES] [HZ]     # default 1000 trees ticked 10 times a second

Needs Debian's chromium and the test extra (Playwright). Reports; asserts nothing.
"""
import shutil
import sys
import threading
import time

from playwright.sync_api import sync_playwright

from brannox import monitor
from brannox.core import NodeStatus
from brannox.engine.trigger.mthread import ThreadEngine

XML = """<root BTCPP_format="4"><BehaviorTree ID="Main">
  <Sequence><Flip/><AlwaysSuccess/><Flip/></Sequence></BehaviorTree></root>"""
ARGS = ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-background-networking",
        "--disable-component-update", "--no-first-run", "--proxy-server=127.0.0.1:9"]


def main(n: int = 1000, hz: float = 10.0) -> None:
    state = {}

    def flip(node):  # alternates, so that every tick changes statuses and the list's colours
        key = id(node)
        state[key] = not state.get(key, False)
        return NodeStatus.SUCCESS if state[key] else NodeStatus.FAILURE

    import loguru
    loguru.logger.remove()
    engine = ThreadEngine()
    engine.register_action_behavior("Flip", flip, [])
    names = [f"tree_{i:04d}" for i in range(n)]
    for name in names:
        engine.create_tree_from_text(XML, name)
    stop = threading.Event()
    ticks = [0]

    def driver():
        period = 1.0 / hz
        while not stop.is_set():
            start = time.monotonic()
            for name in names:
                engine.tick_once(name)
            ticks[0] += 1
            stop.wait(max(0.0, period - (time.monotonic() - start)))

    threading.Thread(target=driver, daemon=True).start()
    time.sleep(1.0)
    handle = monitor.serve(engine)
    try:
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=shutil.which("chromium"), headless=True, args=ARGS)
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            t0 = time.monotonic()
            page.goto(handle.url)
            page.wait_for_function(f"document.querySelectorAll('#trees li').length === {n}", timeout=60_000)
            listed = time.monotonic() - t0
            time.sleep(2.0)  # let live updates flow
            t1 = time.monotonic()
            page.locator("#filter").fill(names[-1])
            page.wait_for_function("document.querySelectorAll('#trees li:not([hidden])').length === 1", timeout=60_000)
            filtered = time.monotonic() - t1
            rounds_before = ticks[0]
            time.sleep(2.0)
            rate = (ticks[0] - rounds_before) / 2.0
            browser.close()
    finally:
        stop.set()
        handle.close()
        engine.stop_all_trees()
    print(f"{n} trees, asked for {hz:g} ticks/s each (reached {rate:.1f} rounds/s while the page was open)")
    print(f"list complete after {listed:.2f} s; filter answered after {filtered:.3f} s")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1000, float(sys.argv[2]) if len(sys.argv) > 2 else 10.0)
