#!/usr/bin/env bash
# Builds the Release programs, makes a music and speech corpus from Debian packages, and times
# wav2qxw and qxw2wav against flac and wavpack on it, in alternating runs (bench/alternate.py).
# Writes docs/BENCHMARKS.md and docs/benchmarks.png. Usage: bench/run_benchmarks.sh [workdir]
# The peers come from the environment: FLAC and WAVPACK (default: Debian's), and FLAC_NEWEST, the
# newest flac, which encodes on several threads (default: ../shared/peers/flac-1.5.0 beside the
# project, when it is there).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-/tmp/qxw-bench}
mkdir -p "$work"
# The report is made beside the corpus and takes its place in docs/ only once it is complete.
report=$work/BENCHMARKS.md.part
rm -f "$report"
FLAC=${FLAC:-flac}
WAVPACK=${WAVPACK:-wavpack}
newest_default=$root/../shared/peers/flac-1.5.0
[ -x "$newest_default" ] || newest_default=""
FLAC_NEWEST=${FLAC_NEWEST:-$newest_default}

need=()
for tool in flac:flac wavpack:wavpack fluidsynth:fluidsynth hyperfine:hyperfine gnuplot:gnuplot-nox \
            espeak-ng:espeak-ng sox:sox python3:python3; do
  command -v "${tool%%:*}" >/dev/null || need+=("${tool#*:}")
done
[ -f /usr/share/sounds/sf2/FluidR3_GM.sf2 ] || need+=(fluid-soundfont-gm)
[ -d /usr/share/planetblupi/music ] || need+=(planetblupi-music-midi)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQXW_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j2 >/dev/null
enc=$root/build-release/wav2qxw
dec=$root/build-release/qxw2wav
one=$root/build-release/encode_file   # through the library, with a chosen number of threads
cpu0="taskset -c 0"                    # one CPU: every thread the programs start shares it

# Corpus: four songs rendered from MIDI at 44.1 kHz, 16-bit stereo, a minute each, joined into
# one file; plus English speech.
cd "$work"
if [ ! -f music.wav ]; then
  parts=()
  for n in 004 005 006 007; do
    fluidsynth -ni -q -F "song$n.wav" -r 44100 -O s16 -T wav /usr/share/sounds/sf2/FluidR3_GM.sf2 \
      "/usr/share/planetblupi/music/music$n.mid" >/dev/null 2>&1
    sox "song$n.wav" -b 16 -c 2 "part$n.wav" trim 0 60
    parts+=("part$n.wav")
    rm -f "song$n.wav"
  done
  sox "${parts[@]}" -b 16 music.wav
  rm -f "${parts[@]}"
fi
if [ ! -f speech.wav ]; then
  text="The quick brown fox jumps over the lazy dog. A compressor is handed files from anywhere."
  for i in $(seq 1 12); do echo "$text"; done > speech.txt
  espeak-ng -w speech22.wav -f speech.txt
  sox speech22.wav -r 44100 -b 16 -c 1 speech.wav
  rm -f speech22.wav
fi
sox music.wav small.wav trim 0 30          # about 5 MB
# Twenty seconds of each of the other three songs, for the size targets, and a sparse piece: a
# song rewritten for a solo harp.
for n in 1 2 3; do sox music.wav "song$n.wav" trim $((60 * n + 20)) 20; done
if [ ! -f harp.wav ]; then
  python3 "$root/bench/solo_midi.py" /usr/share/planetblupi/music/music002.mid harp.mid 46
  fluidsynth -ni -q -F harp-full.wav -r 44100 -O s16 -T wav /usr/share/sounds/sf2/FluidR3_GM.sf2 \
    harp.mid >/dev/null 2>&1
  sox harp-full.wav -b 16 -c 2 harp.wav trim 10 20
  rm -f harp-full.wav harp.mid
fi
# small.wav 32 times over, about 170 MB: the same sound per sample, so only the length differs.
sox $(for i in $(seq 32); do echo small.wav; done) big.wav

mb() { python3 -c "import sys; print(f'{int(sys.argv[1])/1e6:.1f}')" "$1"; }
size() { stat -c %s "$1"; }

