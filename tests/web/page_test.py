"""The page in headless Chromium, served from 127.0.0.1: a WAV file and a QXW file opened through
#open give wav2qxw's and qxw2wav's bytes, the QXW file's row tells its rate, channels and
duration and plays, and a broken file puts qxw2wav's line in #message.
Usage: page_test.py <folder of the page> <wav2qxw> <qxw2wav>"""
import base64
import functools
import http.server
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

def wave_file(path, frames=88200, channels=2, rate=44100):
    data = bytearray()
    for i in range(frames):
        for c in range(channels):
            value = 9000 * math.sin(i * (0.013 + 0.004 * c)) + 2500 * math.sin(i * 0.09)
            data += struct.pack("<h", int(value))
    header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16)
    with open(path, "wb") as out:
        out.write(header + b"data" + struct.pack("<I", len(data)) + data)


class Handler(http.server.SimpleHTTPRequestHandler):
    """The page's files with the types a browser wants for modules and WebAssembly; quiet."""
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".mjs": "text/javascript", ".wasm": "application/wasm"}

    def log_message(self, *args):
        pass


def serve(folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Handler, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser(profile):
    options = Options()
    options.binary_location = os.environ.get("QXW_CHROMIUM", "/usr/bin/chromium")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--autoplay-policy=no-user-gesture-required", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    service = Service(os.environ.get("QXW_CHROMEDRIVER", "/usr/bin/chromedriver"))
    return webdriver.Chrome(service=service, options=options)


def saved_bytes(driver, link):
    """The bytes behind a row's save link, fetched inside the page."""
    encoded = driver.execute_async_script("""
        const [href, done] = arguments;
        fetch(href).then((r) => r.arrayBuffer()).then((buffer) => {
          const bytes = new Uint8Array(buffer);
          let text = '';
          for (let i = 0; i < bytes.length; i += 0x8000) {
            text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
          }
          done(btoa(text));
        });""", link.get_attribute("href"))
    return base64.b64decode(encoded)


def main():
    web, wav2qxw, qxw2wav = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="qxw-page-")
    server = serve(web)
    driver = None
    try:
        song, other = os.path.join(work, "song.wav"), os.path.join(work, "other.qxw")
        wave_file(song)
        subprocess.run([wav2qxw, song, os.path.join(work, "expected.qxw")], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([wav2qxw, "/Q5", song, other], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([qxw2wav, other, os.path.join(work, "expected.wav")], check=True,
                       stdout=subprocess.DEVNULL)
        broken = os.path.join(work, "broken.qxw")
        with open(other, "rb") as source, open(broken, "wb") as out:
            out.write(source.read()[:5000])

        driver = browser(os.path.join(work, "profile"))
        driver.set_script_timeout(60)
        driver.get(f"http://127.0.0.1:{server.server_port}/index.html")
        wait = WebDriverWait(driver, 60)
        driver.find_element(By.ID, "open").send_keys(song + "\n" + other)
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#files .save")) == 2)
        rows = driver.find_elements(By.CSS_SELECTOR, "#files li")
        with open(os.path.join(work, "expected.qxw"), "rb") as f:
            assert saved_bytes(driver, rows[0].find_element(By.CLASS_NAME, "save")) == f.read(), \
                "the page's QXW file is not wav2qxw's"
        with open(os.path.join(work, "expected.wav"), "rb") as f:
            assert saved_bytes(driver, rows[1].find_element(By.CLASS_NAME, "save")) == f.read(), \
                "the page's WAV file is not qxw2wav's"
        info = rows[1].find_element(By.CLASS_NAME, "info").text
        assert info == "44100 Hz, 2 channels, 0:02.00", info

        # Playback starts: the audio context's clock runs.
        rows[1].find_element(By.CLASS_NAME, "play").click()
        wait.until(lambda d: d.execute_script("return window.qxwPage.audioTime()") > 0)
        before = driver.execute_script("return window.qxwPage.audioTime()")
        time.sleep(0.5)
        after = driver.execute_script("return window.qxwPage.audioTime()")
        assert after > before, (before, after)
        assert rows[1].get_attribute("data-playing") == "true"

        driver.find_element(By.ID, "open").send_keys(broken)
        line = "Error: file broken.qxw incomplete or truncated"
        wait.until(lambda d: line in d.find_element(By.ID, "message").text)
        print("page: ok")
    finally:
        if driver is not None:
            driver.quit()
        server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
