#!/usr/bin/python3
"""Lists what differs between two ISO 9660 images: files added, removed and
changed, with a line diff for small text files. Reads both with pycdlib."""

import difflib
import io
import sys

import pycdlib


def read_files(path):
    iso = pycdlib.PyCdlib()
    iso.open(path)
    files = {}
    try:
        for dirpath, _, filenames in iso.walk(iso_path="/"):
            for name in filenames:
                full = dirpath.rstrip("/") + "/" + name
                buf = io.BytesIO()
                iso.get_file_from_iso_fp(buf, iso_path=full)
                files[full] = buf.getvalue()
    finally:
        iso.close()
    return files


def is_text(data):
    return len(data) < 65536 and b"\0" not in data


def main():
    if len(sys.argv) != 3:
        print("usage: show_image_changes.py OLD.iso NEW.iso", file=sys.stderr)
        return 2
    old, new = read_files(sys.argv[1]), read_files(sys.argv[2])
    for name in sorted(set(old) | set(new)):
        if name not in old:
            print("added    %s (%d bytes)" % (name, len(new[name])))
        elif name not in new:
            print("removed  %s" % name)
        elif old[name] != new[name]:
            print("changed  %s (%d -> %d bytes)" % (name, len(old[name]), len(new[name])))
            if is_text(old[name]) and is_text(new[name]):
                diff = difflib.unified_diff(
                    old[name].decode("latin-1").splitlines(), new[name].decode("latin-1").splitlines(),
                    lineterm="", n=1)
                for line in list(diff)[2:]:
                    print("         " + line)
    unchanged = sum(1 for n in old if n in new and old[n] == new[n])
    print("unchanged files: %d" % unchanged)
    return 0


if __name__ == "__main__":
    sys.exit(main())