{
echo "# Benchmarks"
echo
echo "Measured by \`bench/run_benchmarks.sh\` on $(date -u +%Y-%m-%d), $(nproc) cores of"
echo "\"$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')\", Linux $(uname -r)."
echo "Tools: $("$FLAC" --version), $("$WAVPACK" --version 2>&1 | head -n 1 | tr -d '\r'), g++ $(g++ -dumpversion)${FLAC_NEWEST:+; newest flac: $("$FLAC_NEWEST" --version), with -j$(nproc) on every core}."
echo "wav2qxw uses every core (the bytes never depend on it); \"one CPU\" rows run under"
echo "\`taskset -c 0\`, where the programs see one CPU and start no second thread. flac and wavpack"
echo "run on one thread. qxw2wav decodes a file on two threads where there are two CPUs. Times are"
echo "medians of ten alternating rounds, each command run once a round by hyperfine (wall clock)."
echo "Each run writes a new file: what the command wrote the round before is removed first, untimed."
echo "Replacing an existing file costs more (see \"Replacing the output of the run before\")."
echo
} > "$report"

# A command that writes a file of its own, removed before each of its runs.
fresh() { local out=$1; shift; echo "rm -f $out ;; $*"; }

for corpus in music speech; do
  in=$corpus.wav
  bytes=$(size "$in")
  "$FLAC" -0 -f -s "$in" -o "$corpus-0.flac"
  "$FLAC" -5 -f -s "$in" -o "$corpus-5.flac"
  "$WAVPACK" -q -f -y "$in" -o "$corpus.wv"
  "$enc" /Q3 "$in" "$corpus-3.qxw" >/dev/null
  "$enc" /Q9 "$in" "$corpus-9.qxw" >/dev/null
  newest=()
  if [ -n "$FLAC_NEWEST" ]; then
    "$FLAC_NEWEST" -0 -f -s "$in" -o "$corpus-n0.flac"
    newest=("newest flac -0 -j$(nproc)" "$(fresh "$corpus-n0.flac" "$FLAC_NEWEST" -0 -j"$(nproc)" -f -s "$in" -o "$corpus-n0.flac")"
            "newest flac -0, one CPU" "$(fresh "$corpus-n0t.flac" $cpu0 "$FLAC_NEWEST" -0 -f -s "$in" -o "$corpus-n0t.flac")"
            "newest flac -d (-0 file)" "$(fresh "$corpus-dn.wav" "$FLAC_NEWEST" -d -f -s "$corpus-n0.flac" -o "$corpus-dn.wav")")
  fi
  python3 "$root/bench/alternate.py" 10 1 "$corpus.json" \
    "wav2qxw /Q3" "$(fresh "$corpus-3.qxw" "$enc" /Q3 "$in" "$corpus-3.qxw")" \
    "wav2qxw /Q9" "$(fresh "$corpus-9.qxw" "$enc" /Q9 "$in" "$corpus-9.qxw")" \
    "wav2qxw /Q3, one CPU" "$(fresh "$corpus-3t.qxw" $cpu0 "$enc" /Q3 "$in" "$corpus-3t.qxw")" \
    "wav2qxw /Q9, one CPU" "$(fresh "$corpus-9t.qxw" $cpu0 "$enc" /Q9 "$in" "$corpus-9t.qxw")" \
    "flac -0" "$(fresh "$corpus-0.flac" "$FLAC" -0 -f -s "$in" -o "$corpus-0.flac")" \
    "flac -5" "$(fresh "$corpus-5.flac" "$FLAC" -5 -f -s "$in" -o "$corpus-5.flac")" \
    "wavpack -f" "$(fresh "$corpus.wv" "$WAVPACK" -q -f -y "$in" -o "$corpus.wv")" \
    "qxw2wav (Q9 file)" "$(fresh "$corpus-d9.wav" "$dec" /F "$corpus-9.qxw" "$corpus-d9.wav")" \
    "qxw2wav (Q3 file)" "$(fresh "$corpus-d3.wav" "$dec" /F "$corpus-3.qxw" "$corpus-d3.wav")" \
    "flac -d (-5 file)" "$(fresh "$corpus-d5.wav" "$FLAC" -d -f -s "$corpus-5.flac" -o "$corpus-d5.wav")" \
    "wvunpack" "$(fresh "$corpus-dwv.wav" wvunpack -q -y "$corpus.wv" -o "$corpus-dwv.wav")" "${newest[@]}"
  python3 - "$corpus.json" "$bytes" "$corpus" >> "$report" <<'PY'
