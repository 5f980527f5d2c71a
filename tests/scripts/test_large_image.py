"""Scale: images beyond 4 GiB, a directory of 20,000 entries and a tree
8 levels deep, each taken through a whole customization run."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

SECTOR = 2048
GIB = 1024 ** 3
# The source image is sparse; the new one keeps its holes where the file
# system can, but may hold every byte, beside the backup of the source.
NEEDED_FREE_BYTES = 12 * GIB
HUGE_SIZE = 4 * GIB - SECTOR  # the largest single extent, rounded to a sector
MARKERS = {0: b"huge-start", HUGE_SIZE // 2 + 5: b"huge-middle", HUGE_SIZE - 9: b"huge-end!"}


def both32(value):
    return struct.pack("<I", value) + struct.pack(">I", value)


def record_offset(image, directory, name):
    """Byte offset of the directory record named `name` in the image
    directory `directory` (an extent of one sector, as made here)."""
    import pycdlib
    iso = pycdlib.PyCdlib()
    iso.open(image)
    try:
        extent = iso.get_record(iso_path=directory).extent_location()
    finally:
        iso.close()
    with open(image, "rb") as f:
        f.seek(extent * SECTOR)
        sector = f.read(SECTOR)
    encoded = name.encode()
    pos = 0
    while pos < SECTOR and sector[pos]:
        if sector[pos + 33:pos + 33 + sector[pos + 32]] == encoded:
            return extent * SECTOR + pos
        pos += sector[pos]
    raise AssertionError("no record %s in %s" % (name, directory))


def move_file(image, directory, name, extent, size, pieces):
    """Points a file's record at `extent` with `size` bytes and writes the
    (offset, bytes) pieces of its data there; the rest stays a hole."""
    offset = record_offset(image, directory, name)
    with open(image, "r+b") as f:
        f.seek(offset + 2)
        f.write(both32(extent) + both32(size))
        for at, data in pieces:
            f.seek(extent * SECTOR + at)
            f.write(data)


def file_location(image, iso_path):
    import pycdlib
    iso = pycdlib.PyCdlib()
    iso.open(image)
    try:
        record = iso.get_record(iso_path=iso_path)
        return record.extent_location(), record.get_data_length()
    finally:
        iso.close()


def read_span(image, extent, size):
    with open(image, "rb") as f:
        f.seek(extent * SECTOR)
        return f.read(size)


class ImageBeyondFourGib(t.ScratchTestCase):
    """A sparse source image of more than 4 GiB: one file of nearly 4 GiB
    and two small ones beyond the 4 GiB mark, one of them the start-up file
    that the run reads, edits and puts back."""

    def setUp(self):
        super().setUp()
        free = shutil.disk_usage(self.dir).free
        if free < NEEDED_FREE_BYTES:
            self.skipTest("needs %d GB free disk for a 4 GiB image and its copy, %d GB free"
                          % (NEEDED_FREE_BYTES // 10**9, free // 10**9))

    def make_sparse_image(self):
        tree = self.path("tree")
        t.make_winpe_tree(tree)
        os.makedirs(os.path.join(tree, "DATA"))
        with open(os.path.join(tree, "DATA", "HUGE.DAT"), "wb") as f:
            f.write(b"placeholder")
        self.tail = os.urandom(300000)
        with open(os.path.join(tree, "DATA", "TAIL.BIN"), "wb") as f:
            f.write(self.tail)
        image = self.path("cd.iso")
        t.genisoimage(tree, image)

        # Everything from the old end of the image on is placed by hand:
        # the huge file first, the small ones behind it.
        huge_extent = os.path.getsize(image) // SECTOR
        tail_extent = huge_extent + HUGE_SIZE // SECTOR + 7
        xml_extent = tail_extent + len(self.tail) // SECTOR + 3
        move_file(image, "/DATA", "HUGE.DAT", huge_extent, HUGE_SIZE, MARKERS.items())
        move_file(image, "/DATA", "TAIL.BIN", tail_extent, len(self.tail), [(0, self.tail)])
        move_file(image, "/FERROVANE", "REDODOZAD.XML", xml_extent, len(t.REDODOZAD),
                  [(0, t.REDODOZAD)])
        sectors = xml_extent + 1
        with open(image, "r+b") as f:
            f.truncate(sectors * SECTOR)
            f.seek(16 * SECTOR + 80)
            f.write(both32(sectors))
        self.assertGreater(tail_extent * SECTOR, 4 * GIB)
        return image

    def assert_huge_file(self, image, extent):
        """The huge file's bytes are the markers and zeros everywhere else."""
        chunk = 64 * 1024 * 1024
        zeros = bytes(chunk)
        with open(image, "rb") as f:
            f.seek(extent * SECTOR)
            done = 0
            while done < HUGE_SIZE:
                data = f.read(min(chunk, HUGE_SIZE - done))
                self.assertEqual(len(data), min(chunk, HUGE_SIZE - done))
                expected = bytearray(zeros[:len(data)])
                for at, marker in MARKERS.items():
                    if done <= at < done + len(data):
                        expected[at - done:at - done + len(marker)] = marker
                self.assertTrue(data == expected, "huge file differs in bytes %d to %d"
                                % (done, done + len(data)))
                done += len(data)

    def test_run_reads_and_rewrites_every_byte_beyond_4_gib(self):
        image = self.make_sparse_image()
        before = os.stat(image)
        starter = self.path("starter.exe")
        with open(starter, "wb") as f:
            f.write(b"MZ starter")
        started = time.monotonic()
        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"), "-B", starter])
        elapsed = time.monotonic() - started
        self.assertEqual(code, 0, out[-3000:] + err)
        self.assertIn("pack ISO image succeeded\n", out)
        # The source stays as the backup, untouched.
        after = os.stat(image + ".bak")
        self.assertEqual((after.st_ino, after.st_size, after.st_mtime_ns),
                         (before.st_ino, before.st_size, before.st_mtime_ns))

        self.assertGreater(os.path.getsize(image), 4 * GIB)
        huge_extent, huge_size = file_location(image, "/DATA/HUGE.DAT")
        self.assertEqual(huge_size, HUGE_SIZE)
        self.assert_huge_file(image, huge_extent)

        tail_extent, tail_size = file_location(image, "/DATA/TAIL.BIN")
        self.assertGreater(tail_extent * SECTOR, 4 * GIB)
        self.assertEqual(read_span(image, tail_extent, tail_size), self.tail)
        # The file's last sector is completed with zeros.
        padding = -tail_size % SECTOR
        with open(image, "rb") as f:
            f.seek(tail_extent * SECTOR + tail_size)
            self.assertEqual(f.read(padding), bytes(padding))

        # The start-up file was read from beyond 4 GiB, edited and packed
        # again behind the huge file.
        xml_extent, xml_size = file_location(image, "/FERROVANE/REDODOZAD.XML")
        self.assertGreater(xml_extent * SECTOR, 4 * GIB)
        xml = read_span(image, xml_extent, xml_size)
        self.assertTrue(xml.startswith(t.REDODOZAD[:-len(b"</redoDozad>\r\n")]), xml)
        self.assertIn(b"\\PROGRAMS\\starter.exe", xml)
        self.assertTrue(xml.endswith(b"</redoDozad>\r\n"), xml)
        starter_extent, starter_size = file_location(image, "/PROGRAMS/starter.exe")
        self.assertEqual(read_span(image, starter_extent, starter_size), b"MZ starter")
        print("run on the %.1f GiB image took %.1f s" % (before.st_size / GIB, elapsed), file=sys.stderr)


