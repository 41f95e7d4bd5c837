#!/usr/bin/env python3
"""Times commands in alternating rounds, each run of each command by hyperfine alone.

Usage: alternate.py RUNS WARMUP JSON NAME COMMAND [NAME COMMAND ...]

A COMMAND of the form "PREPARE ;; COMMAND" runs PREPARE, untimed, before each of its runs (such
as removing the file the command writes, so that each run writes a new one).

Every round runs each command once, starting one command further on each round, so that a
slow spell of the shared machine falls on all of them alike rather than on whichever command's
runs it met. The warm-up rounds are not kept. JSON gets hyperfine's layout: for each command,
its name, median and fastest run, in the order given.
"""
import json
import statistics
import subprocess
import sys
import tempfile


def run_once(command, scratch):
    prepare, _, command = command.rpartition(" ;; ")
    options = ["--prepare", prepare] if prepare else []
    subprocess.run(["hyperfine", "-N", "--runs", "1", *options, "--export-json", scratch, command],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(scratch) as f:
        return json.load(f)["results"][0]["times"][0]


def main():
    runs, warmup, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    pairs = sys.argv[4:]
    if runs < 1 or len(pairs) < 2 or len(pairs) % 2:
        sys.exit(__doc__)
    names, commands = pairs[0::2], pairs[1::2]
    times = [[] for _ in names]
    with tempfile.NamedTemporaryFile(suffix=".json") as scratch:
        for round_ in range(warmup + runs):
            for k in range(len(names)):
                i = (k + round_) % len(names)
                seconds = run_once(commands[i], scratch.name)
                if round_ >= warmup:
                    times[i].append(seconds)
    results = [{"command": name, "median": statistics.median(t), "min": min(t), "times": t}
               for name, t in zip(names, times)]
    with open(out, "w") as f:
        json.dump({"results": results}, f, indent=1)


if __name__ == "__main__":
    main()
