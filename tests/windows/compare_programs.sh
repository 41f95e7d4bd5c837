#!/usr/bin/env bash
# The Windows programs, run under Wine, against the Linux build's: the same bytes for every file
# written and decoded, and the same lines and exit statuses on the command line.
# Usage: compare_programs.sh WINE WAV2QXW.EXE QXW2WAV.EXE LINUX_BUILD_DIR SAMPLE.WAV
set -uo pipefail
wine=$1
winenc=$(realpath "$2") windec=$(realpath "$3") linux=$(realpath "$4") sample=$(realpath "$5")
export WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Real and edge-case inputs: the project's sample, music-like and loud signals, silence, one
# frame, none, mono and six channels.
/usr/bin/python3 - "$sample" <<'EOF'
import math, random, shutil, struct, sys
def wav(name, channels, frames, rate, sample):
    data = b"".join(struct.pack("<h", max(-32768, min(32767, int(sample(i, c)))))
                    for i in range(frames) for c in range(channels))
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(data), b"WAVE", b"fmt ", 16, 1,
                         channels, rate, rate * channels * 2, channels * 2, 16, b"data", len(data))
    open(name, "wb").write(header + data)
random.seed(7)
shutil.copy(sys.argv[1], "chord.wav")
wav("music.wav", 2, 60000, 44100, lambda i, c: 9000 * math.sin(0.013 * i * (c + 1))
    + 3000 * math.sin(0.17 * i + c) + random.randint(-200, 200))
wav("clipped.wav", 2, 30000, 44100, lambda i, c: 60000 * math.sin(0.002 * i + c))
wav("noise.wav", 1, 20000, 8000, lambda i, c: random.randint(-32768, 32767))
wav("silence.wav", 1, 10000, 22050, lambda i, c: 0)
wav("six.wav", 6, 8000, 48000, lambda i, c: 4000 * math.sin(0.01 * i * (c + 1)))
wav("one.wav", 2, 1, 44100, lambda i, c: 1234 - c)
wav("none.wav", 1, 0, 44100, lambda i, c: 0)
EOF

win() { "$wine" "$@"; }
inputs=(chord music clipped noise silence six one none)

# Files: encoded by both builds at each setting, and decoded by both builds.
for input in "${inputs[@]}"; do
  for setting in /Q0 /Q3 /Q9 /B4 "/X /B4"; do
    tag=$input-${setting//[ \/]/}
    "$linux/wav2qxw" $setting "$input.wav" "$tag-linux.qxw" >/dev/null 2>&1
    linuxStatus=$?
    win "$winenc" $setting "$input.wav" "$tag-windows.qxw" >/dev/null 2>&1
    windowsStatus=$?
    [ $linuxStatus = $windowsStatus ] || fail "$tag: exit $windowsStatus, Linux $linuxStatus"
    cmp -s "$tag-linux.qxw" "$tag-windows.qxw" || fail "$tag: the files differ"
    [ -f "$tag-linux.qxw" ] || continue
    "$linux/qxw2wav" "$tag-linux.qxw" "$tag-linux.wav" >/dev/null 2>&1
    win "$windec" "$tag-linux.qxw" "$tag-windows.wav" >/dev/null 2>&1
    cmp -s "$tag-linux.wav" "$tag-windows.wav" || fail "$tag: the decoded files differ"
  done
done

# Standard input and output in pipes: bytes unchanged both ways.
"$linux/wav2qxw" /Q3 - - <music.wav >pipe-linux.qxw 2>/dev/null
win "$winenc" /Q3 - - <music.wav >pipe-windows.qxw 2>/dev/null
cmp -s pipe-linux.qxw pipe-windows.qxw || fail "wav2qxw - -: the files differ"
cat pipe-linux.qxw | "$linux/qxw2wav" - - >pipe-linux.wav 2>/dev/null
cat pipe-linux.qxw | win "$windec" - - >pipe-windows.wav 2>/dev/null
cmp -s pipe-linux.wav pipe-windows.wav || fail "qxw2wav - -: the files differ"

# The command line: each case's lines (standard output, then standard error) and exit status.
mkdir -p folder
printf 'not a qxw file' >taken.qxw
cases=(
  "enc|"
  "enc|/?"
  "enc|/Q12 chord.wav"
  "enc|/Z chord.wav"
  "enc|missing.wav"
  "enc|chord.wav chord.wav"
  "enc|chord.wav taken.qxw"
  "enc|/Q3 chord.wav folder\\"
  "enc|/Q3 chord.wav music.wav folder\\"
  "enc|/B4 chord.wav"
  "dec|"
  "dec|/T chord.qxw"
  "dec|/T taken.qxw"
  "dec|missing.qxw"
  "dec|/C chord.qxw chord.wav"
)
# Each run starts from the same files: no outputs yet, and a QXW file for the decoder to read.
reset() {
  rm -rf folder/* folder\\* chord.qxw chord-copy.wav
  "$linux/wav2qxw" chord.wav chord.qxw >/dev/null 2>&1 || return 1
  [ "$program" = enc ] && rm -f chord.qxw
  return 0
}
for entry in "${cases[@]}"; do
  program=${entry%%|*}
  arguments=${entry#*|}
  [ "$program" = enc ] && linuxProgram=$linux/wav2qxw windowsProgram=$winenc
  [ "$program" = dec ] && linuxProgram=$linux/qxw2wav windowsProgram=$windec
  # shellcheck disable=SC2086
  reset && "$linuxProgram" $arguments >linux.out 2>linux.err
  linuxStatus=$?
  # shellcheck disable=SC2086
  reset && win "$windowsProgram" $arguments >windows.out 2>windows.err
  windowsStatus=$?
  name="$(basename "$linuxProgram") $arguments"
  [ $linuxStatus = $windowsStatus ] || fail "$name: exit $windowsStatus, Linux $linuxStatus"
  # The usage line names the program as it was started.
  sed -i 's#[^ ]*[/\\]\(wav2qxw\|qxw2wav\)\(\.exe\)\?#\1#g' linux.out linux.err windows.out windows.err
  cmp -s linux.out windows.out || { fail "$name: standard output differs"; diff linux.out windows.out | head -5; }
  cmp -s linux.err windows.err || { fail "$name: standard error differs"; diff linux.err windows.err | head -5; }
done

echo "$failures failures"
[ $failures = 0 ]
