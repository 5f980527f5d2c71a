#!/usr/bin/python3
"""Runs two builds of winpe-customize on the same image and arguments, one
after the other in the same directory with the clock frozen (faketime), and
checks that their exit codes, console output and new images are identical.
Used to show that a speed change leaves everything observable as it was.

    /usr/bin/python3 bench/compare_builds.py OLD_BINARY NEW_BINARY IMAGE [ARGS...]

ARGS are passed after "-i COPY_OF_IMAGE -t WORKSPACE". Exit code 0 when
everything is the same.
"""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

FROZEN_TIME = "2026-12-05 04:05:06"


def run(binary, image, args, work):
    target = os.path.join(work, "cd.iso")
    for path in (target, target + ".bak", target + ".tmp"):
        if os.path.lexists(path):
            os.remove(path)
    # A link keeps the source intact (the run never writes its input) and
    # avoids copying gigabytes.
    os.link(image, target)
    env = dict(os.environ, TZ="UTC")
    proc = subprocess.run(["faketime", "-f", FROZEN_TIME, binary, "-i", target,
                           "-t", os.path.join(work, "workspace")] + args,
                          capture_output=True, cwd=work, env=env, timeout=1800)
    result = os.path.join(work, "result-%d.iso" % len(os.listdir(work)))
    produced = target if os.path.exists(target + ".bak") else target + ".tmp"
    if os.path.exists(produced) and not os.path.samefile(produced, image):
        os.rename(produced, result)
    else:
        result = None
    return proc.returncode, proc.stdout, proc.stderr, result


def main():
    old, new, image = sys.argv[1:4]
    args = sys.argv[4:]
    work = tempfile.mkdtemp(prefix="compare-", dir=os.path.dirname(os.path.abspath(image)))
    try:
        a = run(os.path.abspath(old), os.path.abspath(image), args, work)
        b = run(os.path.abspath(new), os.path.abspath(image), args, work)
        same = True
        for name, x, y in (("exit code", a[0], b[0]), ("stdout", a[1], b[1]), ("stderr", a[2], b[2])):
            if x != y:
                same = False
                print("%s differs:\n--- old\n%r\n--- new\n%r" % (name, x[-2000:] if isinstance(x, bytes) else x,
                                                                  y[-2000:] if isinstance(y, bytes) else y))
        if (a[3] is None) != (b[3] is None):
            same = False
            print("only one build left an output image")
        elif a[3] is not None:
            if not filecmp.cmp(a[3], b[3], shallow=False):
                same = False
                print("output images differ")
            else:
                print("output images identical: %d bytes" % os.path.getsize(a[3]))
        print("exit code %d, %d stdout lines, %d stderr lines" % (
            a[0], a[1].count(b"\n"), a[2].count(b"\n")))
        print("SAME" if same else "DIFFERENT")
        return 0 if same else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
