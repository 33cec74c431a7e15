#!/usr/bin/env python3
"""Writes the seed corpus of the control-device fuzzer: short programs in its input format
(one byte picks the process, one the operation, then the operation's own bytes), each
reaching deep into one road of a backup. Run from the repository: fuzz/seeds.py."""
import os

OPEN, CLOSE, CMD, RAW, FILL, MAP, UNMAP, TOUCH, FORK, EXIT, WFS, WRAW, OTHER, UNLOAD = range(14)
# Command shapes (the fuzzer's second byte of a command).
GEOMETRY, START, SNAPSHOT, STATE, AMSTATE, NOLOAD, NOSTART, MAPCMD, _, DIRTY, READ, STATS, SMALL = range(13)


def at_buffer(offset):
    return [0, offset & 0xFF, offset >> 8]


def op(actor, code, *args):
    return [actor, code] + [b for a in args for b in (a if isinstance(a, list) else [a])]


def cmd(actor, shape, *fields, fd=0, place=0):
    return op(actor, CMD, fd, shape, *fields, place, 1)


def backup(actor=0, minor=1, read_count=4, fd=0):
    return (op(actor, OPEN, 1)
            + cmd(actor, START, 1, [1, minor], 1, 1, fd=fd)
            + cmd(actor, SNAPSHOT, at_buffer(4096), 1, fd=fd, place=1)
            + cmd(actor, AMSTATE, at_buffer(4200), 76, fd=fd, place=2)
            + op(actor, FILL, [0x00, 0x08], 8, [0xFF] * 8)
            + op(actor, CMD, fd, MAPCMD, 1, at_buffer(2048), 3, 1, 1, 4, 1)
            + op(actor, MAP, fd, 1, 3, 1, 1, 1)
            + cmd(actor, READ, 1, 0, 1, read_count, [3, 0, 0], fd=fd, place=5)
            + op(actor, TOUCH, 0, [0, 0], 1)
            + op(0, WFS, 0x77, 3, 1)
            + cmd(actor, STATE, at_buffer(4300), 20, fd=fd, place=6)
            + cmd(actor, DIRTY, at_buffer(4400), fd=fd, place=7)
            + cmd(actor, STATS, at_buffer(4500), 128, fd=fd, place=8))


seeds = {
    "full-backup": backup(),
    "two-backups-with-close": backup() + op(0, CLOSE, 0) + backup(),
    "fork-and-child-reads": backup() + op(0, FORK) + cmd(1, READ, 1, 2, 1, 8, [3, 0, 0], place=9)
                            + op(0, CLOSE, 0) + op(1, EXIT),
    "second-process-busy": backup() + op(0, FORK) + op(1, OPEN, 1) + cmd(1, START, 1, [1, 1], 1, 1, fd=1)
                           + op(0, UNLOAD) + op(1, EXIT),
    "bad-addresses": op(0, OPEN, 1) + cmd(0, GEOMETRY, [1, 1], [2, 3], 16) + cmd(0, START, 1, [1, 1], 1, 1)
                     + cmd(0, SNAPSHOT, [2, 3], 1) + cmd(0, READ, 1, 0, 1, 8, [4, 0, 0])
                     + op(0, RAW, 0, 1, [0, 0, 0, 0]) + op(0, OTHER, 0, 0, [1], 8),
    "raw-writes-across-partitions": backup() + op(0, WRAW, 0x55, 1, [0x00, 0x02], 15)
                                    + op(0, WRAW, 0x66, 0, 1, 3, 15) + op(0, UNMAP, 0, 1),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, program in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(bytes(b & 0xFF for b in program))
