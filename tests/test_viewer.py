"""vexmira-view in a real browser: what the page shows against the ffmpeg tools' view of the
same files, and what the server refuses to serve."""

import http.client
import io
import json
import os
import time
import subprocess
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

import vexmira
from media import video_input, x264
from oracle import ffprobe, reference_qp_maps
from viewer_page import WAIT, Page, Server, browser
from vexmira_tools.view.cli import main
from vexmira_tools.view.layers import available_layers, layer_bytes

MB = 16

pytestmark = pytest.mark.python_side


@pytest.fixture(scope="module")
def driver():
    chrome = browser()
    yield chrome
    chrome.quit()


@pytest.fixture(scope="module")
def serve():
    """Server(*paths), kept for the module: each set of files is served once."""
    servers: dict[tuple, Server] = {}

    def of(*paths: Path) -> Server:
        if paths not in servers:
            servers[paths] = Server(*paths)
        return servers[paths]
    yield of
    for server in servers.values():
        server.stop()


def frame_times(path: Path) -> list[float]:
    """Presentation times of the decoded frames, from the first, as ffprobe gives them."""
    times = sorted(float(frame["pts_time"]) for frame in
                   ffprobe(path, "-show_entries", "frame=pts_time")["frames"])
    return [time - times[0] for time in times]


def key_frames(path: Path) -> list[int]:
    frames = sorted(ffprobe(path, "-show_entries", "frame=pts,key_frame")["frames"], key=lambda f: int(f["pts"]))
    return [index for index, frame in enumerate(frames) if frame["key_frame"]]


