"""Images our writer makes (through tools/pack-directory) are accepted by
isoinfo, isovfy, xorriso, pycdlib and 7z, every file identical to its source."""

import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wpe_testlib  # noqa: E402

PACK_DIRECTORY = os.path.join(wpe_testlib.BINARY_DIR, "tools", "pack-directory")


def pattern(n, seed):
    return bytes(((i * 131 + seed * 7 + i // 251) & 0xFF) for i in range(n))


# An empty file, sizes around the sector boundary, nested directories and
# mixed-case names; "C" is an empty directory.
TREE = {"EMPTY.BIN": b"", "ONE.BIN": b"\x01", "SECTOR.BIN": pattern(2048, 1),
        "OVER.BIN": pattern(2049, 2), "A/A1/DEEP.DAT": pattern(70000, 3),
        "A/NOTE.TXT": b"note", "B/Mixed.Case": pattern(5000, 4)}
BOOT_IMAGE = bytes([0xFA, 0xF4, 0xEB, 0xFD]) + pattern(2044, 5)


def run(args):
    proc = subprocess.run(args, capture_output=True, check=False, timeout=120)
    return proc.returncode, (proc.stdout + proc.stderr).decode("latin-1")


class WriterInterop(wpe_testlib.ScratchTestCase):

    def setUp(self):
        super().setUp()
        src = self.path("src")
        os.makedirs(os.path.join(src, "C"))
        for rel, data in TREE.items():
            os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
        with open(self.path("boot.img"), "wb") as f:
            f.write(BOOT_IMAGE)
        self.image = self.path("out.iso")
        code, out = run([PACK_DIRECTORY, src, self.image, self.path("boot.img")])
        self.assertEqual(code, 0, out)

    def test_isoinfo_isovfy_and_xorriso(self):
        out = run(["isoinfo", "-d", "-i", self.image])[1]
        for line in ("Volume id: CD_ROM", "Application id: riduz",
                     "El Torito VD version 1 found, boot catalog is in sector 19",
                     "Volume size is: %d" % (os.path.getsize(self.image) // 2048)):
            self.assertIn(line, out)
        self.assertIn("No errors found", run(["isovfy", self.image])[1])
        # xorriso finds the boot image where the catalog says.
        code, out = run(["xorriso", "-indev", self.image, "-report_el_torito", "plain"])
        self.assertEqual(code, 0, out)
        line = [l for l in out.splitlines() if l.startswith("El Torito boot img :")]
        self.assertEqual(len(line), 1, out)
        # N Pltf B Emul Ld_seg Hdpt Ldsiz LBA
        fields = line[0].split(":", 1)[1].split()
        self.assertEqual(fields[1:4] + [fields[6]], ["BIOS", "y", "none", "4"])
        data, lba = wpe_testlib.file_bytes(self.image), int(fields[7])
        self.assertEqual(lba, struct.unpack_from("<I", data, 19 * 2048 + 40)[0])
        self.assertEqual(data[lba * 2048:(lba + 1) * 2048], BOOT_IMAGE)

    def test_pycdlib_and_7z_read_every_file(self):
        files, dirs = wpe_testlib.read_image(self.image)
        self.assertEqual(files, {"/" + rel: data for rel, data in TREE.items()})
        self.assertEqual(dirs, {"/", "/A", "/A/A1", "/B", "/C"})
        out_dir = self.path("x")
        code, out = run(["7z", "x", "-y", "-o" + out_dir, self.image])
        self.assertEqual(code, 0, out)
        for rel, data in TREE.items():
            self.assertEqual(wpe_testlib.file_bytes(os.path.join(out_dir, rel)), data, rel)


if __name__ == "__main__":
    wpe_testlib.main()
