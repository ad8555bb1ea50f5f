"""Headless Chromium driven through Debian's chromium-driver and
python3-selenium, for the report page's tests and benchmark."""
import shutil
import subprocess
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# The host and program the test pages name.
HOST = "chat.example.org"
PROGRAM = "BWCorvane 1.0"


class Browser:
    def __init__(self, profile_parent):
        shutil.rmtree(profile_parent, ignore_errors=True)
        self.profile = tempfile.mkdtemp(prefix="chromium-", dir=_made(profile_parent))
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                         "--disable-component-update", "--no-first-run", "--window-size=1400,1000",
                         "--user-data-dir=" + self.profile):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)

    def quit(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)

    @staticmethod
    def write_page(writer, results, page, seen=None):
        subprocess.run([writer, results, page, HOST, PROGRAM] + ([seen] if seen else []), check=True)

    def open(self, page, timeout=60):
        """Opens the page from the disk and waits until its script has drawn
        the table and the chart; returns how long that took in ms, from the
        start of the navigation."""
        self.driver.get("file://" + page)
        WebDriverWait(self.driver, timeout).until(
            lambda d: d.execute_script("return window.corvaneDrawnAt !== undefined"))
        return self.run("return window.corvaneDrawnAt")

    def run(self, script, *arguments):
        return self.driver.execute_script(script, *arguments)

    def source(self):
        return self.driver.page_source

    def click(self, selector):
        self.driver.find_element(By.CSS_SELECTOR, selector).click()

    def type(self, selector, text):
        self.driver.find_element(By.CSS_SELECTOR, selector).send_keys(text)

    def attribute(self, selector, name):
        return self.driver.find_element(By.CSS_SELECTOR, selector).get_attribute(name)

    def painted_pixels(self, canvas_id):
        """How many pixels of the canvas are not transparent."""
        return self.run("""
            const canvas = document.getElementById(arguments[0]);
            const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
            let painted = 0;
            for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) painted++;
            return painted;""", canvas_id)

    def errors(self):
        """The page's console messages of level error (script errors among them)."""
        return [entry["message"] for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]

    def screenshot(self, path):
        self.driver.save_screenshot(path)


def _made(folder):
    import os
    os.makedirs(folder, exist_ok=True)
    return folder