import json, os, sys
runs = json.load(open(sys.argv[1]))["results"]
wav = int(sys.argv[2]); corpus = sys.argv[3]
files = {"wav2qxw /Q3": f"{corpus}-3.qxw", "wav2qxw /Q9": f"{corpus}-9.qxw", "flac -0": f"{corpus}-0.flac",
         "flac -5": f"{corpus}-5.flac", "wavpack -f": f"{corpus}.wv"}
files.update({k: f"{corpus}-n0.flac" for k in (r["command"] for r in runs) if k.startswith("newest flac -0")})
print(f"## {corpus}.wav ({wav/1e6:.1f} MB)\n")
print("| Tool | Compressed bytes | Ratio | Median time (s) | Fastest (s) | MB/s (WAV bytes, median) |")
print("|---|---|---|---|---|---|")
for r in runs:
    name = r["command"]; med = r["median"]
    out = files.get(name)
    size = os.path.getsize(out) if out else None
    ratio = f"{wav/size:.3f}" if size else ""
    print(f"| {name} | {size if size else ''} | {ratio} | {med:.3f} | {r['min']:.3f} | {wav/med/1e6:.0f} |")
print()
PY
done

# The target rows again, each run replacing the file its command wrote the round before, as a
# user who runs the same command twice does. The older file's blocks are freed by the run that
# replaces it; a file written back to disk has more to free than one still in memory.
if [ -n "$FLAC_NEWEST" ]; then
  peers=("newest flac -0 -j$(nproc)" "$FLAC_NEWEST -0 -j$(nproc) -f -s music.wav -o music-n0.flac"
         "newest flac -0, one CPU" "$cpu0 $FLAC_NEWEST -0 -f -s music.wav -o music-n0t.flac"
         "newest flac -d (-0 file)" "$FLAC_NEWEST -d -f -s music-n0.flac -o music-dn.wav")
else
  peers=("flac -0" "$FLAC -0 -f -s music.wav -o music-0.flac"
         "flac -0, one CPU" "$cpu0 $FLAC -0 -f -s music.wav -o music-0t.flac"
         "flac -d (-5 file)" "$FLAC -d -f -s music-5.flac -o music-d5.wav")
fi
python3 "$root/bench/alternate.py" 10 1 replacing.json \
  "wav2qxw /Q3" "$enc /Q3 music.wav music-3.qxw" \
  "wav2qxw /Q9" "$enc /Q9 music.wav music-9.qxw" \
  "wav2qxw /Q3, one CPU" "$cpu0 $enc /Q3 music.wav music-3t.qxw" \
  "qxw2wav (Q9 file)" "$dec /F music-9.qxw music-d9.wav" \
  "qxw2wav (Q3 file)" "$dec /F music-3.qxw music-d3.wav" "${peers[@]}"
python3 - replacing.json >> "$report" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["results"]
t = {x["command"]: x["median"] for x in runs}
names = [x["command"] for x in runs]
every, single, decoder = names[5:8]
print("## Replacing the output of the run before (music.wav)\n")
print("Each command writes over the file it wrote the round before, in alternating rounds as above.\n")
print("| Tool | Median time (s) | Against |")
print("|---|---|---|")
for name, peer in (("wav2qxw /Q3", every), ("wav2qxw /Q9", every), ("wav2qxw /Q3, one CPU", single),
                   ("qxw2wav (Q9 file)", decoder), ("qxw2wav (Q3 file)", decoder)):
    print(f"| {name} | {t[name]:.3f} | {t[name] / t[peer]:.2f} of {peer} |")
for peer in (every, single, decoder):
    print(f"| {peer} | {t[peer]:.3f} | |")
print()
PY

