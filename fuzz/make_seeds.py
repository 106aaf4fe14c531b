#!/usr/bin/env python3
"""make_seeds.py - writes the seed corpus: small RAM registry images, valid
and damaged (corpus/images), and signature files (corpus/detectsig).
The seeds are kept in the repository; run this again after changing it."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SIG = bytes.fromhex("b274831d")


def key(tag, name, surplus=b""):
    cch = len(name) + 1
    return struct.pack("<HHHH", 4 + 2 * cch + len(surplus), 1, tag, cch) + name.encode("utf-16-le") + b"\0\0" + surplus


def value(tag, name, data, surplus=b""):
    cch = len(name) + 1
    return (struct.pack("<HHHHH", 6 + 2 * cch + len(data) + len(surplus), 2, tag, cch, len(data))
            + name.encode("utf-16-le") + b"\0\0" + data + surplus)


def image(records, total=None):
    body = b"".join(records)
    return SIG + struct.pack("<I", len(body) + 8 if total is None else total) + body


def damaged(record, length):
    """The record with its length field changed."""
    return struct.pack("<H", length(struct.unpack("<H", record[:2])[0]) & 0xFFFF) + record[2:]


K1, V1a, V1b = key(0, "HKCR\\.txt"), value(1, "", b"t\0x\0t\0\0\0"), value(4, "Flags", b"\1\0\0\0")
K2, V2a = key(1, "Software"), value(3, "Blob", bytes(range(40)))
K3, V3a, V3b = key(1, "Software\\Pelnor"), value(1, "Shell", b"s\0\0\0"), value(4, "n", b"\7\0\0\0")
GROUPS = [K1, V1a, V1b, K2, V2a, K3, V3a, V3b]

IMAGES = {
    "header-only": image([]),
    "one-key": image([key(0, "A")]),
    "groups": image(GROUPS),
    "same-tag-keys": image([key(5, "a"), key(5, "b"), key(5, "c"), key(6, "d")]),
    "tag-high-byte": image([key(0x100, "a"), key(0, "b"), key(0xff, "c"), key(0x1ff, "d")]),
    "surplus": image([key(2, "S", b"\xee" * 4), value(1, "v", b"d", b"\xee\xee"), key(2, "T")]),
    "big-value": image([key(2, "Big"), value(3, "Blob", bytes(i & 0xff for i in range(5000))), key(2, "After")]),
    "values-first": image([value(1, "orphan", b"o\0\0\0"), K1, V1a]),
    "values-only": image([V1a, V1b, V2a]),
    "type-3": image([K1, V1a, struct.pack("<HH", 4, 3) + b"\0\0\0\0", K2]),
    "type-0101": image([K1, struct.pack("<HHHH", 8, 0x0101, 0, 2) + b"A\0\0\0", K2]),
    "name-no-nul": image([struct.pack("<HHHH", 8, 1, 0, 2) + b"a\0b\0", K2]),
    "name-len-0": image([struct.pack("<HHHH", 4, 1, 7, 0), struct.pack("<HHHHH", 6, 2, 1, 0x100, 0)]),
    "name-early-nul": image([struct.pack("<HHHH", 14, 1, 0, 5) + b"a\0b\0\0\0x\0y\0", K2]),
    "length-short": image([struct.pack("<HH", 0, 1), K1, struct.pack("<HH", 2, 2), V1a]),
    "total-small": image(GROUPS, total=40),
    "total-large": image(GROUPS, total=100000),
    "total-zero": image(GROUPS, total=0),
    "total-negative": image(GROUPS, total=0xFFFFFFF0),
    "total-five": image(GROUPS, total=5),
    "cut-in-data": image(GROUPS)[:-3],
    "cut-in-head": image(GROUPS) + b"\x10\0",
    "cut-in-name": image([K1, K2])[:-5],
    "short-header": SIG + b"\x08\0",
    "sig-only": SIG,
    "not-image": b"XGER" + b"\0" * 12,
    "length-high-ff": image([damaged(K1, lambda n: n | 0xFF00)] + GROUPS[1:]),
    "length-plus-4": image(GROUPS[:3] + [damaged(K2, lambda n: n + 4)] + GROUPS[4:]),
    "length-minus-2": image([K1, damaged(V1a, lambda n: n - 2)] + GROUPS[2:]),
    "surplus-holds-key": image([key(2, "S", key(2, "in")), key(2, "T")]),
    # a length its fields disagree with, read by where each reading leads:
    # regrouping moves the key without a NUL next to it
    "length-read-by-neighbour": image([struct.pack("<HHHH", 8, 1, 0, 8) + b"\1\0\5\0", key(5, "b"),
                                       struct.pack("<HHHH", 8, 1, 5, 2) + b"b\xff\xf9\0", key(6, "d")]),
}

# What only the device's reading of records refuses, and whole images close
# to it (corpus/verdict).
VERDICT = {
    "whole-all-types": image([key(0, ""), value(0, "", b""), key(1, "A\\B"), value(1, "s", b"s\0\0\0"),
                              value(2, "e", b"%\0\0\0"), value(3, "b", b"\1"), value(4, "d", b"\1\0\0\0"),
                              value(7, "m", b"\0\0\0\0"), key(2, "\x7f\xff")]),
    "header-only": image([]),
    "key-tag-3": image([K1, V1a, key(3, "x")]),
    "key-tag-0x100": image([key(0x100, "a")]),
    "value-tag-5": image([K2, value(5, "v", b"\0\0\0\0")]),
    "value-tag-0x101": image([K2, value(0x101, "v", b"")]),
    "key-name-leading": image([key(0, "\\A")]),
    "key-name-trailing": image([K2, key(1, "A\\")]),
    "key-name-empty-part": image([key(2, "A\\\\B")]),
    "key-name-control": image([key(2, "A\x01B")]),
    "key-name-separator": image([key(2, "\\")]),
    "value-name-nul": image([K2, struct.pack("<HHHHH", 12, 2, 1, 3, 0) + b"a\0\0\0b\0"]),
    "name-length-256": image([struct.pack("<HHHH", 4 + 512, 1, 0, 256) + b"n" * 512]),
    "value-first": image([V1a, K1]),
}

SIGS = {
    "ram": SIG + b"\0" * 4,
    "hive": b"XGER",
    "hive-reversed": b"REGX",
    "empty": b"",
    "three": SIG[:3],
}


def hives(system, user, tail=b""):
    return b"XGER" + struct.pack("<i", len(system)) + system + struct.pack("<i", len(user)) + user + tail


HIVES = {
    "small": hives(b"abc", b"de"),
    "empty-images": hives(b"", b""),
    "block": hives(bytes(i & 0xff for i in range(4096)), b"u" * 100),
    "two-blocks": hives(b"s" * 5000, bytes(i & 0xff for i in range(4097)), b"tail"),
    "sig-only": b"XGER",
    "system-only": b"XGER" + struct.pack("<i", 3) + b"sys",
    "user-cut": hives(b"sys", b"user")[:-2],
    "negative": b"XGER" + struct.pack("<i", -1) + struct.pack("<i", 0) + b"abcd",
    "huge": b"XGER" + struct.pack("<i", 0x7FFFFFFF) + struct.pack("<i", 0x7FFFFFFF),
    "ram-sig": SIG + b"\0" * 8,
}


def write(folder, files):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


write("images", IMAGES)
write("verdict", VERDICT)
write("detectsig", SIGS)
write("restreghv", HIVES)
