"""vexmira-view as the tests drive it: the server in a process of its own, on a free port, and
headless Chromium under Selenium, started without the sanitizer runtime that a sanitizer
build's test run preloads (Chromium and its driver abort under it)."""

import base64
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

WAIT = 30 * float(os.environ.get("VEXMIRA_TIMEOUT_SCALE", "1"))
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


class Server:
    def __init__(self, *paths: Path, options: tuple[str, ...] = ()):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "vexmira_tools.view", *map(str, paths), "--port", "0", "--no-browser", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        assert " at http://" in line, line + self.process.stderr.read()
        self.url = line.split(" at ")[1].split()[0]
        self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])

    def stop(self) -> tuple[int, str]:
        """Ctrl-C, as a user stops it; its exit status and what it wrote to stderr."""
        self.process.send_signal(signal.SIGINT)
        try:
            _, errors = self.process.communicate(timeout=WAIT)
            return self.process.returncode, errors
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.communicate()


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,900", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    environment = {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=environment), options=options)


class Page:
    def __init__(self, driver: webdriver.Chrome, url: str):
        self.driver = driver
        driver.get(url)
        self.root = driver.find_element(By.ID, "viewer")
        self.wait_for("frame", "0")

    def wait_for(self, attribute: str, value: str, element=None) -> None:
        element = element or self.root
        WebDriverWait(self.driver, WAIT).until(lambda _: element.get_attribute(f"data-{attribute}") == value,
                                               f"data-{attribute} never became {value!r}")

    def pane(self, index: int):
        return self.driver.find_element(By.ID, f"pane-{index}")

    def wait_for_table(self, index: int = 0) -> None:
        pane = self.pane(index)
        self.wait_for("stats-done", pane.get_attribute("data-stats-total"), pane)

    def press(self, *keys: str) -> None:
        body = self.driver.find_element(By.TAG_NAME, "body")
        for key in keys:
            body.send_keys(key)

    def toggle(self, overlay: str, expected: str) -> None:
        self.driver.find_element(By.CSS_SELECTOR, f"#overlays input[name={overlay}]").click()
        self.wait_for("overlays", expected)

    def pixels(self, pane: int = 0) -> np.ndarray:
        """The pane's picture canvas as (rows, columns, RGBA)."""
        encoded, width, height = self.driver.execute_script(f"""
            const canvas = document.querySelector("#pane-{pane} canvas.picture");
            const data = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
            let text = "";
            for (let i = 0; i < data.length; i += 8192) text += String.fromCharCode(...data.subarray(i, i + 8192));
            return [btoa(text), canvas.width, canvas.height];""")
        return np.frombuffer(base64.b64decode(encoded), np.uint8).reshape(height, width, 4)
