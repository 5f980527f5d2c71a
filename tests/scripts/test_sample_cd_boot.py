"""The sample CD boots in QEMU, as made, customized, and remastered with -J -R."""

import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True
import wpe_testlib as t  # noqa: E402

BOOT_LINE = b"SAMPLE CD BOOTED\r\n"


def serial_output(image, log, timeout=60):
    """What COM1 received from `image` booted as a CD, by the boot line or the time limit."""
    proc = subprocess.Popen(["qemu-system-x86_64", "-cdrom", image, "-boot", "d", "-m", "64",
                             "-display", "none", "-monitor", "none", "-no-reboot", "-serial",
                             "file:" + log], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline and proc.poll() is None:
            if os.path.exists(log) and BOOT_LINE in t.file_bytes(log):
                break
            time.sleep(0.2)
    finally:
        proc.kill()
        proc.wait()
    return t.file_bytes(log) if os.path.exists(log) else b""


class SampleCdBootTest(t.ScratchTestCase):
    def test_sample_and_customized_images_boot(self):
        sample = t.sample_cd(self.path("sample.iso"), self.path("sample"))
        self.assertIn(BOOT_LINE, serial_output(sample, self.path("sample.log")))
        os.renames(self.path("sample", "boot.bin"), self.path("sample", "cd", "BOOT", "BOOT.IMG"))
        joliet = t.master(self.path("sample", "cd"), self.path("joliet.iso"),
                          t.GENISOIMAGE + ["-iso-level", "4", "-untranslated-filenames", "-J", "-R"])
        t.write(self.path("vnc", "server.exe"), b"MZ server")
        t.write(self.path("src", "Start Me & Co.exe"), b"MZ start")
        runs = [(sample, ["-v", self.path("vnc") + "%server.exe%secret"]),
                (joliet, ["-f", "-B", self.path("src", "Start Me & Co.exe")])]
        for image, args in runs:
            with self.subTest(os.path.basename(image)):
                code, out, err = t.run_tool(["-i", image] + args)
                self.assertEqual(0, code, out + err)
                self.assertIn(BOOT_LINE, serial_output(image, image + ".log"))


if __name__ == "__main__":
    t.main()
