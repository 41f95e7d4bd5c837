#!/usr/bin/python3
"""Loud square waves with a little noise through wav2qxw and qxw2wav: how many fall below 10 dB.

usage: square_sweep.py BUILD_DIR [QUALITIES] [-v]   (QUALITIES such as 0123456, default 0 to 6;
-v names each square below 10 dB)
The squares alternate every 2 to 16 samples between levels of +-16384 to +-32767 with noise of
+-100; one second of mono at 44.1 kHz each.
"""
import subprocess
import sys
import tempfile
import wave
from pathlib import Path

import numpy as np


def write_wav(path, samples):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(44100)
        w.writeframes(samples.astype("<i2").tobytes())


def read_wav(path):
    with wave.open(str(path), "rb") as w:
        return np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.int64)


def snr(original, decoded):
    noise = np.sum((original - decoded) ** 2)
    return float("inf") if noise == 0 else 10 * np.log10(np.sum(original**2) / noise)


def main():
    build = Path(sys.argv[1])
    qualities = [int(q) for q in (sys.argv[2] if len(sys.argv) > 2 and sys.argv[2] != "-v" else "0123456")]
    rng = np.random.default_rng(1)
    squares = [(p, a) for p in range(2, 17) for a in np.linspace(16384, 32767, 28).astype(int)]
    low = {q: 0 for q in qualities}
    worst = {q: float("inf") for q in qualities}
    with tempfile.TemporaryDirectory() as tmp:
        wav, qxw, out = Path(tmp, "s.wav"), Path(tmp, "s.qxw"), Path(tmp, "d.wav")
        for period, amplitude in squares:
            levels = np.where((np.arange(44100) // period) % 2 == 0, amplitude, -amplitude)
            signal = np.clip(levels + rng.integers(-100, 101, 44100), -32768, 32767)
            write_wav(wav, signal)
            for q in qualities:
                subprocess.run([build / "wav2qxw", f"/Q{q}", wav, qxw], check=True,
                               stdout=subprocess.DEVNULL)
                subprocess.run([build / "qxw2wav", "/F", qxw, out], check=True,
                               stdout=subprocess.DEVNULL)
                ratio = snr(signal, read_wav(out))
                low[q] += ratio < 10
                if ratio < 10 and "-v" in sys.argv:
                    print(f"Q{q} every {period} samples, +-{amplitude}: {ratio:.2f} dB")
                worst[q] = min(worst[q], ratio)
    print(f"{len(squares)} squares")
    for q in qualities:
        print(f"Q{q}: {low[q]} below 10 dB, lowest {worst[q]:.2f} dB")


if __name__ == "__main__":
    main()