# Peak memory and page faults, on the music file: on these virtual machines a first touch of a
# page costs several microseconds.
usage() {
  /usr/bin/time -v "$@" 2>&1 >/dev/null |
    awk -F: '/Maximum resident/ {gsub(/ /,"",$2); r=$2} /Minor/ {gsub(/ /,"",$2); f=$2} END {print r " | " f}'
}
peak() { usage "$@" | cut -d' ' -f1; }
"$enc" /Q3 music.wav m.qxw >/dev/null; "$enc" /Q9 music.wav m9.qxw >/dev/null
{
echo "## Peak resident memory and page faults (music.wav, $(mb "$(size music.wav)") MB)"
echo
echo "| Command | Peak RSS (KiB) | Minor page faults |"
echo "|---|---|---|"
echo "| wav2qxw /Q3 | $(usage "$enc" /Q3 music.wav m.qxw) |"
echo "| wav2qxw /Q9 | $(usage "$enc" /Q9 music.wav m9.qxw) |"
echo "| wav2qxw /Q3, one CPU | $(usage $cpu0 "$enc" /Q3 music.wav m.qxw) |"
echo "| flac -0 | $(usage "$FLAC" -0 -f -s music.wav -o m.flac) |"
echo "| flac -5 | $(usage "$FLAC" -5 -f -s music.wav -o m.flac) |"
echo "| qxw2wav (Q3 file) | $(usage "$dec" /F m.qxw m.wav) |"
echo "| qxw2wav (Q9 file) | $(usage "$dec" /F m9.qxw m.wav) |"
# Standard input is decoded as it arrives: the peak does not grow with the stream.
echo "| cat m.qxw \\| qxw2wav - - (a pipe) | $(usage sh -c "cat m.qxw | '$dec' - - >/dev/null") |"
echo "| flac -d (-5 file) | $(usage "$FLAC" -d -f -s m.flac -o m.wav) |"
echo
} >> "$report"

# Where the encoder's time goes, one thread against all cores: each step's best of five runs
# through the library (bench/encode_file.c), on the music file.
steps() {
  for run in 1 2 3 4 5; do "$one" music.wav steps.qxw "$1" "$2" steps; done |
    awk '{for (i = 1; i <= NF; ++i) if (NR == 1 || $i < m[i]) m[i] = $i} END {for (i = 1; i <= 8; ++i) printf "%s ", m[i]; print ""}'
}
# Whether the cores are independent: the encoding step of a single-thread encode alone on CPU 0,
# and of two at once, one on each CPU (medians of five: the shared machine's speed wanders).
median7() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
alone() {
  for run in 1 2 3 4 5; do taskset -c 0 "$one" music.wav pair0.qxw 3 1 steps | cut -d' ' -f7; done | median7
}
paired() {
  for run in 1 2 3 4 5; do
    taskset -c 0 "$one" music.wav pair0.qxw 3 1 steps & taskset -c 1 "$one" music.wav pair1.qxw 3 1 steps
    wait
  done | cut -d' ' -f7 | median7
}
python3 - "$(steps 3 1)" "$(steps 3 0)" "$(steps 9 1)" "$(steps 9 0)" "$(nproc)" "$(alone)" "$(paired)" \
  >> "$report" <<'PY'
import sys
names = ["mapping the input", "difference histogram", "bin layout", "context statistics",
         "codes and refinement", "header", "encoding the samples", "closing the file"]
walks = {1, 3, 6}
print(f"## Where the encoder's time goes (music.wav, one thread against {sys.argv[5]} cores)\n")
print("Best of five runs of each step, in milliseconds. The three walks over the samples run in")
print("pieces, one per core; the other steps run on one thread.\n")
for label, one, every in (("Q3", sys.argv[1], sys.argv[2]), ("Q9", sys.argv[3], sys.argv[4])):
    a = [float(x) for x in one.split()]; b = [float(x) for x in every.split()]
    print(f"| Step ({label}) | One thread | All cores | Speed-up |")
    print("|---|---|---|---|")
    for i, name in enumerate(names):
        print(f"| {name}{' (walk)' if i in walks else ''} | {a[i]:.1f} | {b[i]:.1f} | {a[i] / b[i] if b[i] else 0:.2f} |")
    serial = sum(b[i] for i in range(8) if i not in walks)
    print(f"| all steps | {sum(a):.1f} | {sum(b):.1f} | {sum(a) / sum(b):.2f} |")
    print(f"| of which one thread only | {sum(a[i] for i in range(8) if i not in walks):.1f} | {serial:.1f} | |")
    print()
