"""Images written by our ISO writer (through tools/pack-directory) are
accepted by independent readers: isoinfo, isovfy, xorriso, pycdlib and 7z
list the same tree and extract every file identical to its source."""

import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wpe_testlib  # noqa: E402

PACK_DIRECTORY = os.path.join(wpe_testlib.BINARY_DIR, "tools", "pack-directory")


def pattern(n, seed):
    return bytes(((i * 131 + seed * 7 + i // 251) & 0xFF) for i in range(n))


# Sizes around the sector boundary, an empty file, nested directories, an
# empty directory and mixed-case names.
TREE = {
    "EMPTY.BIN": b"",
    "ONE.BIN": b"\x01",
    "SECTOR.BIN": pattern(2048, 1),
    "OVER.BIN": pattern(2049, 2),
    "readme.txt": b"hello\r\n" * 100,
    "A/A1/DEEP.DAT": pattern(70000, 3),
    "A/NOTE.TXT": b"note",
    "B/Mixed.Case": pattern(5000, 4),
}
EMPTY_DIRS = ["C"]
BOOT_IMAGE = bytes([0xFA, 0xF4, 0xEB, 0xFD]) + pattern(2044, 5)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, check=False, timeout=120, **kwargs)


class WriterInterop(wpe_testlib.ScratchTestCase):

    def setUp(self):
        super().setUp()
        self.src = self.path("src")
        for rel, data in TREE.items():
            target = os.path.join(self.src, rel)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
        for rel in EMPTY_DIRS:
            os.makedirs(os.path.join(self.src, rel), exist_ok=True)
        self.boot = self.path("boot.img")
        with open(self.boot, "wb") as f:
            f.write(BOOT_IMAGE)
        self.image = self.path("out.iso")
        proc = run([PACK_DIRECTORY, self.src, self.image, self.boot])
        self.assertEqual(proc.returncode, 0, proc.stdout.decode("latin-1"))
        self.assertTrue(proc.stdout.endswith(b"pack ISO image succeeded\n"))
        with open(self.image, "rb") as f:
            self.data = f.read()

    def sector(self, n):
        return self.data[n * 2048:(n + 1) * 2048]

    def test_isoinfo_and_isovfy(self):
        proc = run(["isoinfo", "-d", "-i", self.image])
        self.assertEqual(proc.returncode, 0)
        out = proc.stdout.decode("latin-1")
        self.assertIn("Volume id: CD_ROM", out)
        self.assertIn("Publisher id: TALVEN CORPORATION", out)
        self.assertIn("Data preparer id: TALVEN CORPORATION, ", out)
        self.assertIn("Application id: riduz", out)
        self.assertIn("El Torito VD version 1 found, boot catalog is in sector 19", out)
        self.assertIn("Volume size is: %d" % (len(self.data) // 2048), out)
        proc = run(["isovfy", self.image])
        out = proc.stdout.decode("latin-1") + proc.stderr.decode("latin-1")
        self.assertIn("No errors found", out)

    def test_xorriso_reports_the_boot_image(self):
        proc = run(["xorriso", "-indev", self.image, "-report_el_torito", "plain"])
        self.assertEqual(proc.returncode, 0, proc.stderr.decode("latin-1"))
        out = proc.stdout.decode("latin-1")
        catalog = self.sector(19)
        load_rba = struct.unpack_from("<I", catalog, 40)[0]
        line = [l for l in out.splitlines() if l.startswith("El Torito boot img :")]
        self.assertEqual(len(line), 1, out)
        fields = line[0].split(":", 1)[1].split()
        # N Pltf B Emul Ld_seg Hdpt Ldsiz LBA
        self.assertEqual(fields[1:4], ["BIOS", "y", "none"])
        self.assertEqual(int(fields[6]), 4)
        self.assertEqual(int(fields[7]), load_rba)
        self.assertEqual(self.data[load_rba * 2048:load_rba * 2048 + 2048], BOOT_IMAGE)

    def test_catalog_and_path_tables(self):
        self.assertEqual(self.sector(17)[:39], b"\0CD001\x01EL TORITO SPECIFICATION" + bytes(9))
        self.assertEqual(struct.unpack_from("<I", self.sector(17), 71)[0], 19)
        catalog = self.sector(19)
        self.assertEqual(sum(struct.unpack_from("<16H", catalog, 0)) & 0xFFFF, 0)
        self.assertEqual(catalog[30:32], b"\x55\xaa")
        self.assertEqual(catalog[32], 0x88)
        pvd = self.sector(16)
        size = struct.unpack_from("<I", pvd, 132)[0]
        l_sector = struct.unpack_from("<I", pvd, 140)[0]
        m_sector = struct.unpack_from(">I", pvd, 148)[0]

        def parse(sector, fmt):
            pos, end, records = sector * 2048, sector * 2048 + size, []
            while pos < end:
                length = self.data[pos]
                extent, parent = struct.unpack_from(fmt, self.data, pos + 2)
                records.append((self.data[pos + 8:pos + 8 + length], extent, parent))
                pos += 8 + length + (length & 1)
            self.assertEqual(pos, end)
            return records

        l_table = parse(l_sector, "<IH")
        self.assertEqual(l_table, parse(m_sector, ">IH"))
        self.assertEqual([r[0] for r in l_table], [b"\0", b"A", b"B", b"C", b"A1"])
        self.assertEqual([r[2] for r in l_table], [1, 1, 1, 1, 2])

    def test_pycdlib_reads_every_file(self):
        files, dirs = wpe_testlib.read_image(self.image)
        expected = {"/" + rel: data for rel, data in TREE.items()}
        self.assertEqual(files, expected)
        self.assertEqual(dirs, {"/", "/A", "/A/A1", "/B", "/C"})

    def test_7z_lists_and_extracts_every_file(self):
        out_dir = self.path("x")
        proc = run(["7z", "x", "-y", "-o" + out_dir, self.image])
        self.assertEqual(proc.returncode, 0, proc.stdout.decode("latin-1"))
        for rel, data in TREE.items():
            with open(os.path.join(out_dir, rel), "rb") as f:
                self.assertEqual(f.read(), data, rel)
        self.assertTrue(os.path.isdir(os.path.join(out_dir, "C")))
        proc = run(["7z", "l", "-slt", self.image])
        listed = {l[len("Path = "):] for l in proc.stdout.decode("latin-1").splitlines()
                  if l.startswith("Path = ")}
        for rel in TREE:
            self.assertIn(rel, listed)


if __name__ == "__main__":
    wpe_testlib.main()
