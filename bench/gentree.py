#!/usr/bin/python3
"""Makes a nested web-site-like tree for the benchmarks: FOLDERS folders,
each holding FILES small files, nested a few levels deep (each folder holds
up to four subfolders, breadth first), with a fixed seed and every file
dated the same, so that a re-run finds nothing to do.

    bench/gentree.py DIR FOLDERS FILES      e.g. bench/gentree.py /tmp/t 300 10
"""
import os
import random
import sys

sys.dont_write_bytecode = True
from benchmark import SEED, SITE_TIME, small_site_file  # noqa: E402

FAN_OUT = 4


def make_tree(root, folders, files, seed=SEED):
    """Returns the counts of folders and files and the bytes written."""
    rng = random.Random(seed)
    dirs = [root]
    parent = 0
    while len(dirs) <= folders:
        for child in range(FAN_OUT):
            if len(dirs) > folders:
                break
            dirs.append(os.path.join(dirs[parent], "part-%d" % child))
        parent += 1
    total = 0
    for d in dirs:
        os.makedirs(d, exist_ok=True)
    for number, d in enumerate(dirs[1:]):
        for i in range(files):
            ext, data = small_site_file(rng)
            name = os.path.join(d, "page-%04d-%02d.%s" % (number, i, ext))
            with open(name, "wb") as out:
                out.write(data)
            os.utime(name, (SITE_TIME, SITE_TIME))
            total += len(data)
    for d in dirs:
        os.utime(d, (SITE_TIME, SITE_TIME))
    return len(dirs) - 1, files * (len(dirs) - 1), total


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    folders, files, size = make_tree(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
    print("%d folders, %d files, %.2f MB" % (folders, files, size / 1e6))


if __name__ == "__main__":
    main()
