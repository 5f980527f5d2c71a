"""Faults during a run, seen from outside the process: a full output disk,
SIGKILL at any moment, sources that change under the run, and damaged
images. After each, the user's image must be byte-identical (or, after a
kill late in the run, replaced by the complete new image with the old one
kept as ".bak"), and nothing may be left behind but what the tool documents.
"""

import hashlib
import os
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

SECTOR = 2048
# A pattern that does not compress into runs of one byte, repeated; large
# enough that packing takes a noticeable share of the run.
BIG_CHUNK = bytes((i * 7919 + (i >> 11)) & 0xFF for i in range(1 << 20))


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


# --- Reading and patching ISO 9660 directory records of a genisoimage image ---

def directory_records(data, extent, size):
    """(offset in image, name bytes, flags, extent, size) of each record of a
    directory extent, "." and ".." included."""
    records = []
    start = extent * SECTOR
    p = 0
    while p < size:
        length = data[start + p]
        if length == 0:
            p = (p // SECTOR + 1) * SECTOR
            continue
        at = start + p
        name_len = data[at + 32]
        records.append((at, bytes(data[at + 33:at + 33 + name_len]), data[at + 25],
                        struct.unpack_from("<I", data, at + 2)[0],
                        struct.unpack_from("<I", data, at + 10)[0]))
        p += length
    return records


def root_directory(data):
    at = 16 * SECTOR + 156
    return struct.unpack_from("<I", data, at + 2)[0], struct.unpack_from("<I", data, at + 10)[0]


def find_record(data, image_path):
    """The record of an image path such as "I386/SYSTEM32"."""
    extent, size = root_directory(data)
    record = None
    for component in image_path.split("/"):
        matches = [r for r in directory_records(data, extent, size) if r[1] == component.encode()]
        if not matches:
            raise KeyError(image_path)
        record = matches[0]
        extent, size = record[3], record[4]
    return record


def set_both32(data, at, value):
    struct.pack_into("<I", data, at, value)
    struct.pack_into(">I", data, at + 4, value)


def set_record_extent(data, record_offset, extent, size=None):
    set_both32(data, record_offset + 2, extent)
    if size is not None:
        set_both32(data, record_offset + 10, size)


class FaultCase(t.ScratchTestCase):
    """A WinPE image, the tool's arguments for a firewall switch plus one
    added program, and the checks every fault test ends with."""

    def setUp(self):
        super().setUp()
        self.tmpdir = self.path("tmpdir")
        os.makedirs(self.tmpdir)
        self.env = dict(os.environ, TMPDIR=self.tmpdir)
        with open(self.path("MARKER.EXE"), "wb") as f:
            f.write(b"MZ marker" * 100)
        self.mounts = []

    def tearDown(self):
        # Unmounted first, so that the scratch directory can go as a whole.
        for mount_point in self.mounts:
            subprocess.run(["umount", "-l", mount_point], capture_output=True)
        super().tearDown()

    def make_image(self, big_megabytes=0, name="cd.iso", tree_extra=None, extra_args=()):
        tree = self.path(name + ".tree")
        t.make_winpe_tree(tree)
        if big_megabytes:
            os.makedirs(os.path.join(tree, "BIG"))
            with open(os.path.join(tree, "BIG", "DATA.BIN"), "wb") as f:
                for _ in range(big_megabytes):
                    f.write(BIG_CHUNK)
        if tree_extra:
            tree_extra(tree)
        image = self.path(name)
        subprocess.run(["genisoimage", "-quiet", "-iso-level", "4", "-untranslated-filenames",
                        "-b", "BOOT/BOOT.IMG", "-no-emul-boot", "-boot-load-size", "4",
                        *extra_args, "-o", image, tree], check=True, stderr=subprocess.DEVNULL)
        shutil.rmtree(tree)
        return image

    def args(self, image, work=None):
        return ["-i", image, "-t", work or self.path("work"), "-f",
                "-b", self.path("MARKER.EXE")]

    def run_tool(self, args, **kwargs):
        proc = subprocess.run([t.TOOL] + args, capture_output=True, env=self.env, timeout=600,
                              **kwargs)
        return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")

    def assert_nothing_left(self, image, work=None, tmp_may_stay=False):
        work = work or self.path("work")
        self.assertFalse(os.path.exists(work), "workspace left behind: " + work)
        self.assertEqual(os.listdir(self.tmpdir), [], "files left in the temporary directory")
        if not tmp_may_stay:
            self.assertFalse(os.path.exists(image + ".tmp"), ".tmp left behind")

    def assert_failed_untouched(self, image, old_hash, code, out, err, work=None):
        self.assertEqual(code, 1, out + err)
        self.assertEqual(sha256(image), old_hash, "the source image was changed")
        self.assertFalse(os.path.exists(image + ".bak"), "a .bak appeared after a failed run")
        self.assertNotIn("AddressSanitizer", err)
        self.assertNotIn("runtime error", err)
        self.assert_nothing_left(image, work)


class DiskFull(FaultCase):
    """The output file cannot grow beyond a limit while the new image is packed."""

    def test_file_size_limit_during_pack(self):
        image = self.make_image(big_megabytes=6)
        old = sha256(image)
        limit = os.path.getsize(image) // 2

        def limit_file_size():
            # Ignored, SIGXFSZ turns into EFBIG on the write that crosses the
            # limit, which the tool must handle like a full disk.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        code, out, err = self.run_tool(self.args(image), preexec_fn=limit_file_size)
        self.assertIn("Log: pack image file back ...", out)
        self.assertNotIn("pack image file back succeeded", out)
        self.assert_failed_untouched(image, old, code, out, err)

    def test_file_size_limit_with_the_default_signal(self):
        # SIGXFSZ left at its default would kill the tool mid-write; the tool
        # ignores it, so the write fails and the run cleans up.
        image = self.make_image(big_megabytes=6)
        old = sha256(image)
        limit = os.path.getsize(image) // 2

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        code, out, err = self.run_tool(self.args(image), preexec_fn=limit_file_size)
        self.assert_failed_untouched(image, old, code, out, err)

    def mount_small_file_system(self, megabytes):
        mount_point = self.path("small-fs")
        os.makedirs(mount_point)
        proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % megabytes, "tmpfs",
                               mount_point], capture_output=True)
        if proc.returncode != 0:
            self.skipTest("cannot mount a small tmpfs here (needs root with CAP_SYS_ADMIN): " +
                          proc.stderr.decode(errors="replace").strip())
        self.mounts.append(mount_point)
        return mount_point

    def test_no_space_left_on_a_small_file_system(self):
        image_megabytes = 6
        mount_point = self.mount_small_file_system(image_megabytes + 3)
        built = self.make_image(big_megabytes=image_megabytes)
        image = os.path.join(mount_point, "cd.iso")
        shutil.copyfile(built, image)
        os.remove(built)
        old = sha256(image)
        # Workspace and sources share the small file system, so it is the new
        # image that runs out of room, not the files retrieved before it.
        work = os.path.join(mount_point, "work")
        marker = os.path.join(mount_point, "MARKER.EXE")
        shutil.copyfile(self.path("MARKER.EXE"), marker)
        code, out, err = self.run_tool(["-i", image, "-t", work, "-f", "-b", marker])
        self.assertIn("Log: pack image file back ...", out)
        self.assert_failed_untouched(image, old, code, out, err, work)
        self.assertEqual(sorted(os.listdir(mount_point)), ["MARKER.EXE", "cd.iso"])

    def test_workspace_on_another_file_system(self):
        # Not a fault in itself, but where a temporary directory is a tmpfs
        # every copy into the workspace crosses file systems.
        mount_point = self.mount_small_file_system(16)
        image = self.make_image()
        work = os.path.join(mount_point, "work")
        code, out, err = self.run_tool(["-i", image, "-t", work, "-f", "-b",
                                        self.path("MARKER.EXE")])
        self.assertEqual(code, 0, out + err)
        files, _ = t.read_image(image)
        self.assertEqual(files["/PROGRAMS/MARKER.EXE"], b"MZ marker" * 100)
        self.assert_nothing_left(image, work)


