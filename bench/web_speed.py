"""The module's decode and encode times in headless Chromium, the median of five runs each, on
the page's own module served from 127.0.0.1.
Usage: python3 bench/web_speed.py <folder of the page> <song.wav> [quality]"""
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "web"))
from page_test import browser, serve  # noqa: E402

folder, song = sys.argv[1:3]
quality = int(sys.argv[3]) if len(sys.argv) > 3 else 3
work = tempfile.mkdtemp(prefix="qxw-speed-")
try:
    site = os.path.join(work, "site")
    shutil.copytree(folder, site)
    shutil.copy(song, os.path.join(site, "song.wav"))
    server = serve(site)
    driver = browser(os.path.join(work, "profile"))
    driver.set_script_timeout(300)
    driver.get(f"http://127.0.0.1:{server.server_port}/index.html")
    result = driver.execute_async_script("""
        const [quality, done] = arguments;
        (async () => {
          const qxw = await import('./qxw.mjs');
          await qxw.ready;
          const wav = new Uint8Array(await (await fetch('song.wav')).arrayBuffer());
          const median = (run) => {
            const times = [];
            for (let i = 0; i < 5; ++i) {
              const started = performance.now();
              run();
              times.push((performance.now() - started) / 1000);
            }
            return times.sort((a, b) => a - b)[2];
          };
          let file;
          const encodeSeconds = median(() => { file = qxw.encodeWav(wav, { quality }).qxw; });
          const decodeSeconds = median(() => qxw.decode(file));
          done({ encodeSeconds, decodeSeconds, bytes: file.length });
        })();""", quality)
    print(json.dumps(result))
    driver.quit()
    server.shutdown()
finally:
    shutil.rmtree(work, ignore_errors=True)
