"""Faults during a run, seen from outside the process: a full output disk,
SIGKILL, sources that change under the run, and damaged images."""

import os
import resource
import shutil
import signal
import struct
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

SECTOR = t.SECTOR
BIG_CHUNK, MARKER = t.BIG_CHUNK, t.MARKER
sha256, inode, find_record, root_directory = t.sha256, t.inode, t.find_record, t.root_directory
set_both32, set_extent, FaultCase = t.set_both32, t.set_extent, t.FaultCase


class DiskFull(FaultCase):
    def test_file_size_limit_with_the_default_signal(self):
        # Left at its default, SIGXFSZ would kill the tool mid-write; the tool
        # ignores it, so the write fails with EFBIG instead.
        image = self.make_image(big_megabytes=6)
        limit = os.path.getsize(image) // 2

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        out = self.run_failing(self.args(image), image, preexec_fn=limit_file_size)
        self.assertIn("Log: pack image file back ...", out)
        # The pack's fixed line follows the one that says which file and why.
        self.assertIn("cannot write %s.tmp: File too large\n"
                      "  write directory record and file failed - IO error\n" % image, out)

    def test_no_space_left_on_a_small_file_system(self):
        mount_point = self.path("small-fs")
        os.makedirs(mount_point)
        proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=9m", "tmpfs", mount_point],
                              capture_output=True)
        if proc.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: " + proc.stderr.decode(errors="replace"))
        self.addCleanup(shutil.rmtree, self.dir, True)  # once unmounted, just below
        self.addCleanup(subprocess.run, ["umount", "-l", mount_point], capture_output=True)
        image = os.path.join(mount_point, "cd.iso")
        shutil.move(self.make_image(big_megabytes=6), image)
        # Workspace and sources share the small file system, so it is the new
        # image that runs out of room.
        work, marker = os.path.join(mount_point, "work"), os.path.join(mount_point, "M.EXE")
        shutil.copyfile(self.path("MARKER.EXE"), marker)
        out = self.run_failing(self.args(image, work, marker), image, work)
        self.assertIn("Log: pack image file back ...", out)
        self.assertIn("cannot write %s.tmp: No space left on device\n" % image, out)
        self.assertEqual(sorted(os.listdir(mount_point)), ["M.EXE", "cd.iso"])


    def test_workspace_on_another_file_system(self):
        # Copies into the workspace must not rely on one device for both ends.
        shm = "/dev/shm"
        if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(self.dir).st_dev:
            self.skipTest("no second file system at " + shm)
        image = self.make_image()
        work = os.path.join(shm, "wpe-test-%d" % os.getpid())
        self.addCleanup(shutil.rmtree, work, True)
        proc = subprocess.run([t.TOOL] + self.args(image, work), capture_output=True, env=self.env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertFalse(os.path.exists(work))


class KilledRun(FaultCase):
    BIG_MB = 64

    def setUp(self):
        super().setUp()
        self.pristine = self.make_image(big_megabytes=self.BIG_MB, name="pristine.iso")
        self.old_hash = sha256(self.pristine)

    def start(self, label):
        folder = self.path(label)
        os.makedirs(folder)
        image, work = os.path.join(folder, "cd.iso"), os.path.join(folder, "work")
        shutil.copyfile(self.pristine, image)
        proc = subprocess.Popen([t.TOOL] + self.args(image, work), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=self.env)
        self.addCleanup(proc.stderr.close)
        return proc, image, work

    def is_complete_new_image(self, path):
        data = t.file_bytes(path)
        try:
            marker = find_record(data, "PROGRAMS/MARKER.EXE")
            big = find_record(data, "BIG/DATA.BIN")
        except (KeyError, IndexError, struct.error):
            return False
        span = lambda r: data[r[1] * SECTOR:r[1] * SECTOR + r[2]]  # noqa: E731
        return span(marker) == MARKER and span(big) == BIG_CHUNK * self.BIG_MB

    def test_kill_at_several_points_of_a_run(self):
        size = os.path.getsize(self.pristine)

        def tmp_size(img):
            return os.path.getsize(img + ".tmp") if os.path.exists(img + ".tmp") else -1

        points = {
            "workspace made": lambda img, work: os.path.isdir(work),
            ".tmp half written": lambda img, work: tmp_size(img) >= size // 2,
            ".tmp nine tenths written": lambda img, work: tmp_size(img) >= size * 9 // 10,
            ".bak created": lambda img, work: os.path.exists(img + ".bak"),
        }
        for index, (label, reached) in enumerate(points.items()):
            proc, image, work = self.start("k%d" % index)
            while proc.poll() is None and not reached(image, work):
                pass
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
            elif label != ".bak created":
                self.fail(label + ": the run ended before the moment was seen")
            proc.wait()
            # The image's name holds the old image, or the complete new one
            # with the old one under ".bak".
            self.assertTrue(os.path.exists(image), label)
            if sha256(image) != self.old_hash:
                self.assertEqual(sha256(image + ".bak"), self.old_hash, label)
                self.assertTrue(self.is_complete_new_image(image), label)
                self.assertFalse(os.path.exists(image + ".tmp"), label)
            # A second run recovers from whatever the kill left; past the swap
            # the marker is in the image already and gets a new name.
            before = sha256(image)
            code, out, err = t.run_tool(self.args(image, work), b"c\nMARKER2.EXE\n", self.env)
            self.assertEqual(code, 0, label + ": " + err)
            self.assertEqual(sha256(image + ".bak"), before, label)
            self.assertTrue(self.is_complete_new_image(image), label)
            self.assertEqual(os.listdir(work) if os.path.exists(work) else [], [], label)
            self.assertEqual(os.listdir(self.tmpdir), [], label)
            self.assertFalse(os.path.exists(image + ".tmp"), label)
            shutil.rmtree(os.path.dirname(image))

    def test_image_name_never_missing_during_a_run(self):
        proc, image, _ = self.start("watched")
        old_inode, new_inode, observations = os.stat(image).st_ino, None, 0
        while proc.poll() is None:
            new_inode = inode(image + ".tmp") or new_inode
            self.assertIn(inode(image), {old_inode, new_inode} - {None}, "no old or new image")
            self.assertIn(old_inode, (inode(image), inode(image + ".bak")),
                          "the old image has neither of its names")
            observations += 1
        self.assertEqual((proc.returncode, observations > 10), (0, True), proc.stderr.read())
        self.assertEqual(inode(image + ".bak"), old_inode)


class SourceChangesDuringRun(FaultCase):
    def test_added_source_changes_while_the_run_waits_at_a_prompt(self):
        # NEW.BIN passes the checks; README.TXT then meets \DOCS\README.TXT of
        # the image and the run waits for an answer while NEW.BIN changes.
        image = self.make_image()
        old = sha256(image)
        new, readme = self.path("src", "NEW.BIN"), self.path("src", "README.TXT")
        t.write(readme, b"conflicting")
        for label, change in (("removed", os.remove), ("truncated", lambda p: os.truncate(p, 10))):
            with self.subTest(label):
                t.write(new, b"new file" * 1000)
                proc = subprocess.Popen(
                    [t.TOOL, "-i", image, "-t", self.path("work"), "-f",
                     "-Y", new + "%\\DOCS", "-Y", readme + "%\\DOCS"], stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
                out = b""
                while b"press 'c' to change name" not in out:
                    out += proc.stdout.read1(65536) or self.fail("no prompt: " + out.decode())
                change(new)
                rest, err = proc.communicate(b"o\n", timeout=600)
                out = (out + rest).decode("latin-1")
                self.assertIn("Log: pack image file back ...", out)
                self.assert_failed_untouched(image, old, proc.returncode, out, err.decode())


class DamagedImage(FaultCase):
    LEVELS = 30

    def test_damaged_images_fail_cleanly(self):
        def chain(root):
            # Later shared: two records per level point at the next level, so
            # a reader that follows each one meets 2**30 directories.
            for i in range(self.LEVELS):
                os.makedirs(os.path.join(root, *["A"] * i, "B"))
            t.write(os.path.join(root, *["A"] * self.LEVELS, "LEAF.TXT"), b"leaf")

        data = t.file_bytes(self.make_image(name="pristine.iso", tree_extra=chain))
        far, huge = 0x7FFFFFF0 // SECTOR, 0xFFFFFFFF
        catalog = struct.unpack_from("<I", data, 17 * SECTOR + 71)[0] * SECTOR
        files = [find_record(data, p) for p in self.tree_files]
        i386, winbom, readme = (find_record(data, p)
                                for p in ("I386", "WINBOM.INI", "DOCS/README.TXT"))

        def share(d):
            for i in range(self.LEVELS):
                set_extent(d, "/".join(["A"] * i + ["B"]),
                           *find_record(bytes(d), "/".join(["A"] * (i + 1)))[1:])

        cases = {
            "cut in the system area": lambda d: d[:1000],
            "cut in the root directory": lambda d: d[:root_directory(data)[0] * SECTOR + 100],
            "cut in a retrieved file": lambda d: d[:winbom[1] * SECTOR + 10],
            # Only the pack reads this one: the failure comes late.
            "cut in a file the pack copies": lambda d: d[:readme[1] * SECTOR + 9],
            "cut short of the last file": lambda d: d[:max(r[1] * SECTOR + r[2] for r in files) - 1],
            "boot catalog past the end": lambda d: struct.pack_into("<I", d, 17 * SECTOR + 71, far),
            "boot image past the end": lambda d: struct.pack_into("<I", d, catalog + 40, far),
            # The largest sector count, from a load RBA near the end.
            "boot image sector count": lambda d: struct.pack_into(
                "<HI", d, catalog + 38, 0xFFFF, len(d) // SECTOR - 1),
            "root directory past the end": lambda d: set_both32(d, 16 * SECTOR + 158, far),
            "subdirectory past the end": lambda d: set_extent(d, "I386", far),
            "retrieved file size": lambda d: set_extent(d, "WINBOM.INI", winbom[1], huge),
            "file the pack copies past the end": lambda d: set_extent(d, "DOCS/README.TXT", far),
            "loop to root": lambda d: set_extent(d, "I386", *root_directory(data)),
            "loop to parent": lambda d: set_extent(d, "I386/SYSTEM32", *i386[1:]),
            "loop to grandparent": lambda d: set_extent(d, "I386/SYSTEM32/CONFIG", *i386[1:]),
            "shared directory extents": share,
        }
        for label, mutate in cases.items():
            with self.subTest(label):
                damaged = bytearray(data)
                damaged = mutate(damaged) or damaged
                image = self.path(label.replace(" ", "-") + ".iso")
                with open(image, "wb") as f:
                    f.write(damaged)
                self.run_failing(self.args(image), image)


if __name__ == "__main__":
    t.main()
