"""Helpers for the process-level tests: a WinPE-like tree, images made with
genisoimage, running the tool, and reading images back with pycdlib."""

import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

BINARY_DIR = os.environ.get("WPE_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
TOOL = os.path.join(BINARY_DIR, "app", "winpe-customize")
SAMPLE_CD_MAKER = os.path.join(BINARY_DIR, "tools", "make-sample-cd")

WINBOM = (b"[Factory]\r\nWinBOMType=WinPE\r\nReseal=No\r\n\r\n"
          b"[WinPE]\r\nRestart=No\r\n\r\n[WinPE.Net]\r\nStartnet=Yes\r\n")
WINPEOEM = (b"[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n\r\n"
            b";[OemDriverParams]\r\n;OemDriverRoot=\"\"\r\n;OemDriverDirs=\r\n")
REDODOZAD = (b"<?xml version=\"1.0\"?>\r\n<redoDozad>\r\n"
             b"<exec processName=\"\\FERROVANE\\agent.exe\" currentDir=\"\\FERROVANE\" />\r\n"
             b"</redoDozad>\r\n")


def make_winpe_tree(root, with_redodozad=True, replaced=None):
    """The six files the run retrieves, a few others, and a 2048-byte boot
    image stand-in (copied, never booted) under `root`; `replaced` gives
    other contents to some of them."""
    files = {
        "WINBOM.INI": WINBOM,
        "I386/SYSTEM32/WINPEOEM.SIF": WINPEOEM,
        "I386/SYSTEM32/CONFIG/DEFAULT": b"regf-placeholder",
        "I386/BOOTFIX.BIN": bytes(range(256)) * 2,
        "I386/SYSTEM32/STARTNET.CMD": b"wpeinit\r\n",
        "I386/SYSTEM32/DRIVERS/DISK.SYS": b"disk driver" * 100,
        "I386/INF/DISK.INF": b"[Version]\r\n",
        "DOCS/README.TXT": b"sample\r\n" * 300,
        "BOOT/BOOT.IMG": bytes([0xFA, 0xF4, 0xEB, 0xFD]) + bytes(2044),
    }
    if with_redodozad:
        files["FERROVANE/REDODOZAD.XML"] = REDODOZAD
    files.update(replaced or {})
    for rel, data in files.items():
        write(os.path.join(root, rel), data)
    return files


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def genisoimage(tree, output, boot="BOOT/BOOT.IMG"):
    # -D keeps deep trees in place instead of relocating them.
    cmd = ["genisoimage", "-quiet", "-iso-level", "4", "-untranslated-filenames", "-D"]
    if boot:
        cmd += ["-b", boot, "-no-emul-boot", "-boot-load-size", "4"]
    subprocess.run(cmd + ["-o", output, tree], check=True, stderr=subprocess.DEVNULL)


def run_tool(args, stdin=b"", env=None):
    """Runs the tool; returns (exit code, stdout text, stderr text)."""
    proc = subprocess.run([TOOL] + list(args), input=stdin, capture_output=True, env=env, timeout=600)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def read_image(path, joliet=False):
    """({image path: bytes} of every file, {every directory}) of the primary
    or the Joliet tree, read with pycdlib."""
    import pycdlib
    iso = pycdlib.PyCdlib()
    iso.open(path)
    key = "joliet_path" if joliet else "iso_path"
    files, dirs = {}, set()
    try:
        for dirpath, _, filenames in iso.walk(**{key: "/"}):
            dirs.add(dirpath)
            for name in filenames:
                buf = io.BytesIO()
                iso.get_file_from_iso_fp(buf, **{key: dirpath.rstrip("/") + "/" + name})
                files[dirpath.rstrip("/") + "/" + name] = buf.getvalue()
    finally:
        iso.close()
    return files, dirs


class ScratchTestCase(unittest.TestCase):
    """Each test gets its own scratch directory under the build tree."""

    def setUp(self):
        base = os.path.join(BINARY_DIR, "test-scratch")
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix="py-", dir=base)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)


# ---- fault tests: images with a large file, raw records, untouched checks ----

