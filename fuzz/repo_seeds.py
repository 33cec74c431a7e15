#!/usr/bin/env python3
"""Writes the seed corpus of the repository file fuzzers, one folder per file kind, and the
repository they all start from: a config of 4096-byte chunks and one backup of a device of
12 blocks of 1024 bytes in three chunk positions (stored as is, empty, zstd). The fuzzers
build that repository from these same files, so every seed is a sound file of it:
  config/    the config
  manifest/  the manifest's JSON line (the fuzzer appends its checksum line)
  index/     the index without its trailing SHA-256 (the fuzzer appends it and records it
             in the manifest)
  chunk/     chunk files, named by their digests
Run from the repository: fuzz/repo_seeds.py."""
import hashlib
import json
import os
import random
import struct

BLOCK = 1024
CHUNK_BLOCKS = 4
BLOCKS = 12
BACKUP_ID = "20240101-000000-000000-00"


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
    return c ^ 0xFFFFFFFF


def chunk_file(codec, raw_len, stored):
    return (b"KSCK" + bytes([1, codec, 0, 0]) + struct.pack("<III", raw_len, len(stored), crc32c(stored))
            + struct.pack("<I", 0) + stored)


def zstd_rle_frame(byte, n):
    """One zstd frame of a single RLE block: `n` (256 to 65791) copies of `byte`."""
    header = struct.pack("<IB", 0xFD2FB528, 0x60) + struct.pack("<H", n - 256)
    block = (1 | 1 << 1 | n << 3).to_bytes(3, "little")
    return header + block + bytes([byte])


rng = random.Random(1)
noise = bytes(rng.randrange(256) for _ in range(CHUNK_BLOCKS * BLOCK))
runs = b"x" * (CHUNK_BLOCKS * BLOCK)
chunks = {
    hashlib.sha256(noise).hexdigest(): chunk_file(0, len(noise), noise),
    hashlib.sha256(runs).hexdigest(): chunk_file(1, len(runs), zstd_rle_frame(ord("x"), len(runs))),
}
digests = [hashlib.sha256(noise).digest(), bytes(32), hashlib.sha256(runs).digest()]
used = bytes([0x0F, 0x0F])  # blocks 0-3 and 8-11
index = (b"KSTINDEX" + struct.pack("<IIIIQQ", 1, BLOCK, CHUNK_BLOCKS, 0, BLOCKS, len(digests))
         + b"".join(digests) + used)
index_file = index + hashlib.sha256(index).digest()

config = {"format": "kestrel-repository", "version": 1, "chunk_bytes": CHUNK_BLOCKS * BLOCK,
          "hash": "sha256", "compression": "zstd", "id": "0" * 32}
manifest = {
    "format": "kestrel-manifest", "version": 1, "id": BACKUP_ID, "source": "fuzz#1",
    "start_sector": 2048, "sector_count": BLOCKS * BLOCK // 512, "fs_type": "raw",
    "block_size": BLOCK, "block_count": BLOCKS, "chunk_blocks": CHUNK_BLOCKS, "parent": None,
    "snapshot_time": 1700000000, "duration_ms": 12, "incremental": False, "reason": "first backup",
    "counts": {"blocks_written": 8, "blocks_kept": 0, "blocks_unused": 4, "chunks": 3,
               "chunks_empty": 1, "chunks_reused": 0, "chunks_new": 2, "bytes_new": 4200},
    "module_stats": {"diskReads": 1}, "session_key": "ab" * 56, "unreadable_blocks": [],
    "index_sha256": hashlib.sha256(index_file).hexdigest(),
}


def dumps(obj):
    return json.dumps(obj, sort_keys=True, separators=(",", ":")).encode()


seeds = {
    "config": {
        "sound": json.dumps(config, indent=2).encode() + b"\n",
        "version-2": dumps(dict(config, version=2)),
        "other-chunk-size": dumps(dict(config, chunk_bytes=8192)),
    },
    "manifest": {
        "sound": dumps(manifest),
        "with-parent-and-unreadable": dumps(dict(manifest, parent="20231231-000000-000000-00", unreadable_blocks=[3, 9])),
    },
    "index": {"sound": index},
    "chunk": chunks,
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "repo_corpus")
for kind, files in seeds.items():
    os.makedirs(os.path.join(here, kind), exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(here, kind, name), "wb") as f:
            f.write(data)
