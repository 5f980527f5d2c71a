#!/usr/bin/python3
"""Makes the benchmark's WinPE-like bootable images, once, under bench/cache/.

Each image holds the files a customization run edits (WINBOM.INI,
WINPEOEM.SIF, the default user hive, BOOTFIX.BIN, STARTNET.CMD and
\\FERROVANE\\REDODOZAD.XML), a 2048-byte no-emulation boot image and a tree
of generated files spread over several directory levels. File sizes follow a
fixed pseudo-random mix of many small files and a few large ones; file data
are slices of a random pattern, so no two files are alike and nothing
compresses or deduplicates. Everything is seeded: the same preset always
gives the same tree.

    /usr/bin/python3 bench/make_images.py [--image small|large|all] [--force]
"""

import argparse
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache")

MB = 1024 * 1024

# name: (file count, total bytes, directory levels, seed)
PRESETS = {
    "small": (3000, 700 * MB, 4, 7001),
    "large": (20000, 1800 * MB, 5, 18001),
}

# The WinPE text files are the test suite's, so both exercise the same edits.
sys.path.insert(0, os.path.join(HERE, "..", "tests", "scripts"))
from wpe_testlib import REDODOZAD, WINBOM, WINPEOEM  # noqa: E402

BOOT_IMAGE = bytes([0xFA, 0xF4, 0xEB, 0xFD]) + bytes(2044)

PATTERN_SIZE = 8 * MB


def image_path(name):
    return os.path.join(CACHE, name + ".iso")


def winpe_files():
    return {
        "WINBOM.INI": WINBOM,
        "I386/SYSTEM32/WINPEOEM.SIF": WINPEOEM,
        "I386/SYSTEM32/CONFIG/DEFAULT": b"regf" + bytes(8188),
        "I386/BOOTFIX.BIN": bytes(range(256)) * 2,
        "I386/SYSTEM32/STARTNET.CMD": b"wpeinit\r\n",
        "FERROVANE/REDODOZAD.XML": REDODOZAD,
        "BOOT/BOOT.IMG": BOOT_IMAGE,
    }


def file_sizes(rng, count, total):
    """`count` sizes summing to about `total`: mostly a few KB to a few
    hundred KB, one file in fifty of several MB, like a WinPE tree."""
    weights = []
    for _ in range(count):
        if rng.random() < 0.02:
            weights.append(rng.uniform(40, 160))
        else:
            weights.append(rng.expovariate(1.0))
    scale = total / sum(weights)
    return [max(1, int(w * scale)) for w in weights]


def directory_paths(rng, count, levels):
    """A tree of directory paths, `levels` deep at most, about 40 files each."""
    wanted = max(4, count // 40)
    dirs = ["I386", "I386/SYSTEM32", "I386/SYSTEM32/DRIVERS", "I386/INF", "FERROVANE"]
    while len(dirs) < wanted:
        parent = rng.choice(dirs)
        if parent.count("/") + 1 >= levels:
            continue
        name = "D%05d" % len(dirs)
        dirs.append(parent + "/" + name)
    return dirs


def write_tree(root, preset):
    count, total, levels, seed = PRESETS[preset]
    rng = random.Random(seed)
    pattern = rng.randbytes(PATTERN_SIZE)
    view = memoryview(pattern)
    fixed = winpe_files()
    for rel, data in fixed.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    dirs = directory_paths(rng, count, levels)
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    sizes = file_sizes(rng, count - len(fixed), total)
    for index, size in enumerate(sizes):
        rel = "%s/F%05d.%s" % (rng.choice(dirs), index, rng.choice(["DLL", "SYS", "EXE", "INF", "DAT"]))
        with open(os.path.join(root, rel), "wb") as f:
            f.write(index.to_bytes(4, "little"))
            left = size - 4
            offset = rng.randrange(PATTERN_SIZE)
            while left > 0:
                n = min(left, PATTERN_SIZE - offset)
                f.write(view[offset:offset + n])
                left -= n
                offset = 0


def make_image(preset, force=False, log=sys.stderr):
    """Returns the cached image's path, making it first when needed."""
    target = image_path(preset)
    if os.path.exists(target) and not force:
        return target
    os.makedirs(CACHE, exist_ok=True)
    tree = os.path.join(CACHE, preset + "-tree")
    shutil.rmtree(tree, ignore_errors=True)
    print("making %s image: writing the tree ..." % preset, file=log, flush=True)
    write_tree(tree, preset)
    print("making %s image: packing with genisoimage ..." % preset, file=log, flush=True)
    partial = target + ".part"
    subprocess.run(["genisoimage", "-quiet", "-iso-level", "4", "-untranslated-filenames",
                    "-V", "WINPE_BENCH", "-b", "BOOT/BOOT.IMG", "-no-emul-boot",
                    "-boot-load-size", "4", "-o", partial, tree], check=True)
    shutil.rmtree(tree)
    os.rename(partial, target)
    print("making %s image: %s (%d bytes)" % (preset, target, os.path.getsize(target)),
          file=log, flush=True)
    return target


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--image", choices=sorted(PRESETS) + ["all"], default="all")
    parser.add_argument("--force", action="store_true", help="make the image again even when cached")
    args = parser.parse_args()
    names = sorted(PRESETS) if args.image == "all" else [args.image]
    for name in names:
        print(make_image(name, args.force))


if __name__ == "__main__":
    main()