print(f"The encoding step of a single-thread Q3 encode, median of five: {float(sys.argv[6]):.1f} ms alone "
      f"on one CPU, {float(sys.argv[7]):.1f} ms with a second such encode on the other CPU.\n")
PY

# Linearity: time per MB on a 5 MB file and on the same sound 32 times over; and the cost per sample of hostile inputs
# against music of the same length.
sox music.wav -t wavpcm clipped.wav trim 0 30 gain 10 2>/dev/null
sox -n -r 44100 -c 2 -b 16 -t wavpcm noise.wav synth 30 whitenoise
sox -n -r 44100 -c 2 -b 16 -t wavpcm silence.wav trim 0 30
sox -n -r 44100 -c 2 -b 16 -t wavpcm rails.wav synth 30 square 11025 gain -0.01
hyperfine -N --warmup 1 --runs 5 --export-json lin.json \
  -n small "$enc /Q3 small.wav s.qxw" -n big "$enc /Q3 big.wav b.qxw" \
  -n "music Q3" "$one small.wav h.qxw 3 1" -n "music Q0" "$one small.wav h.qxw 0 1" \
  -n "clipped Q3" "$one clipped.wav h.qxw 3 1" -n "clipped Q0" "$one clipped.wav h.qxw 0 1" \
  -n "noise Q3" "$one noise.wav h.qxw 3 1" -n "noise Q0" "$one noise.wav h.qxw 0 1" \
  -n "silence Q3" "$one silence.wav h.qxw 3 1" -n "rails Q3" "$one rails.wav h.qxw 3 1" \
  -n "rails Q0" "$one rails.wav h.qxw 0 1" >/dev/null
python3 - lin.json "$(size small.wav)" "$(size big.wav)" >> "$report" <<'PY'
import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
s, b = int(sys.argv[2]) / 1e6, int(sys.argv[3]) / 1e6
ps, pb = r["small"] / s * 1000, r["big"] / b * 1000
print("## Linearity (wav2qxw /Q3, the same music repeated)\n")
print(f"{s:.1f} MB: {ps:.2f} ms per MB; {b:.1f} MB: {pb:.2f} ms per MB; difference {abs(pb-ps)/ps*100:.1f}%.\n")
print("## Cost per sample against music (30 s stereo each, one thread)\n")
print("| Input | Time (s) | Against music at the same quality |")
print("|---|---|---|")
for name in ["music Q3", "music Q0", "clipped Q3", "clipped Q0", "noise Q3", "noise Q0", "silence Q3", "rails Q3", "rails Q0"]:
    base = r["music " + name.split()[1]]
    print(f"| {name} | {r[name]:.3f} | {r[name] / base:.2f} |")
print()
PY

# Quality levels: size, SNR and largest sample error of the decoded file, on the first 30 s; and
# the lossy coders a user would weigh against ours on the same music.
cat > snr.py <<'PY'
import array, math, sys
def samples(name):
    data = open(name, "rb").read()
    at = 12
    while data[at:at + 4] != b"data":
        at += 8 + int.from_bytes(data[at + 4:at + 8], "little")
    return array.array("h", data[at + 8:at + 8 + int.from_bytes(data[at + 4:at + 8], "little")])
a, b = samples(sys.argv[1]), samples(sys.argv[2])
sig = sum(x * x for x in a); noise = sum((x - y) ** 2 for x, y in zip(a, b))
worst = max(abs(x - y) for x, y in zip(a, b))
snr = 10 * math.log10(sig / noise) if noise else float("inf")
size = int(sys.argv[3]); label = sys.argv[4]; table = sys.argv[5]
print(f"| {label} | {size} | {len(a) * 2 / size:.3f} | {'lossless' if noise == 0 else f'{snr:.1f}'} | {worst} |")
with open(table, "a") as f:
    f.write(f'"{label}" {size / 1e6:.3f} {min(snr, 120):.2f}\n')
