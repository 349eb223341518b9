"""vexmira-view in headless Chromium, timed by the page's own marks (a "frame:N" measure from
the request to the drawn picture and overlays): stepping forward through a 720p file, jumps
to random frames against the module's own random access, and the first view of a long 1080p
file while its timeline is still being filled.
Alone: python benchmarks/view_bench.py [--long-seconds S] (S of 1080p instead of 600)."""

import argparse
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

from selenium.webdriver.common.keys import Keys

import media
import vexmira

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from viewer_page import Page, Server, browser  # noqa: E402  (the tests' driver of the page)

STEPS = 50
JUMPS = 20
OVERLAYS = [("qp", "qp"), ("mbtype", "qp,mbtype"), ("mv", "qp,mbtype,mv")]
LONG_SECONDS = 600
SEED = 1234


def long_clip(seconds: int) -> Path:
    """A long 1080p file, encoded fast: what is measured is opening and the first view."""
    path = media.FOLDER / f"1080p_{seconds}s_ultrafast.mp4"
    if not path.exists():
        media.FOLDER.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=1920x1080:rate=25", "-t", str(seconds), "-c:v", "libx264", "-preset",
                        "ultrafast", "-bf", "3", "-g", "250", "-pix_fmt", "yuv420p", str(partial)], check=True)
        partial.rename(path)
    return path


def shown_ms(page: Page, frame: int) -> float:
    return page.driver.execute_script(
        f"const m = performance.getEntriesByName('frame:{frame}', 'measure'); return m[m.length - 1].duration;")


def go_to(page: Page, frame: int) -> None:
    page.press(Keys.HOME)
    page.wait_for("frame", "0")
    # A click on the timeline at the frame's place, as a user jumps.
    page.driver.execute_script(f"""
        const canvas = document.querySelector("#pane-0 canvas.timeline"), rect = canvas.getBoundingClientRect();
        const x = rect.left + ({frame} + 0.5) / {page.root.get_attribute("data-frames")} * rect.width;
        for (const type of ["pointerdown", "pointerup"])
          canvas.dispatchEvent(new PointerEvent(type, {{clientX: x, clientY: rect.top + 5, buttons: 1, pointerId: 1}}));""")


def step_and_jump_rows(bench, path: Path, driver) -> list:
    server = Server(path)
    try:
        page = Page(driver, server.url)
        page.wait_for_table()
        for overlay, shown in OVERLAYS:
            page.toggle(overlay, shown)
        steps = []
        for frame in range(1, STEPS + 1):
            page.press(Keys.ARROW_RIGHT)
            page.wait_for("frame", str(frame))
            steps.append(shown_ms(page, frame))
        frames = int(page.root.get_attribute("data-frames"))
        targets = random.Random(SEED).sample(range(STEPS + 1, frames), JUMPS)
        extra, module = [], []
        for target in targets:
            go_to(page, target)
            page.wait_for("frame", str(target))
            # The module from the same place as the page's session: frame 0, then the target.
            session = vexmira.H264DecoderSession(path, motion_vectors=True, mb_types=True, read_ahead=0)
            session.get_plane_data(0, 0)
            start = time.perf_counter()
            session.get_plane_data(target, 0)
            module_ms = 1000 * (time.perf_counter() - start)
            session.close()
            extra.append(shown_ms(page, target) - module_ms)
            module.append(module_ms)
    finally:
        server.stop()
    p95, median_extra = statistics.quantiles(steps, n=20)[-1], statistics.median(extra)
    return [bench.Row("view", f"720p: step to the next frame, p95 of {STEPS} (ms; reference: median)", p95,
                      statistics.median(steps), unit="ms", target="<= 100", met=p95 <= 100),
            bench.Row("view", f"720p: random jump, median of {JUMPS} beyond the module's time (ms; reference: "
                      f"module's)", median_extra, statistics.median(module), unit="ms", target="<= +100",
                      met=median_extra <= 100)]


def first_view_row(bench, path: Path, driver):
    """Seconds from starting the server to the first frame shown, and to the URL printed
    (the file opened), and how much of the table was done at the first frame."""
    start = time.perf_counter()
    server = Server(path)
    try:
        opened = time.perf_counter() - start
        Page(driver, server.url)
        seconds = time.perf_counter() - start
        done = int(driver.find_element("id", "pane-0").get_attribute("data-stats-done") or 0)
        total = int(driver.find_element("id", "viewer").get_attribute("data-frames"))
    finally:
        server.stop()
    return bench.Row("view", f"{path.stem}: start to first frame (s; reference: to opened), table {done}/{total}",
                     seconds, opened, unit="s", target="<= 2", met=seconds <= 2 and done < total)


def rows(bench, repeat, long_seconds=LONG_SECONDS) -> list:
    driver = browser()
    try:
        result = step_and_jump_rows(bench, media.clip("720p_12s"), driver)
        firsts = [first_view_row(bench, long_clip(long_seconds), driver) for _ in range(repeat)]
    finally:
        driver.quit()
    result.append(sorted(firsts, key=lambda row: row.value)[len(firsts) // 2])
    return result


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--long-seconds", type=int, default=LONG_SECONDS)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    import bench as bench_module
    bench_module.print_table(rows(bench_module, args.repeat, args.long_seconds))
