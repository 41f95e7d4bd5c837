"""The Python package against the programs: the same bytes, every way in and out, clear errors."""
import io
import os
import subprocess
import sys
import threading
import wave
from pathlib import Path

import numpy as np
import pytest

import qxw


def music(frames, channels, seed=1):
    t = np.arange(frames)[:, None]
    rng = np.random.default_rng(seed)
    x = 6000 * np.sin(0.013 * t * np.arange(1, channels + 1)) + rng.integers(-64, 64, (frames, channels))
    return x.astype(np.int16)


def test_encodes_the_programs_bytes_and_reads_them_back(tmp_path):
    samples = music(20000, 2)
    with wave.open(str(tmp_path / "song.wav"), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(32000)
        w.writeframes(samples.astype("<i2").tobytes())
    for options, kwargs in ((["/Q9"], {"quality": 9}), (["/Q2"], {"quality": 2}),
                            (["/B4"], {"bits": 4}), (["/B3.5", "/X"], {"bits": 3.5, "effort": 1}),
                            (["/X3", "/B4"], {"bits": 4, "effort": 3})):
        subprocess.run([os.environ["WAV2QXW"], *options, str(tmp_path / "song.wav"),
                        str(tmp_path / "song.qxw")], check=True, capture_output=True)
        expected = (tmp_path / "song.qxw").read_bytes()
        assert qxw.encode(samples, 32000, **kwargs) == expected, options
    qxw.write(tmp_path / "lossless.qxw", samples, 32000, quality=9)
    for source in (tmp_path / "lossless.qxw", str(tmp_path / "lossless.qxw"),
                   (tmp_path / "lossless.qxw").read_bytes(),
                   io.BytesIO((tmp_path / "lossless.qxw").read_bytes())):
        decoded, rate = qxw.read(source)
        assert rate == 32000 and decoded.dtype == np.int16
        np.testing.assert_array_equal(decoded, samples)
    assert qxw.info(tmp_path / "lossless.qxw") == qxw.Info(20000, 2, 32000, 20000 / 32000)


def test_mono_blocks_and_file_objects():
    mono = music(7000, 1)[:, 0]
    out = io.BytesIO()
    qxw.write(out, mono, 8000, quality=9)
    decoded, _ = qxw.decode(out.getvalue())
    assert decoded.shape == (7000, 1)
    np.testing.assert_array_equal(decoded[:, 0], mono)
    parts = list(qxw.blocks(out.getvalue(), 1000))
    assert [len(p) for p in parts] == [1000] * 7
    np.testing.assert_array_equal(np.concatenate(parts), decoded)


@pytest.mark.parametrize("samples, error", [
    (np.zeros((10, 2), dtype=np.float32), TypeError),
    (np.zeros((10, 7), dtype=np.int16), ValueError),
    (np.zeros((2, 2, 2), dtype=np.int16), ValueError),
])
def test_wrong_arrays_raise_type_or_value_errors(samples, error):
    with pytest.raises(error):
        qxw.encode(samples, 44100)


def test_library_failures_raise_qxw_error():
    good = qxw.encode(music(1000, 1), 44100)
    for damaged, status in ((b"RIFF", 2), (good[:-4], 4), (good + b"JUNK", 8)):
        with pytest.raises(qxw.Error) as caught:
            qxw.decode(damaged)
        assert caught.value.status == status and str(caught.value)
    with pytest.raises(ValueError):
        qxw.encode(music(100, 1), 44100, bits=9)


def test_threads_encode_at_once_to_the_same_bytes():
    samples = music(200000, 2)
    expected = qxw.encode(samples, 44100, threads=1)
    results = [None] * 4

    def run(k):
        results[k] = qxw.encode(samples, 44100, threads=1)

    workers = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all(r == expected for r in results)


@pytest.mark.parametrize("kwargs, error", [
    ({"rate": -1}, ValueError),
    ({"rate": 0}, ValueError),
    ({"rate": 2**31}, ValueError),
    ({"rate": 2**32 + 8000}, ValueError),
    ({"rate": "44100"}, TypeError),
    ({"rate": 44100.9}, TypeError),
    ({"quality": 3.7}, TypeError),
    ({"quality": 10}, ValueError),
    ({"quality": -1}, ValueError),
    ({"threads": 2**32}, ValueError),
    ({"threads": 2**31}, ValueError),
    ({"threads": -1}, ValueError),
    ({"threads": 1.0}, TypeError),
    ({"bits": float("nan")}, ValueError),
    ({"bits": "4"}, TypeError),
    ({"bits": 1.99}, ValueError),
    ({"bits": 4, "effort": 4}, ValueError),
    ({"bits": 4, "effort": -1}, ValueError),
    ({"bits": 4, "effort": 1.0}, TypeError),
    ({"effort": 1}, ValueError),
])
def test_numbers_out_of_range_or_not_integers_are_refused(kwargs, error):
    arguments = {"rate": 44100, **kwargs}
    with pytest.raises(error):
        qxw.encode(music(100, 1), arguments.pop("rate"), **arguments)


def test_numpy_integers_are_integers():
    samples = music(500, 1)
    assert qxw.encode(samples, np.uint32(8000), quality=np.int64(9), threads=np.int8(1)) == \
        qxw.encode(samples, 8000, quality=9, threads=1)


def test_the_installed_package_finds_the_library_beside_it(tmp_path):
    # The layout `cmake --install` makes: P/lib/libqxw.so.1 and P/lib/python3/dist-packages/qxw.
    lib = tmp_path / "lib"
    package = lib / "python3" / "dist-packages" / "qxw"
    package.mkdir(parents=True)
    (package / "__init__.py").write_bytes((Path(qxw.__file__)).read_bytes())
    environment = {k: v for k, v in os.environ.items() if k not in ("QXW_LIBRARY", "PYTHONPATH")}
    environment["PYTHONPATH"] = str(package.parent)
    script = "import qxw; print(qxw.__version__)"
    missing = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True,
                             text=True)
    if missing.returncode != 0:
        assert "QXW_LIBRARY" in missing.stderr and str(lib / "libqxw.so.1") in missing.stderr
    (lib / "libqxw.so.1").symlink_to(os.environ["QXW_LIBRARY"])
    found = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True,
                           text=True)
    assert found.returncode == 0, found.stderr
    assert found.stdout.strip() == qxw.__version__


def test_encode_and_write_take_the_same_settings_by_name_only(tmp_path):
    samples = music(3000, 2)
    with pytest.raises(TypeError):
        qxw.encode(samples, 8000, 3, 1)  # threads, or bits? only a name can say
    with pytest.raises(TypeError):
        qxw.write(tmp_path / "refused.qxw", samples, 8000, 3, 4.0)
    qxw.write(tmp_path / "named.qxw", samples, 8000, 5, bits=4, effort=1, threads=2)
    assert (tmp_path / "named.qxw").read_bytes() == \
        qxw.encode(samples, 8000, 5, bits=4, effort=1, threads=1)
