#!/usr/bin/python3
"""Times a full customization run against copying the image and against two
other ISO 9660 tools making the same change.

For each chosen image (made once and cached by make_images.py) and each
round, four commands run one after the other, in an order that rotates from
round to round:

  cp       cp IMAGE NEW                                    (the floor)
  cp_sync  cp IMAGE NEW, then sync NEW to the disk         (the floor for a
           tool that, like the run, flushes the new image before it swaps it in)
  run      winpe-customize -i IMAGE -f -b PROGRAM -p PACKAGE
  xorriso  xorriso -indev IMAGE -outdev NEW -boot_image any replay
                   -map WINBOM /WINBOM.INI -map PROGRAM ... -map PACKAGE ... -commit
  pycdlib  pycdlib_change.py (the same replacement and additions)

Each is timed as a whole process (wall clock) with its peak resident memory
and the bytes it wrote taken from /usr/bin/time (%O, the file system outputs
of getrusage: the kernel's write_bytes of the process and the children it
waited for, in 512-byte units, counted when a page of a file is dirtied, so
a clone that shares extents counts nothing). The run gets the image under a name of its own (a
hard link, so it is the same cached file): it renames that name to .bak and
writes the new image in its place, never touching the data of the original.
Before every command the outputs of the previous one are removed and the
file system is synced (untimed); with --cold the image is also dropped from
the page cache, otherwise it is read once before the first round.

With --fs xfs (as root) everything runs on an XFS with reflink made for the
purpose: an 8 GiB sparse file in bench/cache, `mkfs.xfs -m reflink=1`,
mounted through a loop device, the image copied in; it is unmounted and
removed at the end, also on Ctrl-C or a kill. There `cp` is
`cp --reflink=auto` (coreutils 9's default), and the report adds the blocks
each command left in use (the file system's used bytes after the command
less before it, outputs included) and the share of the new image's bytes
that still shares extents with another file (for the run, its .bak).
Without root it says why and runs on bench/cache's file system as before.

The report gives, per image, the median, minimum and maximum of each command,
its largest peak memory, its median bytes written, and the run's ratio to each other command, taken
pair by pair within a round and then the median of those ratios.

    /usr/bin/python3 bench/run_bench.py [--image small|large|all] [--rounds N]
                                        [--quick] [--cold] [--binary PATH]
                                        [--baseline PATH] [--fs xfs]
                                        [--tools cp,cp_sync,...] [--layout keep|compact]
"""

import argparse
import contextlib
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_images  # noqa: E402

SOURCE_ROOT = os.path.dirname(HERE)
DEFAULT_BINARY = os.path.join(SOURCE_ROOT, "build", "app", "winpe-customize")
MB = 1024 * 1024
TOOLS = ["cp", "cp_sync", "run", "xorriso", "pycdlib"]
FORMAT_VERSION = 2


def stop_on_signal(signum, frame):
    raise KeyboardInterrupt("signal %d" % signum)


