"""Process test helpers: a WinPE-like tree, other tools' images, runs, pycdlib reads."""

import contextlib
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BINARY_DIR = os.environ.get("WPE_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
TOOL = os.path.join(BINARY_DIR, "app", "winpe-customize")
SAMPLE_CD_MAKER = os.path.join(BINARY_DIR, "tools", "make-sample-cd")
SECTOR = 2048

WINBOM = (b"[Factory]\r\nWinBOMType=WinPE\r\nReseal=No\r\n\r\n"
          b"[WinPE]\r\nRestart=No\r\n\r\n[WinPE.Net]\r\nStartnet=Yes\r\n")
WINPEOEM = (b"[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n\r\n"
            b";[OemDriverParams]\r\n;OemDriverRoot=\"\"\r\n;OemDriverDirs=\r\n")
REDODOZAD = (b"<?xml version=\"1.0\"?>\r\n<redoDozad>\r\n"
             b"<exec processName=\"\\FERROVANE\\agent.exe\" currentDir=\"\\FERROVANE\" />\r\n"
             b"</redoDozad>\r\n")

GENISOIMAGE = ["genisoimage", "-quiet"]
XORRISO = ["xorriso", "-as", "mkisofs", "-quiet"]
# -D keeps deep trees in place instead of relocating them.
PLAIN = GENISOIMAGE + ["-iso-level", "4", "-untranslated-filenames", "-D"]
BOOT = ["-b", "BOOT/BOOT.IMG", "-no-emul-boot", "-boot-load-size", "4"]


def make_winpe_tree(root, with_redodozad=True, replaced=None):
    """The files a run retrieves, a few others and a boot image stand-in; `replaced` changes some."""
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


def master(tree, output, command=PLAIN, boot=BOOT):
    """An image of `tree` made by another tool (genisoimage unless told)."""
    subprocess.run(command + boot + ["-o", output, tree], check=True, capture_output=True)
    return output


def sample_cd(image, tree=None):
    """The sample CD; with `tree`, its files and boot image are left there."""
    subprocess.run([SAMPLE_CD_MAKER, image] + ([tree] if tree else []), check=True,
                   capture_output=True)
    return image


def run_tool(args, stdin=b"", env=None, timeout=600, **kwargs):
    """Runs the tool; returns (exit code, stdout text, stderr text)."""
    proc = subprocess.run([TOOL] + list(args), input=stdin, capture_output=True, env=env,
                          timeout=timeout, **kwargs)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def sha256(path):
    return hashlib.sha256(file_bytes(path)).hexdigest()


@contextlib.contextmanager
def pycdlib_open(path):
    import pycdlib
    iso = pycdlib.PyCdlib()
    iso.open(path)
    try:
        yield iso
    finally:
        iso.close()


def read_image(path, joliet=False):
    """({path: bytes} of each file, {directories}) of the primary or the Joliet tree."""
    key = "joliet_path" if joliet else "iso_path"
    files, dirs = {}, set()
    with pycdlib_open(path) as iso:
        for dirpath, _, filenames in iso.walk(**{key: "/"}):
            dirs.add(dirpath)
            for name in filenames:
                buf = io.BytesIO()
                iso.get_file_from_iso_fp(buf, **{key: dirpath.rstrip("/") + "/" + name})
                files[dirpath.rstrip("/") + "/" + name] = buf.getvalue()
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


def main():
    sys.dont_write_bytecode = True
    unittest.main(verbosity=2)
