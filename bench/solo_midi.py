#!/usr/bin/env python3
"""Rewrites a MIDI file so that every melodic channel plays one instrument and the drums are
dropped: a sparse, plucked piece from a full arrangement.

usage: solo_midi.py IN.mid OUT.mid PROGRAM   (General MIDI program 0..127; 46 is the harp)
"""
import sys

DRUMS = 9  # the General MIDI percussion channel, counted from 0


def read_number(data, at):
    """A variable-length quantity at `at`: (value, the position after it)."""
    value = 0
    while True:
        byte = data[at]
        at += 1
        value = (value << 7) | (byte & 0x7F)
        if byte < 0x80:
            return value, at


def number_bytes(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def rewrite_track(body, program):
    """The track's events with every program change set to `program` and drum events left out;
    the time of a dropped event passes to the next one kept."""
    track, at, status, waited = bytearray(), 0, 0, 0
    while at < len(body):
        delta, at = read_number(body, at)
        waited += delta
        if body[at] == 0xFF:  # meta event: type, length, data
            length, start = read_number(body, at + 2)
            event, at = body[at:start + length], start + length
        elif body[at] in (0xF0, 0xF7):  # system exclusive: length, data
            length, start = read_number(body, at + 1)
            event, at = body[at:start + length], start + length
        else:
            if body[at] & 0x80:  # otherwise the running status holds
                status = body[at]
                at += 1
            size = 1 if status & 0xF0 in (0xC0, 0xD0) else 2
            data = bytearray(body[at:at + size])
            at += size
            if status & 0x0F == DRUMS:
                continue
            if status & 0xF0 == 0xC0:
                data[0] = program
            event = bytes([status]) + data
        track += number_bytes(waited) + event
        waited = 0
    return track


def main():
    source, destination, program = sys.argv[1], sys.argv[2], int(sys.argv[3])
    data = open(source, "rb").read()
    out, at = bytearray(data[:14]), 14  # the header chunk as it is
    while at < len(data):
        kind, length = data[at:at + 4], int.from_bytes(data[at + 4:at + 8], "big")
        body = data[at + 8:at + 8 + length]
        at += 8 + length
        if kind == b"MTrk":
            body = rewrite_track(body, program)
        out += kind + len(body).to_bytes(4, "big") + body
    open(destination, "wb").write(out)


if __name__ == "__main__":
    main()