PY
{
echo "## Quality levels (small.wav, the first 30 s of music.wav)"
echo
echo "| Level | Bytes | Ratio | SNR (dB) | Largest error |"
echo "|---|---|---|---|---|"
} >> "$report"
: > levels.dat
for q in 0 1 2 3 4 5 6 7 8 9; do
  "$enc" /Q$q small.wav q$q.qxw >/dev/null
  "$dec" /F q$q.qxw q$q.wav >/dev/null
  python3 snr.py small.wav q$q.wav "$(size q$q.qxw)" "Q$q" levels.dat >> "$report"
done
{
echo
echo "Other lossy coders on the same file, each decoded back to 16-bit PCM:"
echo
echo "| Coder | Bytes | Ratio | SNR (dB) | Largest error |"
echo "|---|---|---|---|---|"
} >> "$report"
: > others.dat
for kind in ima-adpcm ms-adpcm; do
  sox small.wav -e $kind $kind.wav
  sox $kind.wav -e signed-integer -b 16 -t wavpcm $kind-out.wav
  python3 snr.py small.wav $kind-out.wav "$(size $kind.wav)" "sox ${kind^^}" others.dat >> "$report"
done
for bits in 3 4 5; do
  "$WAVPACK" -q -y -b$bits small.wav -o hybrid$bits.wv
  wvunpack -q -y hybrid$bits.wv -o hybrid$bits.wav
  python3 snr.py small.wav hybrid$bits.wav "$(size hybrid$bits.wv)" "wavpack -b$bits" others.dat >> "$report"
done
echo >> "$report"

# Size targets: the /B and /X curves beside wavpack's hybrid mode, on four songs and the speech.
: > target.dat; : > target.dat.peer; : > target.dat.x1; : > target.dat.x2; : > target.dat.x3
python3 "$root/bench/target_curve.py" "$enc" "$dec" target.dat small.wav song1.wav song2.wav \
  song3.wav harp.wav speech.wav >> "$report"

# What the searches cost on the whole music, against /Q3: /B at most 4 times, /X1 at most 20.
{
echo "### Size-target encode times on music.wav (all cores, medians)"
echo
echo "| Command | Seconds | Against /Q3 | Peak memory (MB) |"
echo "|---|---|---|---|"
# The median of hyperfine's runs (fewer for the slow searches), and the peak memory of one more:
# /usr/bin/time's elapsed time has a resolution of 10 ms, a sixth of /Q3's.
best() {
  local runs=10 t m
  case "$*" in /X1*) runs=5 ;; /X*) runs=3 ;; esac
  hyperfine -N --warmup 1 --runs "$runs" --export-json t.json "$enc $* music.wav t.qxw" >/dev/null 2>&1
  t=$(python3 -c "import json; print(f\"{json.load(open('t.json'))['results'][0]['median']:.4f}\")")
  m=$( { /usr/bin/time -f "%M" "$enc" "$@" music.wav t.qxw >/dev/null; } 2>&1 | tail -n 1)
  echo "$t $m"
}
read -r q3 q3mem < <(best /Q3)
echo "| wav2qxw /Q3 | $q3 | 1.0 | $((q3mem / 1024)) |"
echo "/Q3 $q3" > target-times.txt
for command in "/B4" "/X1 /B4" "/X2 /B4" "/X3 /B4"; do
  # shellcheck disable=SC2086
  read -r t m < <(best $command)
  echo "$command $t" >> target-times.txt
  echo "| wav2qxw $command | $t | $(python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.1f}')" "$t" "$q3") | $((m / 1024)) |"
done
echo
# The searched reconstruction and the beam on twenty minutes of stereo: music.wav five times.
[ -f long.wav ] || sox music.wav music.wav music.wav music.wav music.wav long.wav
x_rss=$(peak "$enc" /X /B4 long.wav long.qxw)
echo "wav2qxw /X /B4 on long.wav ($(mb "$(size long.wav)") MB, twenty minutes of stereo): peak memory $((x_rss / 1024)) MB."
echo "$x_rss $(size long.wav)" > x-memory.txt
echo
} >> "$report"

