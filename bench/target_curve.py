#!/usr/bin/env python3
"""wav2qxw /B# against wavpack's hybrid mode and MS ADPCM: size, signal-to-noise and encode time.

usage: target_curve.py WAV2QXW QXW2WAV DATFILE FILE.wav...
Prints a Markdown section; appends "label size_MB snr" lines for the plot to DATFILE (the /B
points) and DATFILE.peer (wavpack's). The signal-to-noise figures come from qxw2wav /C, exactly.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

TARGETS = [2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6]
SEARCHED = [2.5, 3, 4, 5, 6]  # /X1../X3, timed once: they are slow
WAVPACK = [2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6, 7]


def run(*args):
    subprocess.run([str(a) for a in args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def snr(dec, enc, tmp, original, decoded=None, qxw=None):
    """SNR of a decoded WAV file (or a QXW file) against the original, through qxw2wav /C."""
    if qxw is None:
        qxw = os.path.join(tmp, "exact.qxw")
        run(enc, "/Q9", decoded, qxw)
    out = subprocess.run([dec, "/C", qxw, original], check=True, capture_output=True, text=True)
    line = out.stdout.strip().splitlines()[-1]
    return float("inf") if "identical" in line else float(line.split()[-2])


def timed(*args, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        run(*args)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def interpolate(points, bits):
    points = sorted(points)
    for (b0, s0), (b1, s1) in zip(points, points[1:]):
        if b0 <= bits <= b1:
            return s0 + (s1 - s0) * (bits - b0) / (b1 - b0)
    return None


def main():
    enc, dec, dat = sys.argv[1], sys.argv[2], sys.argv[3]
    print("## Size targets (/B, /X1../X3) against wavpack's hybrid mode\n")
    print("Bits per sample are file bits over frames × channels; SNR is exact (`qxw2wav /C`). "
          "Encode times are medians of three runs on all cores (one run for /X); `/Q3` beside "
          "them for scale.\n")
    with tempfile.TemporaryDirectory() as tmp, open(dat, "a") as ours, open(dat + ".peer", "a") as peer:
        for wav in sys.argv[4:]:
            name = os.path.basename(wav)
            samples = (os.path.getsize(wav) - 44) / 2
            q3 = timed(enc, "/Q3", wav, os.path.join(tmp, "q3.qxw"))
            print(f"### {name} (`/Q3` encodes it in {q3:.3f} s)\n")
            print("| Coder | Bits per sample | SNR (dB) | Encode time (s) | Time against /Q3 |")
            print("|---|---|---|---|---|")
            def point(label, file, seconds, ratio, points, plot):
                """One row of the table, one point of its curve, and of the plot for the music."""
                actual = os.path.getsize(file) * 8 / samples
                points.append((actual, ratio))
                print(f"| {label} | {actual:.2f} | {ratio:.2f} | {seconds:.3f} | {seconds / q3:.1f} |")
                if name.startswith("small"):
                    plot.write(f'"{label.split()[-1]}" {os.path.getsize(file) / 1e6:.3f} {ratio:.2f}\n')

            mine, theirs = [], []
            searched = {effort: [] for effort in (1, 2, 3)}
            for bits in TARGETS:
                qxw = os.path.join(tmp, "b.qxw")
                seconds = timed(enc, f"/B{bits}", wav, qxw)
                point(f"wav2qxw /B{bits}", qxw, seconds, snr(dec, enc, tmp, wav, qxw=qxw), mine, ours)
            for effort, points in searched.items():
                with open(f"{dat}.x{effort}", "a") as plot:
                    for bits in SEARCHED:
                        qxw = os.path.join(tmp, "x.qxw")
                        seconds = timed(enc, f"/X{effort}", f"/B{bits}", wav, qxw, runs=1)
                        point(f"wav2qxw /X{effort} /B{bits}", qxw, seconds,
                              snr(dec, enc, tmp, wav, qxw=qxw), points, plot)
            for bits in WAVPACK:
                wv, out = os.path.join(tmp, "h.wv"), os.path.join(tmp, "h.wav")
                seconds = timed(os.environ.get("WAVPACK", "wavpack"), "-q", "-y", f"-b{bits}", wav, "-o", wv)
                run("wvunpack", "-q", "-y", wv, "-o", out)
                point(f"wavpack -b{bits}", wv, seconds, snr(dec, enc, tmp, wav, decoded=out), theirs, peer)
            adpcm = os.path.join(tmp, "ms.wav")
            run("sox", wav, "-e", "ms-adpcm", adpcm)
            with open(wav, "rb") as f:
                channels = int.from_bytes(f.read(24)[22:24], "little")
            # The decoder pads the last block; the original's frames are compared.
            run("sox", adpcm, "-e", "signed-integer", "-b", "16", "-t", "wavpcm",
                os.path.join(tmp, "ms-out.wav"), "trim", "0", f"{int(samples) // channels}s")
            ms_bits = os.path.getsize(adpcm) * 8 / samples
            ms_snr = snr(dec, enc, tmp, wav, decoded=os.path.join(tmp, "ms-out.wav"))
            print(f"| sox MS ADPCM | {ms_bits:.2f} | {ms_snr:.2f} | | |\n")
            print("| At | /B SNR | /X1 | /X2 | /X3 | wavpack hybrid, interpolated | /B − wavpack "
                  "| /X1 − wavpack | /X1 − /B |")
            print("|---|---|---|---|---|---|---|---|---|")
            for bits in (3, 4, 5):
                a, b = interpolate(mine, bits), interpolate(theirs, bits)
                x = [interpolate(searched[e], bits) for e in (1, 2, 3)]
                if a is not None and b is not None and None not in x:
                    print(f"| {bits} bits | {a:.2f} | {x[0]:.2f} | {x[1]:.2f} | {x[2]:.2f} | {b:.2f} "
                          f"| {a - b:+.2f} dB | {x[0] - b:+.2f} dB | {x[0] - a:+.2f} dB |")
            four = interpolate(mine, 4)
            if four is not None:
                print(f"\nAt 4 bits /B is {four - ms_snr:+.1f} dB against MS ADPCM ({ms_bits:.2f} bits, {ms_snr:.1f} dB).\n")


if __name__ == "__main__":
    main()