class LargeDirectoriesAndDeepTrees(t.ScratchTestCase):
    """20,000 entries in one directory, in the source image and in a local
    directory added to it, and a tree 8 levels deep, all through one run."""

    ENTRIES = 20000
    DEPTH = 8

    def setUp(self):
        super().setUp()
        # Tens of thousands of small files are made and removed far faster
        # in memory than on a disk file system.
        base = "/dev/shm" if os.path.isdir("/dev/shm") else None
        self.trees = tempfile.mkdtemp(prefix="wpe-large-", dir=base)
        self.addCleanup(shutil.rmtree, self.trees, True)

    def fill(self, directory, prefix):
        os.makedirs(directory, exist_ok=True)
        for i in range(self.ENTRIES):
            with open(os.path.join(directory, "%s%05d.DAT" % (prefix, i)), "wb") as f:
                f.write(b"%s entry %d\n" % (prefix.encode(), i))

    def test_many_entries_and_deep_tree_survive_the_run(self):
        tree = os.path.join(self.trees, "tree")
        t.make_winpe_tree(tree)
        self.fill(os.path.join(tree, "MANY"), "F")
        levels = ["L%d" % level for level in range(1, self.DEPTH + 1)]
        os.makedirs(os.path.join(tree, *levels))
        with open(os.path.join(tree, *levels, "DEEP.TXT"), "wb") as f:
            f.write(b"eight levels down\r\n")
        image = self.path("cd.iso")
        # -D keeps the deep tree where it is instead of relocating it.
        subprocess.run(["genisoimage", "-quiet", "-iso-level", "4", "-untranslated-filenames", "-D",
                        "-b", "BOOT/BOOT.IMG", "-no-emul-boot", "-boot-load-size", "4",
                        "-o", image, tree], check=True, stderr=subprocess.DEVNULL)
        old_files, old_dirs = t.read_image(image)
        self.assertIn("/" + "/".join(levels) + "/DEEP.TXT", old_files)
        self.assertEqual(len([n for n in old_files if n.startswith("/MANY/")]), self.ENTRIES)

        package = os.path.join(self.trees, "PKG")
        self.fill(package, "P")
        # The program is copied into the workspace, so it stays on the
        # workspace's file system.
        program = self.path("prog.exe")
        with open(program, "wb") as f:
            f.write(b"MZ prog")
        started = time.monotonic()
        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"), "-f",
                                     "-b", program, "-X", package])
        elapsed = time.monotonic() - started
        self.assertEqual(code, 0, out[-3000:] + err)
        self.assertIn("pack ISO image succeeded\n", out)

        files, dirs = t.read_image(image)
        self.assertTrue(old_dirs <= dirs)
        for name, data in old_files.items():
            if name != "/WINBOM.INI":
                self.assertEqual(files[name], data, name)
        added = {name: data for name, data in files.items() if name.startswith("/PKG/")}
        self.assertEqual(len(added), self.ENTRIES)
        for name, data in added.items():
            self.assertEqual(data, b"P entry %d\n" % int(name[len("/PKG/P"):-len(".DAT")]), name)
        self.assertEqual(set(files), set(old_files) | set(added) | {"/PROGRAMS/prog.exe"})

        # Records of a directory are in identifier order, so a reader can
        # search them; check it on the raw extents of both big directories.
        for directory in ("/MANY", "/PKG"):
            names = self.raw_names(image, directory)
            self.assertEqual(len(names), self.ENTRIES)
            self.assertEqual(names, sorted(names))
        print("run with 2 x %d entries took %.1f s" % (self.ENTRIES, elapsed), file=sys.stderr)

    def raw_names(self, image, directory):
        extent, size = file_location(image, directory)
        data = read_span(image, extent, size)
        names, pos = [], 0
        while pos < len(data):
            if data[pos] == 0:
                pos = (pos // SECTOR + 1) * SECTOR
                continue
            name = data[pos + 33:pos + 33 + data[pos + 32]]
            if name not in (b"\x00", b"\x01"):
                names.append(name)
            pos += data[pos]
        return names


if __name__ == "__main__":
    t.main()