SECTOR = 2048
BIG_CHUNK = bytes((i * 7919 + (i >> 11)) & 0xFF for i in range(1 << 20))
MARKER = b"MZ marker" * 100


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def inode(path):
    try:
        return os.stat(path).st_ino
    except FileNotFoundError:
        return None


def root_directory(data):
    return struct.unpack_from("<I4xI", data, 16 * SECTOR + 156 + 2)


def find_record(data, image_path):
    """(offset, extent, size) of the directory record of an image path."""
    extent, size = root_directory(data)
    for name in image_path.encode().split(b"/"):
        start, p = extent * SECTOR, 0
        while data[start + p + 33:start + p + 33 + data[start + p + 32]] != name:
            p = (p // SECTOR + 1) * SECTOR if data[start + p] == 0 else p + data[start + p]
            if p >= size:
                raise KeyError(image_path)
        record = (start + p,) + struct.unpack_from("<I4xI", data, start + p + 2)
        extent, size = record[1:]
    return record


def set_both32(data, at, value):
    struct.pack_into("<I", data, at, value)
    struct.pack_into(">I", data, at + 4, value)


def set_extent(data, image_path, extent, size=None):
    at = find_record(bytes(data), image_path)[0]
    set_both32(data, at + 2, extent)
    if size is not None:
        set_both32(data, at + 10, size)


def make_fault_image(folder, big_megabytes=0, name="cd.iso", tree_extra=None):
    """A WinPE-like image in `folder`, optionally with a large file
    BIG/DATA.BIN of BIG_CHUNK repeated; returns (image, tree files)."""
    tree = os.path.join(folder, name + ".tree")
    tree_files = make_winpe_tree(tree)
    if big_megabytes:
        os.makedirs(os.path.join(tree, "BIG"))
        with open(os.path.join(tree, "BIG", "DATA.BIN"), "wb") as f:
            for _ in range(big_megabytes):
                f.write(BIG_CHUNK)
    if tree_extra:
        tree_extra(tree)
    image = os.path.join(folder, name)
    genisoimage(tree, image)
    shutil.rmtree(tree)
    return image, tree_files


class FaultCase(ScratchTestCase):
    """A run with a marker program and a -t workspace; TMPDIR is a folder of
    the test's own, so that anything a run leaves there is seen."""

    def setUp(self):
        super().setUp()
        self.tmpdir = self.path("tmpdir")
        os.makedirs(self.tmpdir)
        self.env = dict(os.environ, TMPDIR=self.tmpdir)
        write(self.path("MARKER.EXE"), MARKER)

    def make_image(self, big_megabytes=0, name="cd.iso", tree_extra=None):
        image, self.tree_files = make_fault_image(self.dir, big_megabytes, name, tree_extra)
        return image

    def args(self, image, work=None, marker=None):
        return ["-i", image, "-t", work or self.path("work"), "-f",
                "-b", marker or self.path("MARKER.EXE")]

    def run_failing(self, args, image, work=None, **kwargs):
        old = sha256(image)
        # A hostile image must not keep the run busy either.
        proc = subprocess.run([TOOL] + args, capture_output=True, env=self.env, timeout=60,
                              **kwargs)
        out, err = proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")
        self.assert_failed_untouched(image, old, proc.returncode, out, err, work)
        return out

    def assert_no_sanitizer_report(self, err):
        self.assertNotIn("Sanitizer", err)
        self.assertNotIn("runtime error", err)

    def assert_nothing_left(self, image, work=None, backup=False):
        """No .tmp, no workspace, nothing under TMPDIR; a .bak only when the
        image was replaced."""
        self.assertFalse(os.path.lexists(image + ".tmp"), image + ".tmp left behind")
        self.assertEqual(os.path.lexists(image + ".bak"), backup, image + ".bak")
        work = work or self.path("work")
        self.assertFalse(os.path.lexists(work), work + " left behind")
        self.assertEqual(os.listdir(self.tmpdir), [])

    def assert_failed_untouched(self, image, old_hash, code, out, err, work=None):
        self.assertEqual(code, 1, out + err)
        self.assert_no_sanitizer_report(err)
        self.assertEqual(sha256(image), old_hash, "the source image was changed")
        self.assert_nothing_left(image, work)


def main():
    sys.dont_write_bytecode = True
    unittest.main(verbosity=2)