class KilledRun(FaultCase):
    """SIGKILL at many moments of a run on a large image."""

    BIG_MB = 64

    def setUp(self):
        super().setUp()
        self.pristine = self.make_image(big_megabytes=self.BIG_MB, name="pristine.iso")
        self.old_hash = sha256(self.pristine)
        self.old_size = os.path.getsize(self.pristine)
        self.big_hash = hashlib.sha256(BIG_CHUNK * self.BIG_MB).hexdigest()

    def fresh_copy(self, label):
        folder = self.path(label)
        os.makedirs(folder)
        image = os.path.join(folder, "cd.iso")
        shutil.copyfile(self.pristine, image)
        return image, os.path.join(folder, "work")

    def start(self, image, work):
        proc = subprocess.Popen([t.TOOL] + self.args(image, work), stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=self.env)
        self.addCleanup(proc.stderr.close)
        return proc

    def is_complete_new_image(self, path):
        """The new image holds the added program and every byte of the large
        file, so a copy cut short anywhere is caught."""
        with open(path, "rb") as f:
            data = f.read()
        try:
            marker = find_record(data, "PROGRAMS/MARKER.EXE")
            big = find_record(data, "BIG/DATA.BIN")
        except (KeyError, IndexError, struct.error):
            return False
        if data[marker[3] * SECTOR:marker[3] * SECTOR + marker[4]] != b"MZ marker" * 100:
            return False
        big_data = data[big[3] * SECTOR:big[3] * SECTOR + big[4]]
        return hashlib.sha256(big_data).hexdigest() == self.big_hash

    def assert_state_after_kill(self, image, label):
        """The old image is complete under the image's name or ".bak"; the
        image's name holds the old image or the complete new one."""
        self.assertTrue(os.path.exists(image), label + ": no file under the image's name")
        current = sha256(image)
        backup = sha256(image + ".bak") if os.path.exists(image + ".bak") else None
        if current == self.old_hash:
            return "old"
        self.assertEqual(backup, self.old_hash,
                         label + ": the old image is neither under its name nor under .bak")
        self.assertTrue(self.is_complete_new_image(image),
                        label + ": the image's name holds an incomplete new image")
        self.assertFalse(os.path.exists(image + ".tmp"),
                         label + ": the new image is in place but .tmp is still there")
        return "new"

    def assert_rerun_recovers(self, image, work, label):
        # Whatever a kill left (workspace, .tmp, .bak), a later run finishes
        # cleanly; when the first run got as far as the swap, the marker is in
        # the image already and its conflict is answered with a new name.
        before = sha256(image)
        proc = subprocess.run([t.TOOL] + self.args(image, work), input=b"c\nMARKER2.EXE\n",
                              capture_output=True, env=self.env, timeout=600)
        self.assertEqual(proc.returncode, 0, label + ": " + proc.stderr.decode("latin-1"))
        self.assertEqual(sha256(image + ".bak"), before)
        self.assertTrue(self.is_complete_new_image(image))
        # A workspace the kill left behind existed before this run: it is
        # kept, empty.
        self.assertEqual(os.listdir(work) if os.path.exists(work) else [], [])
        self.assertEqual(os.listdir(self.tmpdir), [])
        self.assertFalse(os.path.exists(image + ".tmp"))

    def timed_run(self):
        image, work = self.fresh_copy("timing")
        started = time.monotonic()
        proc = self.start(image, work)
        proc.stdin.close()
        proc.wait(timeout=600)
        self.assertEqual(proc.returncode, 0, proc.stderr.read().decode("latin-1"))
        return time.monotonic() - started

    def test_kill_at_fractions_of_a_run(self):
        duration = self.timed_run()
        outcomes = []
        for fraction in (0.02, 0.1, 0.25, 0.4, 0.55, 0.7, 0.8, 0.9, 0.95, 0.98, 1.0):
            label = "kill at %.0f%% of %.2fs" % (fraction * 100, duration)
            image, work = self.fresh_copy("f%03d" % int(fraction * 100))
            proc = self.start(image, work)
            proc.stdin.close()
            try:
                proc.wait(timeout=duration * fraction)
            except subprocess.TimeoutExpired:
                proc.send_signal(signal.SIGKILL)
                proc.wait()
            outcomes.append(self.assert_state_after_kill(image, label))
            self.assert_rerun_recovers(image, work, label)
            shutil.rmtree(os.path.dirname(image))
        # Both sides of the swap were seen, or the timing is meaningless.
        self.assertIn("old", outcomes)

    def wait_for(self, proc, condition, timeout=120):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return True
            if proc.poll() is not None:
                return False
        return False

    def test_kill_at_events_of_a_run(self):
        events = [
            ("workspace made", lambda img, work: os.path.isdir(work)),
            ("boot image extracted",
             lambda img, work: os.path.exists(os.path.join(work, "BootImage.bin"))),
            (".tmp created", lambda img, work: os.path.exists(img + ".tmp")),
            (".tmp half written",
             lambda img, work: os.path.exists(img + ".tmp") and
             os.path.getsize(img + ".tmp") >= self.old_size // 2),
            (".bak created", lambda img, work: os.path.exists(img + ".bak")),
        ]
        for index, (label, condition) in enumerate(events):
            image, work = self.fresh_copy("e%d" % index)
            proc = self.start(image, work)
            proc.stdin.close()
            hit = self.wait_for(proc, lambda: condition(image, work))
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
            proc.wait()
            if not hit and label != ".bak created":
                self.fail(label + ": the run ended before the moment was seen")
            self.assert_state_after_kill(image, label)
            self.assert_rerun_recovers(image, work, label)
            shutil.rmtree(os.path.dirname(image))

    def test_image_name_never_missing_during_a_run(self):
        # Watches the file names while a run proceeds: the image's name always
        # stands for the old file or the new one, and the old file never
        # leaves both its names.
        image, work = self.fresh_copy("watched")
        old_inode = os.stat(image).st_ino
        proc = self.start(image, work)
        proc.stdin.close()
        new_inode = None
        observations = 0
        while proc.poll() is None:
            try:
                tmp_inode = os.stat(image + ".tmp").st_ino
                new_inode = tmp_inode
            except FileNotFoundError:
                pass
            try:
                current = os.stat(image).st_ino
            except FileNotFoundError:
                self.fail("no file under the image's name during the run")
            self.assertIn(current, (old_inode, new_inode), "an unknown file under the image's name")
            names = [n for n in (image, image + ".bak") if self._inode(n) == old_inode]
            self.assertTrue(names, "the old image has neither of its names")
            observations += 1
        self.assertEqual(proc.returncode, 0, proc.stderr.read().decode("latin-1"))
        self.assertGreater(observations, 10)
        self.assertEqual(os.stat(image + ".bak").st_ino, old_inode)
        self.assertEqual(sha256(image + ".bak"), self.old_hash)

    @staticmethod
    def _inode(path):
        try:
            return os.stat(path).st_ino
        except FileNotFoundError:
            return None


class SourceChangesDuringRun(FaultCase):
    """A local source passes the checks and is then removed or altered while
    the run waits at a conflict prompt, before the new image is packed."""

    def run_with_prompt(self, image, args, change):
        proc = subprocess.Popen([t.TOOL] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env)
        out = b""
        deadline = time.monotonic() + 120
        while b"press 'c' to change name" not in out:
            ready, _, _ = select.select([proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                proc.kill()
                self.fail("no conflict prompt: " + out.decode("latin-1"))
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            out += chunk
        change()
        rest, err = proc.communicate(b"o\n", timeout=600)
        return proc.returncode, (out + rest).decode("latin-1"), err.decode("latin-1")

    def conflict_case(self, change_name, change):
        image = self.make_image()
        old = sha256(image)
        src = self.path("src")
        os.makedirs(os.path.join(src, "PKG"))
        with open(os.path.join(src, "NEW.BIN"), "wb") as f:
            f.write(b"new file" * 1000)
        with open(os.path.join(src, "PKG", "INSIDE.BIN"), "wb") as f:
            f.write(b"inside" * 1000)
        with open(os.path.join(src, "README.TXT"), "wb") as f:
            f.write(b"conflicting")
        # NEW.BIN and PKG are handed to the modifier first; README.TXT then
        # meets "\DOCS\README.TXT" of the image and the run waits for an answer.
        args = ["-i", image, "-t", self.path("work"), "-f",
                "-X", os.path.join(src, "PKG") + "%\\DOCS",
                "-Y", os.path.join(src, "NEW.BIN") + "%\\DOCS",
                "-Y", os.path.join(src, "README.TXT") + "%\\DOCS"]
        code, out, err = self.run_with_prompt(image, args, lambda: change(src))
        self.assertIn("Log: pack image file back ...", out, change_name)
        self.assert_failed_untouched(image, old, code, out, err)

    def test_added_file_removed(self):
        self.conflict_case("removed", lambda src: os.remove(os.path.join(src, "NEW.BIN")))

    def test_added_file_replaced_by_a_directory(self):
        def change(src):
            os.remove(os.path.join(src, "NEW.BIN"))
            os.makedirs(os.path.join(src, "NEW.BIN"))
        self.conflict_case("replaced by a directory", change)

    def test_added_file_shrinks(self):
        def change(src):
            with open(os.path.join(src, "NEW.BIN"), "r+b") as f:
                f.truncate(10)
        self.conflict_case("truncated", change)

    def test_file_of_added_directory_removed(self):
        self.conflict_case("removed from its directory",
                           lambda src: os.remove(os.path.join(src, "PKG", "INSIDE.BIN")))

    def test_added_file_made_unreadable(self):
        if os.geteuid() == 0:
            self.skipTest("running as root: file permissions do not stop root from reading")
        self.conflict_case("unreadable", lambda src: os.chmod(os.path.join(src, "NEW.BIN"), 0))


class DamagedImage(FaultCase):
    """Images that are cut short or whose pointers lead outside the image or in
    circles: the run fails, touches nothing and removes its workspace."""

    def setUp(self):
        super().setUp()
        self.pristine = self.make_image(name="pristine.iso")
        with open(self.pristine, "rb") as f:
            self.data = f.read()

    def damaged(self, label, mutate):
        data = bytearray(self.data)
        result = mutate(data)
        if result is not None:
            data = result
        image = self.path(label + ".iso")
        with open(image, "wb") as f:
            f.write(data)
        return image

    def assert_run_fails_cleanly(self, label, mutate, timeout=120):
        with self.subTest(label):
            image = self.damaged(label, mutate)
            old = sha256(image)
            work = self.path("work-" + label)
            try:
                proc = subprocess.run([t.TOOL] + self.args(image, work), capture_output=True,
                                      env=self.env, timeout=timeout)
            except subprocess.TimeoutExpired:
                self.fail(label + ": the run did not end within %d s" % timeout)
            self.assert_failed_untouched(image, old, proc.returncode,
                                         proc.stdout.decode("latin-1"),
                                         proc.stderr.decode("latin-1"), work)

    def end_of_last_file(self):
        end = 0
        pending = [root_directory(self.data)]
        while pending:
            extent, size = pending.pop()
            for _, name, flags, child_extent, child_size in directory_records(self.data, extent, size):
                if name in (b"\x00", b"\x01"):
                    continue
                if flags & 2:
                    pending.append((child_extent, child_size))
                else:
                    end = max(end, child_extent * SECTOR + child_size)
        return end

    def catalog_sector(self):
        return struct.unpack_from("<I", self.data, 17 * SECTOR + 71)[0]

    def test_truncated_images(self):
        size = len(self.data)
        winbom = find_record(self.data, "WINBOM.INI")
        readme = find_record(self.data, "DOCS/README.TXT")
        cuts = {
            "empty": 0,
            "inside the system area": 1000,
            "inside the primary volume descriptor": 16 * SECTOR + 100,
            "after the volume descriptors": 19 * SECTOR,
            "inside the root directory": root_directory(self.data)[0] * SECTOR + 100,
            "inside a retrieved file": winbom[3] * SECTOR + 10,
            # Only the pack copies this one: the failure comes late.
            "inside a file copied by the pack": readme[3] * SECTOR + 100,
            "one byte short of the last file": self.end_of_last_file() - 1,
        }
        for label, length in sorted(cuts.items(), key=lambda item: item[1]):
            self.assertLess(length, size)
            self.assert_run_fails_cleanly("cut " + label, lambda d, n=length: d[:n])

    def test_pointers_past_the_end(self):
        far = 0x7FFFFFF0 // SECTOR
        huge = 0xFFFFFFFF

        def record_extent(path, extent, size=None):
            def mutate(d):
                set_record_extent(d, find_record(bytes(d), path)[0], extent, size)
            return mutate

        def self_record_size(path, size):
            def mutate(d):
                record = find_record(bytes(d), path)
                at = directory_records(bytes(d), record[3], record[4])[0][0]
                set_both32(d, at + 10, size)
            return mutate

        def catalog(d):
            struct.pack_into("<I", d, 17 * SECTOR + 71, far)

        def load_rba(d):
            struct.pack_into("<I", d, self.catalog_sector() * SECTOR + 32 + 8, far)

        def sector_count(d):
            # The largest count the field holds, from a load RBA near the end.
            at = self.catalog_sector() * SECTOR + 32
            struct.pack_into("<H", d, at + 6, 0xFFFF)
            struct.pack_into("<I", d, at + 8, len(d) // SECTOR - 1)

        def root_extent(d):
            set_both32(d, 16 * SECTOR + 156 + 2, far)

        def root_size(d):
            set_both32(d, 16 * SECTOR + 156 + 10, huge)
            root = root_directory(bytes(d))[0]
            set_both32(d, root * SECTOR + 10, huge)

        cases = {
            "boot catalog": catalog,
            "boot image": load_rba,
            "boot image sector count": sector_count,
            "root directory": root_extent,
            "root directory size": root_size,
            "subdirectory": record_extent("I386", far),
            # The size of a directory is the one its own "." record gives.
            "subdirectory size": self_record_size("DOCS", huge),
            "retrieved file": record_extent("WINBOM.INI", far),
            "retrieved file size": record_extent("WINBOM.INI", find_record(self.data, "WINBOM.INI")[3], huge),
            "file copied by the pack": record_extent("DOCS/README.TXT", far),
            "size of a file copied by the pack":
                record_extent("DOCS/README.TXT", find_record(self.data, "DOCS/README.TXT")[3], huge),
        }
        for label, mutate in cases.items():
            self.assert_run_fails_cleanly(label.replace(" ", "-"), mutate)

    def test_directory_loops(self):
        root_extent, root_size = root_directory(self.data)
        i386 = find_record(self.data, "I386")

        def to_root(d):
            set_record_extent(d, find_record(bytes(d), "I386")[0], root_extent, root_size)

        def to_itself(d):
            set_record_extent(d, find_record(bytes(d), "I386/SYSTEM32")[0], i386[3], i386[4])

        def to_grandparent(d):
            set_record_extent(d, find_record(bytes(d), "I386/SYSTEM32/CONFIG")[0], i386[3], i386[4])

        for label, mutate in (("to-root", to_root), ("to-parent", to_itself),
                              ("to-grandparent", to_grandparent)):
            self.assert_run_fails_cleanly("loop-" + label, mutate)

    def test_shared_directory_extents_do_not_explode(self):
        # Each level has two subdirectory records that point at the same next
        # level: a chain of n levels unfolds into 2**n directories for a
        # reader that follows every record.
        levels = 30

        def tree(root):
            path = root
            for i in range(levels):
                os.makedirs(os.path.join(path, "B"))
                path = os.path.join(path, "A")
            os.makedirs(path)
            with open(os.path.join(path, "LEAF.TXT"), "wb") as f:
                f.write(b"leaf")

        # -D keeps the deep chain in place instead of relocating it.
        image = self.make_image(name="dag.iso", tree_extra=tree, extra_args=("-D",))
        with open(image, "rb") as f:
            self.data = f.read()

        def mutate(d):
            path = ""
            for i in range(levels):
                a = find_record(bytes(d), path + "A")
                b = find_record(bytes(d), path + "B")
                set_record_extent(d, b[0], a[3], a[4])
                path += "A/"

        started = time.monotonic()
        image = self.damaged("dag", mutate)
        old = sha256(image)
        work = self.path("work-dag")
        try:
            proc = subprocess.run([t.TOOL] + self.args(image, work), capture_output=True,
                                  env=self.env, timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("a tree of shared directory extents kept the run busy for 60 s")
        self.assertLess(time.monotonic() - started, 60)
        err = proc.stderr.decode("latin-1")
        self.assertNotIn("AddressSanitizer", err)
        self.assertEqual(sha256(image), old)
        self.assert_nothing_left(image, work)


if __name__ == "__main__":
    t.main()
