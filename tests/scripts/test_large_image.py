"""Scale: an image beyond 4 GiB, 20,000 entries in a directory, a file of several extents."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
import wpe_testlib as t  # noqa: E402

SECTOR = t.SECTOR
GIB = 1024 ** 3
HUGE_SIZE = 4 * GIB - SECTOR  # the largest single extent, rounded to a sector
MARKERS = {0: b"huge-start", HUGE_SIZE // 2 + 5: b"huge-middle", HUGE_SIZE - 9: b"huge-end!"}


def both32(value):
    return struct.pack("<I", value) + struct.pack(">I", value)


def location(image, iso_path):
    with t.pycdlib_open(image) as iso:
        record = iso.get_record(iso_path=iso_path)
        return record.extent_location(), record.get_data_length()


def read_span(image, extent, size):
    with open(image, "rb") as f:
        f.seek(extent * SECTOR)
        return f.read(size)


def move_file(image, directory, name, extent, size, pieces):
    # The pieces of the file's data are written, the rest stays a hole.
    directory_extent = location(image, directory)[0]
    sector = read_span(image, directory_extent, SECTOR)
    pos = sector.index(bytes([len(name)]) + name.encode()) - 32
    with open(image, "r+b") as f:
        f.seek(directory_extent * SECTOR + pos + 2)
        f.write(both32(extent) + both32(size))
        for at, data in pieces:
            f.seek(extent * SECTOR + at)
            f.write(data)


class ImageBeyondFourGib(t.ScratchTestCase):
    def test_run_reads_and_rewrites_every_byte_beyond_4_gib(self):
        # The new image may hold every byte of the sparse source.
        if shutil.disk_usage(self.dir).free < 12 * GIB:
            self.skipTest("needs 12 GB of free disk space")
        # A huge file ending beyond 4 GiB, then the start-up file the run edits.
        tree = self.path("tree")
        t.make_winpe_tree(tree)
        t.write(os.path.join(tree, "DATA", "HUGE.DAT"), b"placeholder")
        image = t.master(tree, self.path("cd.iso"))
        huge_extent = os.path.getsize(image) // SECTOR
        xml_extent = huge_extent + HUGE_SIZE // SECTOR + 7
        move_file(image, "/DATA", "HUGE.DAT", huge_extent, HUGE_SIZE, MARKERS.items())
        move_file(image, "/FERROVANE", "REDODOZAD.XML", xml_extent, len(t.REDODOZAD),
                  [(0, t.REDODOZAD)])
        with open(image, "r+b") as f:
            f.truncate((xml_extent + 1) * SECTOR)
            f.seek(16 * SECTOR + 80)
            f.write(both32(xml_extent + 1))
        t.write(self.path("starter.exe"), b"MZ starter")

        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"),
                                     "-B", self.path("starter.exe")])
        self.assertEqual(code, 0, out[-3000:] + err)

        # The huge file holds its markers and zeros everywhere else.
        extent, size = location(image, "/DATA/HUGE.DAT")
        self.assertEqual(size, HUGE_SIZE)
        chunk = 64 * 1024 * 1024
        with open(image, "rb") as f:
            f.seek(extent * SECTOR)
            for done in range(0, HUGE_SIZE, chunk):
                data = bytearray(f.read(min(chunk, HUGE_SIZE - done)))
                for at, marker in MARKERS.items():
                    if done <= at < done + len(data):
                        self.assertEqual(data[at - done:at - done + len(marker)], marker)
                        data[at - done:at - done + len(marker)] = bytes(len(marker))
                self.assertEqual(data.count(0), min(chunk, HUGE_SIZE - done), "after %d" % done)

        # The start-up file lies beyond 4 GiB, its last sector completed with zeros.
        extent, size = location(image, "/FERROVANE/REDODOZAD.XML")
        self.assertGreater(extent * SECTOR, 4 * GIB)
        xml = t.REDODOZAD.replace(b"</redoDozad>", b"<exec processName=\"\\PROGRAMS\\starter.exe\" "
                                  b"currentDir=\"\\PROGRAMS\\\" />\r\n</redoDozad>")
        self.assertEqual(size, len(xml))
        self.assertEqual(read_span(image, extent, SECTOR), xml + bytes(SECTOR - len(xml)))
        self.assertEqual(read_span(image, *location(image, "/PROGRAMS/starter.exe")), b"MZ starter")


class LargeDirectories(t.ScratchTestCase):
    ENTRIES = 20000

    def test_many_entries_survive_the_run(self):
        # Tens of thousands of small files are made far faster in memory.
        trees = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.addCleanup(shutil.rmtree, trees, True)
        tree, package = os.path.join(trees, "tree"), os.path.join(trees, "PKG")
        t.make_winpe_tree(tree)
        for directory, prefix in ((os.path.join(tree, "MANY"), "F"), (package, "P")):
            for i in range(self.ENTRIES):
                name = "%s%05d.DAT" % (prefix, i)
                t.write(os.path.join(directory, name), name.encode())
        image = t.master(tree, self.path("cd.iso"))
        old_files, old_dirs = t.read_image(image)
        t.write(self.path("prog.exe"), b"MZ prog")

        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"),
                                     "-b", self.path("prog.exe"), "-X", package])
        self.assertEqual(code, 0, out[-3000:] + err)
        files, dirs = t.read_image(image)
        self.assertTrue(old_dirs <= dirs)
        added = {"/PKG/P%05d.DAT" % i: b"P%05d.DAT" % i for i in range(self.ENTRIES)}
        added["/PROGRAMS/prog.exe"] = b"MZ prog"
        self.assertEqual(files, {**old_files, **added})


WIM_SIZE = 4200 * 1024 ** 2
# The middle one straddles the end of the first extent.
WIM_MARKERS = {0: b"wim-start", HUGE_SIZE - 4: b"straddles", WIM_SIZE - 7: b"wim-end"}


def file_records(image, directory_extent, name):
    """(extent, size, flags) of every record named `name` in a one-sector directory."""
    sector = read_span(image, directory_extent, SECTOR)
    records, at = [], 0
    while at < SECTOR and sector[at]:
        length, id_length = sector[at], sector[at + 32]
        if sector[at + 33:at + 33 + id_length] == name:
            records.append(struct.unpack_from("<I", sector, at + 2) +
                           struct.unpack_from("<I", sector, at + 10) + (sector[at + 25],))
        at += length
    return records


def read_at(path, records, at, length):
    """`length` bytes from `at` of the file the records describe, across extents."""
    data = b""
    with open(path, "rb") as f:
        for extent, size, _ in records:
            if at < size and len(data) < length:
                f.seek(extent * SECTOR + at)
                data += f.read(min(length - len(data), size - at))
            at = max(0, at - size)
    return data


class FileOfSeveralExtents(t.ScratchTestCase):
    def test_comes_out_as_one_file_in_either_layout(self):
        tree = self.path("tree")
        t.make_winpe_tree(tree)
        wim = os.path.join(tree, "SOURCES", "BOOT.WIM")
        t.write(wim, b"")
        os.truncate(wim, WIM_SIZE)
        with open(wim, "r+b") as f:
            for at, marker in WIM_MARKERS.items():
                f.seek(at)
                f.write(marker)
        # The image keeps the file's holes only through a sparse copy.
        image = self.path("cd.iso")
        subprocess.run("%s -o - '%s' | cp --sparse=always /dev/stdin '%s'" % (
            " ".join(t.XORRISO + ["-iso-level", "3", "-J"] + t.BOOT), tree, image),
            shell=True, check=True, capture_output=True)
        if os.stat(image).st_blocks * 512 > GIB:
            self.skipTest("the file system here keeps no holes")
        t.write(self.path("prog.exe"), b"MZ prog")
        for layout in ("keep", "compact"):
            out = self.path(layout + ".iso")
            code, text, err = t.run_tool(["-i", image, "-o", out, "-t", self.path("w" + layout),
                                          "--layout=" + layout, "-b", self.path("prog.exe")])
            self.assertEqual(code, 0, text[-3000:] + err)
            listing = subprocess.run(["7z", "l", "-slt", out], capture_output=True, check=True).stdout
            self.assertEqual(listing.count(b"Path = SOURCES/BOOT.WIM\n"), 1, layout)
            self.assertIn(b"Path = SOURCES/BOOT.WIM\nFolder = -\nSize = %d\n" % WIM_SIZE, listing)
            with t.pycdlib_open(out) as iso:
                directories = [iso.get_record(iso_path="/SOURCES").extent_location(),
                               iso.get_record(joliet_path="/SOURCES").extent_location()]
            for directory, name in zip(directories, (b"BOOT.WIM;1", "BOOT.WIM".encode("utf-16-be"))):
                records = file_records(out, directory, name)
                # Every extent but the last says that another follows.
                self.assertEqual([flags & 0x80 for _, _, flags in records], [0x80, 0], layout)
                self.assertEqual(sum(size for _, size, _ in records), WIM_SIZE)
                for at, marker in WIM_MARKERS.items():
                    self.assertEqual(read_at(out, records, at, len(marker)), marker, (layout, at))


if __name__ == "__main__":
    t.main()
