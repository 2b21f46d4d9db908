#!/usr/bin/env python3
"""Writes a benchmark tree: make_tree.py KIND FOLDER [COUNT], KIND one of small, large, mixed,
random, deep, game.

COUNT, for small only, is the number of files (50,000 by default). For random and deep the
order the files are to be packed in, one relative path a line, is written to FOLDER.order:
random has 20,000 files of 4 KiB over four levels of folders, in an order unrelated to the
folders; deep has 20,000 small files alternating between two folders 1,000 levels deep.
game writes a game's containers as trees, FOLDER/parts/<container's path>/..., and the tree
they extract to, FOLDER/winners: a base of 6,000 files, two patches that each give 1,000 of
its files new content (together a third of its bytes), and two levels of 500 files each."""
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


def write_order(root, names):
    with open(root + ".order", "w") as f:
        f.write("".join(name + "\n" for name in names))


def random_order(root, rng):
    names = []
    for k in range(20000):
        folder = "/".join("d%d" % rng.randint(0, 4) for level in range(4))
        names.append("%s/f%05d.bin" % (folder, k))
        write(os.path.join(root, names[-1]), rng.randbytes(4096))
    rng.shuffle(names)
    write_order(root, names)


def deep(root, rng):
    sys.setrecursionlimit(10000)  # os.makedirs recurses once per level
    chains = ["/".join([top] + ["d"] * 999) for top in ("a", "b")]
    names = ["%s/f%05d.bin" % (chains[k % 2], k) for k in range(20000)]
    for name in names:
        write(os.path.join(root, name), rng.randbytes(64))
    write_order(root, names)


def game(root, rng):
    text = text_like(rng, 1 << 20)
    def content(size):
        start = rng.randint(0, len(text) - size)
        return text[start:start + size]
    places = folders(rng, 200)
    base = {"%s/f%05d.bin" % (rng.choice(places), k): content(rng.randint(16000, 48000))
            for k in range(6000)}
    replaced = sorted(base)
    rng.shuffle(replaced)
    parts = [("gameresources.resources", base),
             ("gameresources_patch1.resources",
              {name: content(len(base[name])) for name in replaced[:1000]}),
             ("gameresources_patch2.resources",
              {name: content(len(base[name])) for name in replaced[1000:2000]})]
    for level in ("e1m1", "e2m1"):
        parts.append(("levels/%s.resources" % level,
                      {"maps/%s/part%03d.bin" % (level, k): content(rng.randint(16000, 48000))
                       for k in range(500)}))
    winners = {}
    for container, files in parts:
        for name, data in files.items():
            write(os.path.join(root, "parts", container, name), data)
        winners.update(files)
    for name, data in winners.items():
        write(os.path.join(root, "winners", name), data)


def main():
    kind, root = sys.argv[1], sys.argv[2]
    rng = random.Random(20261207)
    if kind == "small":
        small(root, rng, count=int(sys.argv[3]) if len(sys.argv) > 3 else 50000)
    elif kind == "large":
        large(root, rng)
    elif kind == "mixed":
        small(root, rng, count=20000, compressible=True)
    elif kind == "random":
        random_order(root, rng)
    elif kind == "deep":
        deep(root, rng)
    elif kind == "game":
        game(root, rng)
    else:
        sys.exit("unknown kind " + kind)


if __name__ == "__main__":
    main()
