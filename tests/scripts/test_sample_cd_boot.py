"""The sample CD: make-sample-cd writes a WinPE-like image with our writer
that independent readers accept and that boots in QEMU (TCG), its boot
program printing one line on COM1. An image customized with a VNC package
still boots."""

import os
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

BOOT_LINE = b"SAMPLE CD BOOTED"
BOOT_TIMEOUT = 60


def boot_serial_output(image, log):
    """Boots `image` from CD in QEMU until the boot line appears on the
    serial port or the time is up; returns what the port received."""
    proc = subprocess.Popen(
        ["qemu-system-x86_64", "-cdrom", image, "-boot", "d", "-display", "none",
         "-serial", "file:" + log, "-no-reboot", "-m", "64", "-monitor", "none"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    data = b""
    try:
        deadline = time.monotonic() + BOOT_TIMEOUT
        while time.monotonic() < deadline and proc.poll() is None:
            if os.path.exists(log):
                data = t.file_bytes(log)
                if BOOT_LINE in data:
                    break
            time.sleep(0.2)
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
    if os.path.exists(log):
        data = t.file_bytes(log)
    return data


class SampleCdTest(t.ScratchTestCase):

    def make_sample(self, name="sample.iso", work=None):
        args = [t.SAMPLE_CD_MAKER, self.path(name)]
        if work:
            args.append(work)
        proc = subprocess.run(args, capture_output=True, timeout=120)
        self.assertEqual(0, proc.returncode, proc.stderr.decode("latin-1"))
        return self.path(name)

    def test_image_holds_the_winpe_tree_and_boot_entry(self):
        work = self.path("work")
        image = self.make_sample(work=work)
        files, dirs = t.read_image(image)
        tree = os.path.join(work, "cd")
        # Every file of the tree, byte for byte; no \PROGRAMS yet.
        expected = {}
        for dirpath, _, names in os.walk(tree):
            for name in names:
                local = os.path.join(dirpath, name)
                rel = "/" + os.path.relpath(local, tree).replace(os.sep, "/")
                expected[rel] = t.file_bytes(local)
        self.assertEqual(expected, files)
        for needed in ["/WINBOM.INI", "/I386/SYSTEM32/WINPEOEM.SIF",
                       "/I386/SYSTEM32/CONFIG/DEFAULT", "/I386/BOOTFIX.BIN",
                       "/I386/SYSTEM32/STARTNET.CMD", "/FERROVANE/REDODOZAD.XML"]:
            self.assertIn(needed, files)
        self.assertNotIn("/PROGRAMS", dirs)
        self.assertIn(b"\r\n</redoDozad>\r\n", files["/FERROVANE/REDODOZAD.XML"])
        self.assertIn(b"\r\n[WinPE.Net]\r\n", files["/WINBOM.INI"])
        self.assertIn(b";[OemDriverParams]\r\n;OemDriverRoot=\"\"\r\n;OemDriverDirs=\r\n",
                      files["/I386/SYSTEM32/WINPEOEM.SIF"])
        for name in ["/WINBOM.INI", "/I386/SYSTEM32/WINPEOEM.SIF", "/FERROVANE/REDODOZAD.XML",
                     "/I386/SYSTEM32/STARTNET.CMD", "/DOCS/README.TXT"]:
            self.assertNotIn(b"\n", files[name].replace(b"\r\n", b""), name)

        # The hive is valid for independent readers.
        hive = os.path.join(tree, "I386", "SYSTEM32", "CONFIG", "DEFAULT")
        listing = subprocess.run(["reglookup", hive], capture_output=True, timeout=60)
        self.assertEqual(0, listing.returncode)
        self.assertIn(b"\n/,KEY,,", listing.stdout)
        self.assertEqual(b"", listing.stderr)
        shell = subprocess.run(["hivexsh", hive], input=b"ls\nlsval\n", capture_output=True,
                               timeout=60)
        self.assertEqual(0, shell.returncode, shell.stderr)

        # The boot entry points at the boot program, 4 virtual sectors.
        report = subprocess.run(["xorriso", "-indev", image, "-report_el_torito", "plain"],
                                capture_output=True, timeout=60).stdout.decode("latin-1")
        entry = [line for line in report.splitlines() if line.startswith("El Torito boot img")]
        self.assertEqual(1, len(entry), report)
        fields = entry[0].split(":", 1)[1].split()
        self.assertEqual(["1", "BIOS", "y", "none", "0x0000", "0x00", "4"], fields[:7])
        with open(image, "rb") as f:
            f.seek(int(fields[7]) * 2048)
            self.assertEqual(t.file_bytes(os.path.join(work, "boot.bin")), f.read(2048))

    def test_refuses_a_work_directory_that_holds_files(self):
        work = self.path("busy")
        os.makedirs(work)
        with open(os.path.join(work, "keep.txt"), "wb") as f:
            f.write(b"mine")
        proc = subprocess.run([t.SAMPLE_CD_MAKER, self.path("x.iso"), work],
                              capture_output=True, timeout=60)
        self.assertEqual(1, proc.returncode)
        self.assertIn(b"not an empty directory", proc.stderr)
        self.assertEqual(["keep.txt"], os.listdir(work))
        self.assertFalse(os.path.exists(self.path("x.iso")))

    def test_sample_image_boots(self):
        image = self.make_sample()
        self.assertFalse(os.path.exists(image + ".work"))
        serial = boot_serial_output(image, self.path("serial.log"))
        self.assertIn(BOOT_LINE + b"\r\n", serial)

    @unittest.skipUnless(os.path.exists(t.TOOL), "winpe-customize not built")
    def test_image_customized_with_vnc_still_boots(self):
        image = self.make_sample()
        package = self.path("vnc")
        os.makedirs(package)
        with open(os.path.join(package, "server.exe"), "wb") as f:
            f.write(b"MZ server")
        code, out, err = t.run_tool(["-i", image, "-v", package + "%server.exe%secret",
                                     "-t", self.path("ws")])
        self.assertEqual(0, code, out + err)
        serial = boot_serial_output(image, self.path("serial.log"))
        self.assertIn(BOOT_LINE + b"\r\n", serial)


if __name__ == "__main__":
    t.main()
