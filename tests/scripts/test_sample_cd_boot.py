"""The sample CD boots in QEMU (TCG): its boot program prints one line on
COM1. So does the sample CD after the tool rewrote it with a VNC package, and
the same CD mastered by genisoimage with Joliet and Rock Ridge after the tool
rewrote it."""

import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
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

    def test_sample_and_vnc_customized_images_boot(self):
        image = self.path("sample.iso")
        subprocess.run([t.SAMPLE_CD_MAKER, image], check=True, capture_output=True)
        self.assertIn(BOOT_LINE, serial_output(image, self.path("sample.log")))
        os.makedirs(self.path("vnc"))
        with open(self.path("vnc", "server.exe"), "wb") as f:
            f.write(b"MZ server")
        code, out, err = t.run_tool(["-i", image, "-v", self.path("vnc") + "%server.exe%secret"])
        self.assertEqual(0, code, out + err)
        self.assertIn(BOOT_LINE, serial_output(image, self.path("vnc.log")))

    def test_joliet_image_from_another_tool_boots_after_customization(self):
        work = self.path("sample")
        subprocess.run([t.SAMPLE_CD_MAKER, self.path("sample.iso"), work], check=True,
                       capture_output=True)
        image = self.path("joliet.iso")
        subprocess.run(["genisoimage", "-quiet", "-iso-level", "4", "-untranslated-filenames",
                        "-J", "-R", "-b", "boot.bin", "-no-emul-boot", "-boot-load-size", "4",
                        "-o", image, "-graft-points", "/=" + os.path.join(work, "cd"),
                        "/boot.bin=" + os.path.join(work, "boot.bin")],
                       check=True, capture_output=True)
        t.write(self.path("src", "Start Me & Co.exe"), b"MZ start")
        code, out, err = t.run_tool(["-i", image, "-f", "-B", self.path("src", "Start Me & Co.exe")])
        self.assertEqual(0, code, out + err)
        self.assertIn(BOOT_LINE, serial_output(image, self.path("joliet.log")))


if __name__ == "__main__":
    t.main()