@contextlib.contextmanager
def xfs_mount():
    """A fresh loop-mounted XFS with reflink; yields its mount point. It is
    unmounted and its file removed however the script ends: Ctrl-C, a kill
    (TERM, HUP) or a failure."""
    os.makedirs(make_images.CACHE, exist_ok=True)
    backing = os.path.join(make_images.CACHE, "xfs.img")
    mount_point = tempfile.mkdtemp(prefix="xfs-", dir=make_images.CACHE)
    previous = {sig: signal.signal(sig, stop_on_signal) for sig in (signal.SIGTERM, signal.SIGHUP)}
    try:
        subprocess.run(["truncate", "-s", "8G", backing], check=True)
        subprocess.run(["mkfs.xfs", "-q", "-f", "-m", "reflink=1", backing], check=True)
        subprocess.run(["mount", "-o", "loop", backing, mount_point], check=True)
        yield mount_point
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        if os.path.ismount(mount_point):
            # A command killed a moment ago may still hold a file open.
            if subprocess.run(["umount", mount_point], check=False).returncode != 0:
                subprocess.run(["umount", "--lazy", mount_point], check=False)
        with contextlib.suppress(OSError):
            os.rmdir(mount_point)
        with contextlib.suppress(FileNotFoundError):
            os.remove(backing)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def shared_share(path):
    """The share of a file's bytes in extents it shares with another file
    (FIEMAP's shared flag, read with filefrag), or None if unknown."""
    proc = subprocess.run(["filefrag", "-v", "-b1", path], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
    total = shared = 0
    for line in proc.stdout.splitlines():
        m = re.match(r"\s*\d+:\s*\d+\.\.\s*\d+:\s*\d+\.\.\s*\d+:\s*(\d+):", line)
        if m:
            total += int(m.group(1))
            shared += int(m.group(1)) if "shared" in line else 0
    return shared / total if proc.returncode == 0 and total else None


def used_bytes(path):
    st = os.statvfs(path)
    return (st.f_blocks - st.f_bfree) * st.f_frsize


class Bench:
    def __init__(self, binary, image, work, cold, baseline=None, own_fs=False, layout=None):
        self.own_fs = own_fs
        self.layout = layout
        self.binary = binary
        self.baseline = baseline
        self.image = image
        self.work = work
        self.cold = cold
        self.output = os.path.join(work, "new.iso")
        self.run_image = os.path.join(work, "run.iso")
        self.run_workspace = os.path.join(work, "run-workspace")
        self.timefile = os.path.join(work, "time.txt")
        self.make_inputs()

    def make_inputs(self):
        self.winbom = os.path.join(self.work, "WINBOM.INI")
        with open(self.winbom, "wb") as f:
            f.write(make_images.WINBOM + b"\r\n[WinPE.Firewall]\r\nDisable=Yes\r\n")
        self.program = os.path.join(self.work, "TOOL.EXE")
        with open(self.program, "wb") as f:
            f.write(b"MZ" + bytes(range(256)) * 200)
        self.package = os.path.join(self.work, "PKG")
        os.makedirs(os.path.join(self.package, "BIN"))
        with open(os.path.join(self.package, "SETUP.INF"), "wb") as f:
            f.write(b"[Version]\r\n" * 50)
        with open(os.path.join(self.package, "BIN", "AGENT.EXE"), "wb") as f:
            f.write(b"MZ agent" * 8000)

    def command(self, tool):
        cp = "cp --reflink=auto" if self.own_fs else "cp"
        if tool == "cp":
            return cp.split() + [self.image, self.output]
        if tool == "cp_sync":
            return ["sh", "-c", cp + ' "$0" "$1" && sync "$1"', self.image, self.output]
        if tool in ("run", "run_baseline"):
            run = [self.binary if tool == "run" else self.baseline, "-i", self.run_image,
                   "-t", self.run_workspace, "-f", "-b", self.program, "-p", self.package]
            # The layout is the timed build's choice; the baseline keeps its default.
            return run + (["--layout=" + self.layout] if self.layout and tool == "run" else [])
        if tool == "xorriso":
            return ["xorriso", "-indev", self.image, "-outdev", self.output,
                    "-boot_image", "any", "replay",
                    "-map", self.winbom, "/WINBOM.INI",
                    "-map", self.program, "/PROGRAMS/TOOL.EXE",
                    "-map", self.package, "/PROGRAMS/PKG", "-commit"]
        if tool == "pycdlib":
            return ["/usr/bin/python3", os.path.join(HERE, "pycdlib_change.py"), self.image,
                    self.output, self.winbom, self.program, self.package]
        raise ValueError(tool)

    def clean_outputs(self):
        for path in (self.output, self.run_image, self.run_image + ".bak", self.run_image + ".tmp"):
            if os.path.lexists(path):
                os.remove(path)
        shutil.rmtree(self.run_workspace, ignore_errors=True)

    def drop_image_from_cache(self):
        fd = os.open(self.image, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)

    def warm_image(self):
        with open(self.image, "rb", buffering=0) as f:
            while f.read(8 << 20):
                pass

    def prepare(self, tool):
        self.clean_outputs()
        if tool in ("run", "run_baseline"):
            os.link(self.image, self.run_image)
        os.sync()
        if self.cold:
            self.drop_image_from_cache()

    def measure(self, tool):
        """(seconds, peak kB, bytes written, bytes newly in use or None, share of
        the new image's bytes shared with another file or None) of one
        command; raises when it fails."""
        self.prepare(tool)
        stat_before = os.stat(self.image)
        used_before = used_bytes(self.work) if self.own_fs else None
        cmd = ["/usr/bin/time", "-f", "%M %O", "-o", self.timefile] + self.command(tool)
        start = time.perf_counter()
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        if proc.returncode != 0:
            raise RuntimeError("%s failed (%d): %s%s" % (
                tool, proc.returncode, proc.stdout.decode("latin-1")[-2000:],
                proc.stderr.decode("latin-1")[-2000:]))
        with open(self.timefile) as f:
            peak_kb, outputs = (int(n) for n in f.read().split()[-2:])
        if used_before is not None:
            os.sync()  # delayed allocations become blocks
            used_before = used_bytes(self.work) - used_before
        new = self.check_result(tool, proc, stat_before)
        shared = shared_share(new) if self.own_fs else None
        self.clean_outputs()
        return seconds, peak_kb, outputs * 512, used_before, shared

    def check_result(self, tool, proc, stat_before):
        after = os.stat(self.image)
        if (after.st_size, after.st_mtime_ns) != (stat_before.st_size, stat_before.st_mtime_ns):
            raise RuntimeError("%s changed the cached image %s" % (tool, self.image))
        run = tool in ("run", "run_baseline")
        new = self.run_image if run else self.output
        if run and b"pack ISO image succeeded" not in proc.stdout:
            raise RuntimeError("run did not pack: " + proc.stdout.decode("latin-1")[-2000:])
        if not os.path.exists(new) or os.path.getsize(new) < after.st_size * 0.9:
            raise RuntimeError("%s left no complete image at %s" % (tool, new))
        return new


def count_files(image):
    """Files and directories recorded in the image, read with our own walk of
    the primary directory tree (fast, no third-party reader)."""
    import struct
    files = dirs = 0
    with open(image, "rb") as f:
        f.seek(16 * 2048)
        pvd = f.read(2048)
        root_extent, root_size = struct.unpack_from("<I4xI", pvd, 156 + 2)
        pending = [(root_extent, root_size)]
        while pending:
            extent, size = pending.pop()
            f.seek(extent * 2048)
            data = f.read(size)
            pos = 0
            while pos < len(data):
                length = data[pos]
                if length == 0:
                    pos = (pos // 2048 + 1) * 2048
                    continue
                ext, sz = struct.unpack_from("<I4xI", data, pos + 2)
                flags, name_len = data[pos + 25], data[pos + 32]
                name = data[pos + 33:pos + 33 + name_len]
                if name not in (b"\x00", b"\x01"):
                    if flags & 2:
                        dirs += 1
                        pending.append((ext, sz))
                    else:
                        files += 1
                pos += length
    return files, dirs


def median_of_pairs(times, tool, other):
    return statistics.median(a / b for a, b in zip(times[tool], times[other]))


def bench_image(args, name, out, fs_root=None):
    image = source = make_images.make_image(name)
    files, dirs = count_files(image)
    work = tempfile.mkdtemp(prefix="work-", dir=fs_root or make_images.CACHE)
    try:
        if fs_root:
            image = shutil.copy(image, os.path.join(fs_root, name + ".iso"))
        bench = Bench(args.binary, image, work, args.cold, args.baseline, own_fs=bool(fs_root),
                      layout=args.layout)
        if not args.cold:
            bench.warm_image()
        tools = [t for t in TOOLS if t in args.tools] + (["run_baseline"] if args.baseline else [])
        results = {tool: [] for tool in tools}
        for round_index in range(args.rounds):
            shift = round_index % len(tools)
            for tool in tools[shift:] + tools[:shift]:
                results[tool].append(bench.measure(tool))
            print("  round %d/%d: %s" % (round_index + 1, args.rounds, "  ".join(
                "%s %.3f" % (tool, results[tool][-1][0]) for tool in tools)), file=sys.stderr, flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if fs_root and os.path.exists(image):
            os.remove(image)
    times = {tool: [r[0] for r in rows] for tool, rows in results.items()}

    print("image %s: %d bytes, %d files, %d directories, cache %s, %d rounds, on %s" % (
        name, os.path.getsize(source), files, dirs,
        "cold" if args.cold else "warm", args.rounds,
        "an XFS with reflink of its own" if fs_root else "the file system of " + make_images.CACHE), file=out)
    print("  %-12s %9s %9s %9s %12s %12s %12s %10s" % (
        "command", "median_s", "min_s", "max_s", "peak_rss_kb", "written_mb", "new_used_mb",
        "shared_pct"), file=out)
    for tool in tools:
        used = [r[3] for r in results[tool] if r[3] is not None]
        shared = [r[4] for r in results[tool] if r[4] is not None]
        print("  %-12s %9.3f %9.3f %9.3f %12d %12.1f %12s %10s" % (
            tool, statistics.median(times[tool]), min(times[tool]), max(times[tool]),
            max(r[1] for r in results[tool]), statistics.median(r[2] for r in results[tool]) / MB,
            "%.1f" % (statistics.median(used) / MB) if used else "-",
            "%.2f" % (100 * min(shared)) if shared else "-"), file=out)
    for other in tools:
        if other != "run":
            print("  ratio run/%-12s %6.2f  (median of per-round ratios; ratio of medians %.2f)" % (
                other, median_of_pairs(times, "run", other),
                statistics.median(times["run"]) / statistics.median(times[other])), file=out)
    print("  peak_rss_run_kb %d" % max(r[1] for r in results["run"]), file=out)
    out.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--image", choices=sorted(make_images.PRESETS) + ["all"], default="all")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true",
                        help="the small image only, 3 rounds (under a minute once the image exists)")
    parser.add_argument("--cold", action="store_true",
                        help="drop the image from the page cache before every command")
    parser.add_argument("--binary", default=DEFAULT_BINARY, help="the winpe-customize to time")
    parser.add_argument("--baseline", help="another winpe-customize build to time beside it (run_baseline)")
    parser.add_argument("--tools", default=",".join(TOOLS),
                        help="the commands to time beside run, comma-separated (default: all of %s)"
                        % ",".join(TOOLS))
    parser.add_argument("--layout", choices=["keep", "compact"],
                        help="give the timed build --layout (the baseline keeps its default)")
    parser.add_argument("--fs", choices=["xfs"],
                        help="run on a loop-mounted XFS with reflink made for the purpose (needs root)")
    args = parser.parse_args()
    if args.quick:
        args.image, args.rounds = "small", 3
    if not os.access(args.binary, os.X_OK):
        parser.error("no tool binary at %s (build it first, or give --binary)" % args.binary)
    names = ["small", "large"] if args.image == "all" else [args.image]
    args.tools = set(args.tools.split(",")) | {"run"}
    if not args.tools <= set(TOOLS):
        parser.error("--tools takes some of %s" % ",".join(TOOLS))

    out = sys.stdout
    print("winpe-customize benchmark, format %d" % FORMAT_VERSION, file=out)
    print("host: %s, %d cpus, kernel %s, python %s" % (
        platform.node(), os.cpu_count(), platform.release(), platform.python_version()), file=out)
    print("binary: %s" % os.path.abspath(args.binary), file=out)
    if args.layout:
        print("layout: --layout=%s for the binary" % args.layout, file=out)
    if args.baseline:
        print("baseline: %s" % os.path.abspath(args.baseline), file=out)
    if args.fs and os.geteuid() != 0:
        print("--fs xfs needs root to make and mount the file system; running on the file system "
              "of %s instead" % make_images.CACHE, file=sys.stderr)
        args.fs = None
    print("written_mb: bytes written by the command (getrusage file system outputs, that is "
          "/proc/PID/io write_bytes); new_used_mb: the file system's used blocks after less before; "
          "shared_pct: the least share of the new image's bytes in extents shared with another "
          "file (for run, the .bak)%s" % ("" if args.fs else " (both only on a file system of its own, --fs)"),
          file=out)
    with (xfs_mount() if args.fs else contextlib.nullcontext()) as fs_root:
        for name in names:
            bench_image(args, name, out, fs_root)


if __name__ == "__main__":
    main()
