#!/usr/bin/python3
"""The benchmark's comparison change made with pycdlib: open an image,
replace \\WINBOM.INI, add a program file and a package directory under
\\PROGRAMS, write the result to a new image (the boot catalog is kept).

    /usr/bin/python3 bench/pycdlib_change.py IN OUT WINBOM PROGRAM PACKAGE_DIR
"""

import os
import sys

import pycdlib


def add_tree(iso, local, iso_dir, handles):
    iso.add_directory(iso_dir)
    for entry in sorted(os.listdir(local)):
        path = os.path.join(local, entry)
        target = iso_dir + "/" + entry.upper()
        if os.path.isdir(path):
            add_tree(iso, path, target, handles)
        else:
            f = open(path, "rb")
            handles.append(f)
            iso.add_fp(f, os.path.getsize(path), target)


def main():
    source, output, winbom, program, package = sys.argv[1:6]
    iso = pycdlib.PyCdlib()
    iso.open(source)
    handles = []
    try:
        iso.rm_file("/WINBOM.INI")
        for local, target in ((winbom, "/WINBOM.INI"), (program, None)):
            f = open(local, "rb")
            handles.append(f)
            if target is None:
                iso.add_directory("/PROGRAMS")
                target = "/PROGRAMS/" + os.path.basename(local).upper()
            iso.add_fp(f, os.path.getsize(local), target)
        add_tree(iso, package, "/PROGRAMS/" + os.path.basename(package.rstrip("/")).upper(), handles)
        iso.write(output)
    finally:
        iso.close()
        for f in handles:
            f.close()


if __name__ == "__main__":
    main()