"$FLAC" -0 -f -s small.wav -o s0.flac; "$FLAC" -5 -f -s small.wav -o s5.flac; "$WAVPACK" -q -f -y small.wav -o s.wv
flac0=$(size s0.flac); flac5=$(size s5.flac); wv=$(size s.wv)
gnuplot <<GP
set terminal png size 900,560
set output "$root/docs/benchmarks.png"
set title "small.wav: compressed size against signal-to-noise ratio"
set xlabel "compressed size (MB)"
set ylabel "SNR (dB); lossless drawn at 120"
set key bottom right
set arrow from $flac0/1e6, graph 0 to $flac0/1e6, graph 1 nohead dt 2 lc rgb "red"
set arrow from $flac5/1e6, graph 0 to $flac5/1e6, graph 1 nohead dt 2 lc rgb "blue"
set arrow from $wv/1e6, graph 0 to $wv/1e6, graph 1 nohead dt 2 lc rgb "dark-green"
plot "levels.dat" using 2:3 with linespoints pt 7 title "wav2qxw /Q0../Q9", \
     "levels.dat" using 2:3:1 with labels offset 0,1 notitle, \
     "target.dat" using 2:3 with linespoints pt 9 lc rgb "orange" title "wav2qxw /B2.5../B6", \
     "target.dat.x1" using 2:3 with linespoints pt 7 lc rgb "red" title "wav2qxw /X1 /B2.5../B6", \
     "target.dat.x3" using 2:3 with linespoints pt 6 lc rgb "brown" title "wav2qxw /X3 /B2.5../B6", \
     "target.dat.peer" using 2:3 with linespoints pt 5 lc rgb "dark-green" title "wavpack -b2.5..-b7 (hybrid)", \
     "others.dat" using 2:3 with points pt 5 ps 1.5 lc rgb "purple" title "sox ADPCM, wavpack hybrid", \
     "others.dat" using 2:3:1 with labels offset 0,-1 tc rgb "purple" notitle, \
     NaN title "flac -0 (red), flac -5 (blue), wavpack (green): lossless sizes" lc rgb "black"
GP
echo "![size against SNR](benchmarks.png)" >> "$report"
echo >> "$report"

# The targets, from the music figures above.
enc_rss=$(peak "$enc" /Q3 music.wav m.qxw); dec_rss=$(peak "$dec" /F m.qxw m.wav)
python3 - music.json lin.json "$(size music.wav)" "$(size m.qxw)" "$enc_rss" "$dec_rss" \
  >> "$report" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["results"]
t = {x["command"]: x["median"] for x in runs}
fast = {x["command"]: x["min"] for x in runs}
lin = {x["command"]: x["median"] for x in json.load(open(sys.argv[2]))["results"]}
wav, qxw, enc_rss, dec_rss = (int(v) for v in sys.argv[3:7])
searches = dict(line.rsplit(" ", 1) for line in open("target-times.txt").read().splitlines())
x_rss, long_wav = (int(v) for v in open("x-memory.txt").read().split())
def verdict(ok): return "met" if ok else "not met"
# Against the newest flac where it was given, else Debian's.
newest = next((k for k in t if k.startswith("newest flac -0 -j")), None)
every, single = (newest, "newest flac -0, one CPU") if newest else ("flac -0", "flac -0")
decoder = "newest flac -d (-0 file)" if newest else "flac -d (-5 file)"
print("## Targets\n")
print("Ratios of medians, and in brackets of the fastest runs, which the shared machine disturbs least.\n")
print("| Target | Measured | |")
print("|---|---|---|")
def row(name, peer, share, label, shown=None):
    print(f"| {shown or name}: at most {label} of {peer} | {t[name]/t[peer]:.2f} ({fast[name]/fast[peer]:.2f}) of {peer} "
          f"| {verdict(t[name] <= share * t[peer])} |")
for name in ["wav2qxw /Q3", "wav2qxw /Q9"]:
    row(name, every, 0.5, "1/2", name + ", all cores")
row("wav2qxw /Q3, one CPU", single, 0.5, "1/2")
for name in ["qxw2wav (Q9 file)", "qxw2wav (Q3 file)"]:
    row(name, decoder, 1 / 3, "1/3")
