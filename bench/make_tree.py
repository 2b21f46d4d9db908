#!/usr/bin/env python3
"""Writes a benchmark tree: make_tree.py KIND FOLDER [COUNT], KIND one of small, large, mixed.

COUNT, for small only, is the number of files (50,000 by default)."""
import os
import random
import sys


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def folders(rng, count):
    """A few hundred folders, one to four levels deep."""
    result = []
    for k in range(count):
        depth = rng.randint(1, 4)
        result.append("/".join("d%d_%d" % (level, rng.randint(0, 30)) for level in range(depth)))
    return result


def text_like(rng, size):
    words = [b"stone", b"wall", b"texel", b"row", b"mesh", b"vertex", b"normal", b"light"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


def small(root, rng, count=50000, compressible=False):
    places = folders(rng, 300)
    for k in range(count):
        size = rng.randint(3000, 5200)
        data = text_like(rng, size) if compressible else rng.randbytes(size)
        write(os.path.join(root, rng.choice(places), "f%05d.bin" % k), data)


def large(root, rng):
    block = rng.randbytes(1 << 20)
    for k in range(6):
        write(os.path.join(root, "big", "blob%d.bin" % k), block * 128)


def main():
    kind, root = sys.argv[1], sys.argv[2]
    rng = random.Random(20261207)
    if kind == "small":
        small(root, rng, count=int(sys.argv[3]) if len(sys.argv) > 3 else 50000)
    elif kind == "large":
        large(root, rng)
    elif kind == "mixed":
        small(root, rng, count=20000, compressible=True)
    else:
        sys.exit("unknown kind " + kind)


if __name__ == "__main__":
    main()