# ITU-R BT.601, limited range, chroma sample repeated over the luma samples it covers,
# rounded to the nearest integer (halves to even) and clamped, as the page states it.
def bt601_rgb(y: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    rows, columns = y.shape
    u, v = (np.repeat(np.repeat(c, 2, 0), 2, 1)[:rows, :columns].astype(float) - 128 for c in (u, v))
    luma = (y.astype(float) - 16) * 255 / 219
    rgb = np.stack([luma + 1.596027 * v, luma - 0.391762 * u - 0.812968 * v, luma + 2.017232 * u], axis=-1)
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def test_page_shows_the_frame_count_and_keys_move_the_frame(driver, serve, media):
    path = media("mp4_long")
    page = Page(driver, serve(path).url)
    assert int(page.root.get_attribute("data-frames")) == len(frame_times(path))
    keys = key_frames(path)
    steps = [(Keys.ARROW_RIGHT, 1), (Keys.ARROW_RIGHT, 2), (Keys.ARROW_LEFT, 1), (Keys.PAGE_DOWN, keys[1]),
             (Keys.PAGE_DOWN, keys[2]), (Keys.PAGE_UP, keys[1]), (Keys.END, len(frame_times(path)) - 1),
             (Keys.ARROW_RIGHT, len(frame_times(path)) - 1), (Keys.HOME, 0), (Keys.ARROW_LEFT, 0)]
    for key, frame in steps:
        page.press(key)
        page.wait_for("frame", str(frame))


@pytest.mark.parametrize("clip", ["mp4", "mp4_34x18"])
@pytest.mark.parametrize("deblocking", ["skip", "on"])
def test_shown_pixels_are_the_frames_planes_in_bt601(driver, serve, media, clip, deblocking):
    path = media(clip)
    page = Page(driver, serve(path).url)
    page.driver.find_element(By.CSS_SELECTOR, f"#deblocking option[value={deblocking}]").click()
    page.press(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
    page.wait_for("frame", "3")
    session = vexmira.H264DecoderSession(path, deblocking=deblocking)
    width, height = session.width, session.height
    y, u, v = (session.get_plane_data(3, plane)[:rows, :columns] for plane, (rows, columns) in
               enumerate([(height, width), ((height + 1) // 2, (width + 1) // 2), ((height + 1) // 2, (width + 1) // 2)]))
    shown = page.pixels()
    assert shown.shape == (height, width, 4)
    assert np.abs(shown[..., :3].astype(int) - bt601_rgb(y, u, v)).max() <= 1


def test_qp_overlay_tints_each_macroblock_by_its_qp_on_the_files_scale(driver, serve, media):
    path = media("mp4_roi")
    session = vexmira.H264DecoderSession(path)
    qp_maps = np.array(reference_qp_maps(path, session.mb_rows, session.mb_cols))
    low, high = qp_maps.min(), qp_maps.max()
    page = Page(driver, serve(path).url)
    page.wait_for_table()
    page.press(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
    page.wait_for("frame", "2")
    before = page.pixels()[..., :3].astype(float)
    page.toggle("qp", "qp")
    after = page.pixels()[..., :3].astype(float)
    # Blue at the file's lowest QP, red at its highest; drawn at half opacity over each
    # macroblock, so every pixel of it moves halfway to the macroblock's colour.
    t = (qp_maps[2] - low) / (high - low)
    colours = np.stack([np.rint(255 * t), np.full_like(t, 64), np.rint(255 * (1 - t))], axis=-1)
    expected = (before + np.repeat(np.repeat(colours, MB, 0), MB, 1)[:before.shape[0], :before.shape[1]]) / 2
    assert len(np.unique(qp_maps[2])) > 1
    assert np.abs(after - expected).max() <= 1.5
    page.toggle("qp", "")
    assert np.array_equal(page.pixels()[..., :3], before)


def test_two_files_are_aligned_by_time(driver, serve, media, tmp_path_factory):
    first = media("mp4")
    second = tmp_path_factory.mktemp("viewer") / "50fps.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", *video_input(rate="50", frames=72),
                    *x264(bframes=3, gop=30), str(second)], check=True)
    page = Page(driver, serve(first, second).url)
    page.wait_for_table(0)
    page.wait_for_table(1)
    times, other_times = np.array(frame_times(first)), np.array(frame_times(second))
    for key, frame in [(Keys.ARROW_RIGHT, 1), (Keys.PAGE_DOWN, 12), (Keys.ARROW_RIGHT, 13), (Keys.END, 35)]:
        page.press(key)
        page.wait_for("frame", str(frame))
        nearest = int(np.argmin(np.abs(other_times - times[frame])))
        assert page.pane(1).get_attribute("data-frame") == str(nearest)
        assert nearest == 2 * frame


def test_hovering_a_macroblock_shows_its_numbers(driver, serve, media):
    path, frame = media("mp4_360p"), 4
    session = vexmira.H264DecoderSession(path)
    reference = reference_qp_maps(path, session.mb_rows, session.mb_cols)[frame]
    page = Page(driver, serve(path).url)
    page.press(*[Keys.ARROW_RIGHT] * frame)
    page.wait_for("frame", str(frame))
    for overlay, shown in [("qp", "qp"), ("mbtype", "qp,mbtype"), ("mv", "qp,mbtype,mv")]:
        page.toggle(overlay, shown)
    canvas = page.driver.find_element(By.CSS_SELECTOR, "#pane-0 canvas.picture")
    box = page.driver.execute_script("return arguments[0].getBoundingClientRect().toJSON();", canvas)
    for col, row in [(3, 2), (30, 17)]:
        x = (col * MB + 8) * box["width"] / session.width - box["width"] / 2
        y = (row * MB + 8) * box["height"] / session.height - box["height"] / 2
        ActionChains(page.driver).move_to_element_with_offset(canvas, int(x), int(y)).perform()
        text = page.driver.find_element(By.ID, "hover").text
        assert text.startswith(f"MB ({col}, {row}): QP {reference[row][col]},"), text
    if screenshot := os.environ.get("VEXMIRA_VIEWER_SCREENSHOT"):
        page.driver.save_screenshot(screenshot)


ESCAPES = ["/api/1/stats", "/api/-1/stats", "/api/0/../../../etc/passwd", "/api/%2Fetc%2Fpasswd/stats",
           "/api/..%2f..%2fetc%2fpasswd/stats", "/static/../../../../../../etc/passwd",
           "/static/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/static/..%2f..%2f..%2fsecret.mp4",
           "//etc/passwd", "/api/0/frame/36/picture", "/api/0/frame/0/layer/..%2f..%2fsecret.mp4",
           "/api/0/frame/0/picture?deblocking=/etc/passwd", "/api/0/frames.csv/../../secret.mp4"]


def get(port: int, target: str) -> tuple[int, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", target)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def test_requests_reach_only_the_files_on_the_command_line(serve, media, tmp_path):
    path = media("mp4")
    (tmp_path / "secret.mp4").write_bytes(b"secret " + path.read_bytes())
    server = serve(path)
    assert get(server.port, "/api/0/frame/35/picture")[0] == 200
    for target in ESCAPES:
        status, body = get(server.port, target)
        assert status in (400, 404), target
        assert b"secret" not in body and b"root:" not in body, target


def listening_addresses(port: int) -> list[str]:
    """Local addresses of the sockets that listen on port, from the kernel's tables."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in Path(table).read_text().splitlines()[1:]:
            local, _, state = line.split()[1:4]
            address, local_port = local.split(":")
            if int(local_port, 16) == port and state == "0A":
                found.append(address)
    return found


def test_server_listens_on_loopback_alone_and_stops_on_ctrl_c(media):
    server = Server(media("mp4"))
    try:
        assert server.url.startswith("http://127.0.0.1:")
        assert listening_addresses(server.port) == ["0100007F"]
    finally:
        status, errors = server.stop()
    assert status == 0 and "Traceback" not in errors, errors


def test_table_export_lists_the_frames_as_ffprobe_does(serve, media):
    path = media("mp4_long")
    server = serve(path)
    deadline = time.monotonic() + WAIT
    while (progress := json.loads(get(server.port, "/api/0/stats?since=0")[1]))["done"] < progress["total"]:
        assert time.monotonic() < deadline
        time.sleep(0.1)
    table = pd.read_csv(io.BytesIO(get(server.port, "/api/0/frames.csv")[1]))
    frames = sorted(ffprobe(path, "-show_entries", "frame=pts,pict_type,pkt_size,key_frame")["frames"],
                    key=lambda frame: int(frame["pts"]))
    assert table["pict_type"].tolist() == [frame["pict_type"] for frame in frames]
    assert table["pkt_size"].tolist() == [int(frame["pkt_size"]) for frame in frames]
    assert table["key_frame"].tolist() == [bool(frame["key_frame"]) for frame in frames]


@pytest.mark.parametrize("arguments", [["no-such-file.mp4"], ["a", "b", "c"]])
def test_command_line_mistakes_end_with_status_2(arguments, media, capsys):
    present = str(media("mp4"))
    assert main([present if name in "abc" else name for name in arguments] + ["--no-browser"]) == 2
    assert capsys.readouterr().err.startswith("vexmira-view: ")


class SyntaxSession:
    """A session of a module that reads macroblock syntax: two macroblocks, one unreadable."""

    def get_mb_syntax(self, index):
        fields = [("bits_header", "u4"), ("bits_prediction", "u4"), ("bits_residual", "u4"), ("parsed", "?")]
        return np.array([[(5, 7, 100, True), (3, 0, 0, False)]], dtype=fields)


def test_bits_layer_is_offered_where_the_module_reads_syntax(media):
    session = vexmira.H264DecoderSession(media("mp4"))
    assert "bits" in available_layers(SyntaxSession())
    assert ("bits" in available_layers(session)) == hasattr(session, "get_mb_syntax")
    assert np.frombuffer(layer_bytes("bits", SyntaxSession(), 0), "<f4").tolist() == [112, -1]