q3 = float(searches["/Q3"])
for command, most in (("/B4", 2.5), ("/X1 /B4", 10)):
    ratio = float(searches[command]) / q3
    print(f"| wav2qxw {command}: at most {most} times /Q3 | {ratio:.1f} times | {verdict(ratio <= most)} |")
print(f"| wav2qxw /X /B4 on twenty minutes of stereo: peak memory at most input + 64 MiB | input + {(x_rss*1024 - long_wav)/2**20:.0f} MiB | {verdict(x_rss*1024 <= long_wav + 64*2**20)} |")
print(f"| encoder peak RSS at most input + 32 MiB | input + {(enc_rss*1024 - wav)/2**20:.1f} MiB | {verdict(enc_rss*1024 <= wav + 32*2**20)} |")
print(f"| decoder peak RSS at most input + 32 MiB | input + {(dec_rss*1024 - qxw)/2**20:.1f} MiB | {verdict(dec_rss*1024 <= qxw + 32*2**20)} |")
worst = max(lin[k] / lin["music " + k.split()[1]] for k in lin if k.split()[0] in ("clipped", "noise", "silence", "rails"))
print(f"| no input more than 3 times slower per sample than music | worst {worst:.2f} times | {verdict(worst <= 3)} |")
print(f"| bytes identical for every thread count and code path | tests (see below) | met |")
PY
# The WebAssembly module on music.wav, in node and in headless Chromium (medians of five calls),
# against the native programs on one CPU, and the module's sizes.
if command -v emcmake >/dev/null && [ -x /usr/bin/chromium ]; then
  emcmake cmake -S "$root" -B "$root/build-wasm" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build-wasm" -j2 >/dev/null
  web=$root/build-wasm/web
  "$enc" /Q9 music.wav m9.qxw >/dev/null
  hyperfine -N --warmup 1 --runs 7 --export-json web-native.json \
    -n "encode /Q3" "$cpu0 $enc /Q3 music.wav /dev/null" \
    -n "encode /Q9" "$cpu0 $enc /Q9 music.wav /dev/null" \
    -n "decode /Q3" "$cpu0 $dec /F m.qxw /dev/null" \
    -n "decode /Q9" "$cpu0 $dec /F m9.qxw /dev/null" >/dev/null
  for q in 3 9; do
    node "$root/bench/web_speed.mjs" "$web" music.wav $q > web-node-$q.json
    /usr/bin/python3 "$root/bench/web_speed.py" "$web" music.wav $q > web-chromium-$q.json
  done
  python3 - "$web" >> "$report" <<'PY'
import gzip, json, os, sys
native = {x["command"]: x["median"] for x in json.load(open("web-native.json"))["results"]}
print("## The WebAssembly module (music.wav, one thread)\n")
print("Seconds a call; in brackets, against the native program on one CPU. The module runs single-threaded.\n")
print("| | native | node | Chromium |")
print("|---|---|---|---|")
for q in (3, 9):
    node, chromium = (json.load(open(f"web-{where}-{q}.json")) for where in ("node", "chromium"))
    for step in ("encode", "decode"):
        n = native[f"{step} /Q{q}"]
        cells = [f"{r[step + 'Seconds']:.3f} ({r[step + 'Seconds'] / n:.2f})" for r in (node, chromium)]
        print(f"| {step} /Q{q} | {n:.3f} | {cells[0]} | {cells[1]} |")
print()
print("| File | Bytes | gzip -9 |")
print("|---|---|---|")
for name in ("qxw_core.wasm", "qxw_core.mjs", "qxw.mjs"):
    data = open(os.path.join(sys.argv[1], name), "rb").read()
    print(f"| {name} | {len(data)} | {len(gzip.compress(data, 9))} |")
print()
PY
fi
cat "$root/bench/targets_note.md" >> "$report"
# Only a complete report replaces the old one: any failure above has ended the script already.
grep -q '^# Benchmarks' "$report"
mv "$report" "$root/docs/BENCHMARKS.md"
echo "Wrote $root/docs/BENCHMARKS.md"
