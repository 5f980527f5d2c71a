"""Faults around a run, seen from outside the process: odd files in place of
the image, its backup or the workspace; SIGKILL and signals; two runs on one
image; permissions; failing flushes and network locks (an LD_PRELOAD shim);
damaged images. Each ends with the image as it was or as asked, nothing left."""

import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True
import wpe_testlib as t  # noqa: E402

SECTOR = t.SECTOR
BIG_CHUNK = bytes((i * 7919 + (i >> 11)) & 0xFF for i in range(1 << 20))
MARKER = b"MZ marker" * 100
EIO, EINVAL = 5, 22

# Fails fsync(2) of directories or files with the errno given; slows large
# writes and the rename onto one path (marking its start), so that a signal
# or a kill lands mid-pack or mid-swap. WPE_SHIM_FS plays a network file
# system's locks: "nfs" refuses an exclusive lock on a read-only descriptor,
# "cifs" makes one mandatory (reads of its range elsewhere fail), "nolocks".
SHIM_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))
typedef int (*fcntl_t)(int, int, ...);
static struct { int fd; dev_t dev; ino_t ino; off_t start, end; } held = {-1};

static int fs_is(const char *name) {
  const char *fs = getenv("WPE_SHIM_FS");
  return fs && strcmp(fs, name) == 0;
}

static int refused(int fd, int exclusive) {
  if (fs_is("nolocks")) return ENOLCK;
  int mode = REAL("fcntl", fcntl_t)(fd, F_GETFL) & O_ACCMODE;
  return fs_is("nfs") && exclusive && mode == O_RDONLY ? EBADF : 0;
}

static void note(int fd, int type, off_t start, off_t length) {
  struct stat st;
  if (!fs_is("cifs") || fstat(fd, &st) != 0) return;
  if (type == F_UNLCK && fd == held.fd) held.fd = -1;
  if (type != F_WRLCK) return;
  held.fd = fd, held.dev = st.st_dev, held.ino = st.st_ino;
  held.start = start, held.end = length ? start + length : LLONG_MAX;
}

static int blocked(int fd, off_t at, size_t n) {
  struct stat st;
  if (held.fd < 0 || fd == held.fd || fstat(fd, &st) != 0) return 0;
  if (st.st_dev != held.dev || st.st_ino != held.ino) return 0;
  if (at >= held.end || at + (off_t)n <= held.start) return 0;
  errno = EACCES;
  return 1;
}

int fcntl(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  struct flock *range = va_arg(args, void *);
  va_end(args);
  if (cmd != F_SETLK && cmd != F_OFD_SETLK) return REAL("fcntl", fcntl_t)(fd, cmd, range);
  int error = refused(fd, range->l_type == F_WRLCK);
  if (error) return errno = error, -1;
  int result = REAL("fcntl", fcntl_t)(fd, cmd, range);
  if (result == 0) note(fd, range->l_type, range->l_start, range->l_len);
  return result;
}

int flock(int fd, int operation) {
  int error = refused(fd, operation & LOCK_EX);
  if (error) return errno = error, -1;
  int result = REAL("flock", int (*)(int, int))(fd, operation);
  if (result == 0)
    note(fd, operation & LOCK_UN ? F_UNLCK : operation & LOCK_EX ? F_WRLCK : F_RDLCK, 0, 0);
  return result;
}

ssize_t pread(int fd, void *buffer, size_t n, off_t at) {
  if (blocked(fd, at, n)) return -1;
  return REAL("pread", ssize_t (*)(int, void *, size_t, off_t))(fd, buffer, n, at);
}

int close(int fd) {
  if (fd == held.fd) held.fd = -1;
  return REAL("close", int (*)(int))(fd);
}

int fsync(int fd) {
  struct stat st;
  const char *error = fstat(fd, &st) != 0 ? NULL
      : getenv(S_ISDIR(st.st_mode) ? "WPE_SHIM_FSYNC_DIR" : "WPE_SHIM_FSYNC_FILE");
  if (error) return errno = atoi(error), -1;
  return REAL("fsync", int (*)(int))(fd);
}

ssize_t pwrite(int fd, const void *data, size_t n, off_t at) {
  const char *slow = getenv("WPE_SHIM_SLOW_PWRITE");
  if (slow && n >= 65536) usleep(atoi(slow));  /* file data, not each record */
  return REAL("pwrite", ssize_t (*)(int, const void *, size_t, off_t))(fd, data, n, at);
}

int rename(const char *from, const char *to) {
  const char *slow = getenv("WPE_SHIM_SLOW_RENAME_TO"), *mark = getenv("WPE_SHIM_MARK");
  if (slow && strcmp(slow, to) == 0) {
    if (mark) close(open(mark, O_CREAT | O_WRONLY, 0600));
    usleep(700 * 1000);
  }
  return REAL("rename", int (*)(const char *, const char *))(from, to);
}
"""


def shim_preload(folder):
    """LD_PRELOAD for the shim, after a sanitizer runtime, which must come first."""
    shim, source = os.path.join(folder, "shim.so"), os.path.join(folder, "shim.c")
    t.write(source, SHIM_SOURCE.encode())
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", shim, source, "-ldl"], check=True)
    ldd = subprocess.run(["ldd", t.TOOL], capture_output=True, text=True).stdout
    runtimes = [line.split("=>")[1].split()[0] for line in ldd.splitlines()
                if "=>" in line and ("libasan" in line or "libubsan" in line)]
    return " ".join(runtimes + [shim])


def size_or(path, missing):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return missing


def find_record(data, image_path):
    """(offset, extent, size) of the directory record of an image path."""
    extent, size = struct.unpack_from("<I4xI", data, 16 * SECTOR + 156 + 2)  # the root's record
    for name in image_path.encode().split(b"/"):
        start, p = extent * SECTOR, 0
        while data[start + p + 33:start + p + 33 + data[start + p + 32]] != name:
            p = (p // SECTOR + 1) * SECTOR if data[start + p] == 0 else p + data[start + p]
            if p >= size:
                raise KeyError(image_path)
        record = (start + p,) + struct.unpack_from("<I4xI", data, start + p + 2)
        extent, size = record[1:]
    return record


def holds(image, name):
    return "/PROGRAMS/" + name in t.read_image(image)[0]


def set_size(data, image_path, size):
    at = find_record(bytes(data), image_path)[0] + 10
    struct.pack_into("<I", data, at, size)
    struct.pack_into(">I", data, at + 4, size)


class FaultCase(t.ScratchTestCase):
    """A run adding a marker program; TMPDIR of its own shows what a run leaves."""

    def setUp(self):
        super().setUp()
        self.tmpdir = self.path("tmpdir")
        os.makedirs(self.tmpdir)
        self.env = dict(os.environ, TMPDIR=self.tmpdir)
        t.write(self.path("MARKER.EXE"), MARKER)

    def make_image(self, big_megabytes=0, name="cd.iso", tree_extra=None):
        """A WinPE-like image, optionally with BIG/DATA.BIN of BIG_CHUNK repeated."""
        tree = self.path(name + ".tree")
        self.tree_files = t.make_winpe_tree(tree)
        if big_megabytes:
            t.write(os.path.join(tree, "BIG", "DATA.BIN"), BIG_CHUNK * big_megabytes)
        if tree_extra:
            tree_extra(tree)
        image = t.master(tree, self.path(name))
        shutil.rmtree(tree)
        return image

    def args(self, image, work=None, marker=None):
        return ["-i", image, "-t", work or self.path("work"), "-f",
                "-b", marker or self.path("MARKER.EXE")]

    def run_checked(self, args, env=None, input=b"", **kwargs):
        """(exit code, stdout, stderr) of a run the sanitizers found clean."""
        code, out, err = t.run_tool(args, input, env or self.env, **kwargs)
        self.assertNotIn("Sanitizer", err)
        self.assertNotIn("runtime error", err)
        return code, out, err

    def run_failing(self, args, image, work=None, **kwargs):
        old = t.sha256(image)
        # A hostile image must not keep the run busy either.
        code, out, err = self.run_checked(args, timeout=60, **kwargs)
        self.assert_failed_untouched(image, old, code, out, err, work)
        return out, err

    def assert_failed_untouched(self, image, old_hash, code, out, err, work=None):
        self.assertEqual(code, 1, out + err)
        self.assertEqual(t.sha256(image), old_hash, "the source image was changed")
        self.assert_nothing_left(image, work)

    def assert_nothing_left(self, image, work=None, backup=False):
        """No .tmp, no workspace, nothing in TMPDIR; a .bak only if replaced."""
        self.assertFalse(os.path.lexists(image + ".tmp"), image + ".tmp left behind")
        self.assertEqual(os.path.lexists(image + ".bak"), backup, image + ".bak")
        work = work or self.path("work")
        self.assertFalse(os.path.lexists(work), work + " left behind")
        self.assertEqual(os.listdir(self.tmpdir), [])

    def assert_refused(self, args, image, refusal):
        """One warning line before the image is loaded; the image as it was."""
        old = t.sha256(image)
        code, out, err = self.run_checked(args)
        self.assertEqual((code, err.count("\n")), (1, 1), err)
        self.assertIn("Warning: " + refusal, err)
        self.assertNotIn("load ISO image", out)
        self.assertEqual(t.sha256(image), old)
        return err

    def wait_for_prompt(self, proc):
        seen = b""
        while b"press 'c' to change name" not in seen:
            seen += proc.stdout.read1(65536) or self.fail("no prompt: " + seen.decode())
        return seen


class OddFilesAroundTheImage(FaultCase):
    def test_what_is_not_a_regular_file_is_refused_before_any_work(self):
        image = self.make_image()
        victim = self.path("victim")
        t.write(victim, b"not yours")
        fifo, folder, link = (self.path(name + ".iso") for name in ("fifo", "dir", "link"))
        cases = [
            # (what is made, the image given, the refusal)
            (lambda: os.symlink(victim, image + ".tmp"), image,
             "cannot use %s.tmp as the new image - it is a symbolic link" % image),
            (lambda: t.write(image + ".bak/keep", b"k"), image,
             "cannot use %s.bak as the backup of the image - it is a directory" % image),
            (lambda: os.mkfifo(fifo), fifo, "invalid image file %s - it is a FIFO" % fifo),
            (lambda: os.mkdir(folder), folder, "invalid image file %s - it is a directory" % folder),
            (lambda: os.symlink(image, link), link,
             "invalid image file %s - it is a symbolic link to %s; give that path"
             % (link, os.path.realpath(image))),
        ]
        for make, given, refusal in cases:
            with self.subTest(refusal):
                make()
                before = os.lstat(given)
                self.assert_refused(self.args(given), image, refusal)
                after = os.lstat(given)
                self.assertEqual((after.st_ino, after.st_mode), (before.st_ino, before.st_mode))
                self.assertEqual(t.file_bytes(victim), b"not yours")
                shutil.rmtree(image + ".bak", ignore_errors=True)
                if os.path.islink(image + ".tmp"):
                    os.remove(image + ".tmp")
                self.assert_nothing_left(image)


class Workspace(FaultCase):
    def test_a_workspace_holding_anything_else_than_a_runs_leftovers_is_refused(self):
        image = self.make_image()
        work = self.path("work")
        cases = {
            "a file of its own": lambda: t.write(os.path.join(work, "notes.txt"), b"mine"),
            "a link as a leftover": lambda: os.symlink(self.dir, os.path.join(work, "image_file_dir")),
        }
        for label, make in cases.items():
            with self.subTest(label):
                t.write(os.path.join(work, "BootImage.bin"), b"a leftover")
                make()
                before = sorted(os.listdir(work))
                err = self.assert_refused(self.args(image), image,
                                          "invalid temporary directory %s - it holds " % work)
                self.assertIn("give an empty directory or a new name", err)
                self.assertEqual(sorted(os.listdir(work)), before)
                shutil.rmtree(work)
                self.assert_nothing_left(image)


class Interruptions(FaultCase):
    def start(self, image, env=None, stdin=subprocess.DEVNULL):
        return subprocess.Popen([t.TOOL] + self.args(image), stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env or self.env)

    def wait_for(self, proc, reached, what):
        deadline = time.monotonic() + 120
        while not reached():
            self.assertIsNone(proc.poll(), "the run ended before " + what)
            self.assertLess(time.monotonic(), deadline, "never saw " + what)

    def assert_interrupted(self, proc, number, image, old_hash=None):
        """Without old_hash, interrupted after customizing; waited for before
        standard input closes, which a prompt would take for an answer."""
        proc.wait(timeout=60)
        err = proc.communicate()[1].decode("latin-1")
        self.assertEqual((proc.returncode, err.count("\n")), (128 + number, 1), err)
        name = signal.Signals(number).name
        if old_hash is None:
            self.assertTrue(err.startswith("Warning: interrupted by %s after %s was customized"
                                           % (name, image)), err)
        else:
            self.assertTrue(err.startswith("Warning: interrupted by %s; removed the new image" % name))
            self.assertTrue(err.endswith("%s is unchanged\n" % image), err)
            self.assertEqual(t.sha256(image), old_hash)
            self.assert_nothing_left(image)

    def test_a_signal_in_the_middle_of_a_pack(self):
        # Slowed writes keep the pack going until the signal comes.
        image = self.make_image(big_megabytes=8)
        old, third = t.sha256(image), os.path.getsize(image) // 3
        proc = self.start(image, env=dict(self.env, LD_PRELOAD=shim_preload(self.dir),
                                          WPE_SHIM_SLOW_PWRITE="50000"))
        self.wait_for(proc, lambda: size_or(image + ".tmp", 0) >= third, "a third of the pack")
        proc.send_signal(signal.SIGTERM)
        self.assert_interrupted(proc, signal.SIGTERM, image, old)

    def test_an_interruption_at_a_prompt(self):
        image = self.make_image(tree_extra=lambda tree: t.write(
            os.path.join(tree, "PROGRAMS", "MARKER.EXE"), b"already there"))
        old = t.sha256(image)
        proc = self.start(image, stdin=subprocess.PIPE)
        self.wait_for_prompt(proc)
        proc.send_signal(signal.SIGINT)
        self.assert_interrupted(proc, signal.SIGINT, image, old)

    def test_an_interruption_during_the_swap_lets_the_swap_finish(self):
        image = self.make_image()
        old_inode, mark = os.stat(image).st_ino, self.path("renaming")
        env = dict(self.env, LD_PRELOAD=shim_preload(self.dir), WPE_SHIM_SLOW_RENAME_TO=image,
                   WPE_SHIM_MARK=mark)
        proc = self.start(image, env=env)
        self.wait_for(proc, lambda: os.path.exists(mark), "the swap")
        proc.send_signal(signal.SIGTERM)
        self.assert_interrupted(proc, signal.SIGTERM, image)
        self.assertEqual(os.stat(image + ".bak").st_ino, old_inode)
        self.assertTrue(holds(image, "MARKER.EXE"))
        self.assert_nothing_left(image, backup=True)

    def test_a_console_that_went_away_does_not_stop_the_run(self):
        image = self.make_image()
        old = t.sha256(image)
        read_end, write_end = os.pipe()
        os.close(read_end)  # every line the run writes meets a closed pipe
        proc = subprocess.run([t.TOOL] + self.args(image), stdin=subprocess.DEVNULL,
                              stdout=write_end, stderr=subprocess.PIPE, env=self.env, timeout=120)
        os.close(write_end)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(t.sha256(image + ".bak"), old)
        self.assertTrue(holds(image, "MARKER.EXE"))
        self.assert_nothing_left(image, backup=True)


class TwoRuns(FaultCase):
    def test_runs_started_together_and_apart(self):
        image = self.make_image(big_megabytes=48)
        for round_number, delay in enumerate((0.0, 0.3)):
            with self.subTest(delay=delay):
                names, procs = ["A%d.EXE" % round_number, "B%d.EXE" % round_number], []
                for name in names:
                    t.write(self.path(name), b"MZ " + name.encode() * 50)
                    procs.append(subprocess.Popen([t.TOOL, "-i", image, "-b", self.path(name)],
                                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                  stderr=subprocess.PIPE, env=self.env))
                    time.sleep(delay)
                while any(p.poll() is None for p in procs):
                    self.assertTrue(os.path.exists(image), "the image has no name")
                results = [(p.returncode, p.communicate()[1].decode("latin-1")) for p in procs]
                self.assertIn(0, [code for code, _ in results], results)
                for name, (code, err) in zip(names, results):
                    if code == 0:
                        self.assertTrue(holds(image, name), name + " lost its change")
                    else:
                        self.assertEqual(err, "Warning: another run is customizing or reading %s; run "
                                              "again when it has ended\n" % image)
                self.assert_nothing_left(image, backup=True)


class Permissions(FaultCase):
    # user::rw- user:1234:r-- group::r-- mask::r-- other::---
    ACL = bytes([2, 0, 0, 0, 1, 0, 6, 0, 255, 255, 255, 255, 2, 0, 4, 0, 0xD2, 4, 0, 0,
                 4, 0, 4, 0, 255, 255, 255, 255, 0x10, 0, 4, 0, 255, 255, 255, 255,
                 0x20, 0, 0, 0, 255, 255, 255, 255])

    def test_the_new_image_keeps_mode_owner_group_and_access_control_list(self):
        image = self.make_image()
        owner = (1234, 5678) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        os.chown(image, *owner)  # giving the file away needs root
        os.chmod(image, 0o640)
        try:
            os.setxattr(image, "system.posix_acl_access", self.ACL)
            acl = self.ACL
        except OSError:
            acl = None  # no access control lists on this file system
        before = os.stat(image)
        code, out, err = self.run_checked(self.args(image))
        self.assertEqual((code, err), (0, ""), out)
        after = os.stat(image)
        self.assertNotEqual(after.st_ino, before.st_ino)
        self.assertEqual((after.st_mode, after.st_uid, after.st_gid), (before.st_mode,) + owner)
        if acl:
            self.assertEqual(os.getxattr(image, "system.posix_acl_access"), acl)
        self.assertEqual(os.stat(image + ".bak").st_ino, before.st_ino)
        self.assertTrue(holds(image, "MARKER.EXE"))
        self.assert_nothing_left(image, backup=True)


class Flushing(FaultCase):
    def test_flush_failures(self):
        preload = shim_preload(self.dir)
        cases = [
            # (failing fsync, exit code, warning; the image replaced?)
            ({"WPE_SHIM_FSYNC_DIR": str(EINVAL)}, 0, "", True),
            ({"WPE_SHIM_FSYNC_DIR": str(EIO)}, 0,
             "Warning: cannot flush {dir}: Input/output error - {image} is customized, but a "
             "power loss before the system writes that directory back could undo it\n", True),
            ({"WPE_SHIM_FSYNC_FILE": str(EIO)}, 1,
             "Warning: exception: cannot flush {image}.tmp: Input/output error\n", False),
        ]
        for number, (shim, expected_code, warning, replaced) in enumerate(cases):
            with self.subTest(shim):
                image = self.make_image(name="cd%d.iso" % number)
                old = t.sha256(image)
                code, out, err = self.run_checked(self.args(image), dict(self.env, LD_PRELOAD=preload, **shim))
                self.assertEqual((code, err), (expected_code, warning.format(
                    dir=os.path.dirname(image), image=image)), out)
                self.assertEqual(t.sha256(image + ".bak" if replaced else image), old)
                self.assertEqual(holds(image, "MARKER.EXE"), replaced)
                self.assert_nothing_left(image, backup=replaced)


class NetworkFileSystems(FaultCase):
    def test_locks_as_nfs_and_cifs_grant_them_and_none_at_all(self):
        preload = shim_preload(self.dir)
        for fs in ("nfs", "cifs", "nolocks"):
            with self.subTest(fs):
                image = self.make_image(name=fs + ".iso")
                code, out, err = self.run_checked(self.args(image), dict(
                    self.env, LD_PRELOAD=preload, WPE_SHIM_FS=fs))
                self.assertEqual((code, err), (0, ""), out)
                self.assertEqual("Log: cannot lock %s (No locks available); going on without a "
                                 "lock" % image in out, fs == "nolocks")
                self.assertTrue(holds(image, "MARKER.EXE"))
                self.assert_nothing_left(image, backup=True)


class DiskFull(FaultCase):
    def test_file_size_limit_with_the_default_signal(self):
        # SIGXFSZ left at its default: the tool ignores it and the write fails instead.
        image = self.make_image(big_megabytes=6)
        limit = os.path.getsize(image) // 2

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        out, err = self.run_failing(self.args(image), image, preexec_fn=limit_file_size)
        self.assertEqual(err, "Warning: cannot write %s.tmp: File too large\n" % image)
        self.assertIn("Log: pack image file back ...", out)
        self.assertIn("cannot write %s.tmp: File too large\n"
                      "  write system reserved sector failed - IO error\n" % image, out)

    def test_workspace_on_another_file_system(self):
        # Copies into the workspace must not rely on one device for both ends.
        shm = "/dev/shm"
        if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(self.dir).st_dev:
            self.skipTest("no second file system at " + shm)
        image = self.make_image()
        work = os.path.join(shm, "wpe-test-%d" % os.getpid())
        self.addCleanup(shutil.rmtree, work, True)
        code, out, err = self.run_checked(self.args(image, work))
        self.assertEqual(code, 0, err)
        self.assertFalse(os.path.exists(work))


class KilledRun(FaultCase):
    BIG_MB = 16

    def setUp(self):
        super().setUp()
        self.pristine = self.make_image(big_megabytes=self.BIG_MB, name="pristine.iso")
        self.old_hash = t.sha256(self.pristine)
        self.preload = shim_preload(self.dir)

    def start(self, label):
        folder = self.path(label)
        os.makedirs(folder)
        image, work = os.path.join(folder, "cd.iso"), os.path.join(folder, "work")
        shutil.copyfile(self.pristine, image)
        # Slowed writes and swap: each kill point lasts long enough to be seen.
        env = dict(self.env, LD_PRELOAD=self.preload, WPE_SHIM_SLOW_PWRITE="50000",
                   WPE_SHIM_SLOW_RENAME_TO=image)
        proc = subprocess.Popen([t.TOOL] + self.args(image, work), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        self.addCleanup(proc.stderr.close)
        return proc, image, work

    def is_complete_new_image(self, path):
        data = t.file_bytes(path)
        try:
            marker, big = (find_record(data, p) for p in ("PROGRAMS/MARKER.EXE", "BIG/DATA.BIN"))
        except (KeyError, IndexError, struct.error):
            return False
        span = lambda r: data[r[1] * SECTOR:r[1] * SECTOR + r[2]]  # noqa: E731
        return span(marker) == MARKER and span(big) == BIG_CHUNK * self.BIG_MB

    def test_kill_at_several_points_of_a_run(self):
        points = {
            "workspace made": lambda img, work: os.path.isdir(work),
            ".tmp made": lambda img, work: os.path.exists(img + ".tmp"),
            ".bak created": lambda img, work: os.path.exists(img + ".bak"),
        }
        for index, (label, reached) in enumerate(points.items()):
            with self.subTest(label):
                self.kill_and_recover(label, reached, *self.start("k%d" % index))

    def kill_and_recover(self, label, reached, proc, image, work):
        while proc.poll() is None and not reached(image, work):
            pass
        if proc.poll() is not None:
            self.skipTest(label + ": the run ended before the moment was seen")
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        # The image's name holds the old image, or the new one with the old as .bak.
        self.assertTrue(os.path.exists(image))
        if t.sha256(image) != self.old_hash:
            self.assertEqual(t.sha256(image + ".bak"), self.old_hash)
            self.assertTrue(self.is_complete_new_image(image))
            self.assertFalse(os.path.exists(image + ".tmp"))
        # A second run recovers; past the swap the marker is there already and gets a new name.
        before, left = t.sha256(image), os.path.exists(image + ".tmp")
        if os.path.isdir(work):
            os.chmod(work, 0o710)  # emptied in place: its mode stays
        code, out, err = self.run_checked(self.args(image, work), input=b"c\nMARKER2.EXE\n")
        self.assertEqual(code, 0, err)
        self.assertEqual("Log: removing %s.tmp left by an interrupted run\n" % image in out,
                         left)
        self.assertEqual(t.sha256(image + ".bak"), before)
        self.assertTrue(self.is_complete_new_image(image))
        if os.path.exists(work):
            self.assertEqual(os.listdir(work), [])
            self.assertEqual(os.stat(work).st_mode & 0o7777, 0o710)
        self.assertEqual(os.listdir(self.tmpdir), [])
        self.assertFalse(os.path.exists(image + ".tmp"))
        shutil.rmtree(os.path.dirname(image))


class SourceChangesDuringRun(FaultCase):
    def test_added_source_changes_while_the_run_waits_at_a_prompt(self):
        # NEW.BIN is removed while README.TXT's conflict waits for an answer.
        image = self.make_image()
        old = t.sha256(image)
        new, readme = self.path("src", "NEW.BIN"), self.path("src", "README.TXT")
        t.write(readme, b"conflicting")
        t.write(new, b"new file" * 1000)
        proc = subprocess.Popen(
            [t.TOOL, "-i", image, "-t", self.path("work"), "-f",
             "-Y", new + "%\\DOCS", "-Y", readme + "%\\DOCS"], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
        out = self.wait_for_prompt(proc)
        os.remove(new)
        rest, err = proc.communicate(b"o\n", timeout=600)
        out = (out + rest).decode("latin-1")
        self.assertIn("Log: pack image file back ...", out)
        self.assert_failed_untouched(image, old, proc.returncode, out, err.decode())


class DamagedImage(FaultCase):
    def test_damage_met_late_in_a_run_fails_it_cleanly(self):
        # What fails the load is the reader test's; these fail once the workspace exists.
        data = t.file_bytes(self.make_image(name="pristine.iso"))
        catalog = struct.unpack_from("<I", data, 17 * SECTOR + 71)[0] * SECTOR
        files = [find_record(data, p) for p in self.tree_files]
        winbom = find_record(data, "WINBOM.INI")
        cases = {
            "cut in a retrieved file": lambda d: d[:winbom[1] * SECTOR + 10],
            "cut short of the last file": lambda d: d[:max(r[1] * SECTOR + r[2] for r in files) - 1],
            "boot image past the end": lambda d: struct.pack_into("<I", d, catalog + 40, 0x7FFFFFF0 // SECTOR),
            # The largest sector count, from a load RBA near the end.
            "boot image sector count": lambda d: struct.pack_into(
                "<HI", d, catalog + 38, 0xFFFF, len(d) // SECTOR - 1),
            "retrieved file size": lambda d: set_size(d, "WINBOM.INI", 0xFFFFFFFF),
        }
        for label, mutate in cases.items():
            with self.subTest(label):
                damaged = bytearray(data)
                damaged = mutate(damaged) or damaged
                image = self.path(label.replace(" ", "-") + ".iso")
                t.write(image, damaged)
                _, err = self.run_failing(self.args(image), image)
                self.assertTrue(err.startswith("Warning: "), err)


class FailingSteps(FaultCase):
    def test_each_failing_step_says_so_and_leaves_the_image_untouched(self):
        note, drivers = self.path("src", "note.txt"), self.path("src", "drv")
        t.write(note, b"note\r\n")
        t.write(os.path.join(drivers, "d.sys"), b"d")
        missing = self.path("src", "missing.exe")
        cases = [
            # (image made with, arguments, warning lines, workspace made and removed)
            ({"with_redodozad": False}, ["-f"], "Warning: retrieve redodozad.xml failed\n", True),
            ({"boot": []}, ["-f"], "Warning: load boot image failed - invalid boot CD\n", True),
            # UTF-16 without its byte order mark: the edit fails rather than break it.
            ({"replaced": {"I386/SYSTEM32/WINPEOEM.SIF": "[X]\r\n".encode("utf-16-le")}},
             ["-d", drivers], "Warning: adding storage driver failed - exception: cannot edit "
             "%s: it holds NUL bytes, so it is no text file (UTF-16 needs its byte order mark)\n"
             % self.path("work", "image_file_dir", "I386", "SYSTEM32", "WINPEOEM.SIF"), True),
            ({}, ["-b", missing], "Warning: can not find binary file %s\n" % missing, False),
            ({}, ["-Y", note + "%\\PROGRAMS", "-b", self.path("MARKER.EXE")],
             "Warning: adding file note.txt failed - parent directory does not exists\n"
             "Warning: copy back file %s failed\n" % note, True),
        ]
        for number, (tree_args, args, warning, made) in enumerate(cases):
            with self.subTest(args=args):
                boot = tree_args.pop("boot", t.BOOT)
                tree, image = self.path("tree%d" % number), self.path("cd%d.iso" % number)
                t.make_winpe_tree(tree, **tree_args)
                t.master(tree, image, boot=boot)
                out, err = self.run_failing(["-i", image, "-t", self.path("work")] + args, image)
                self.assertEqual(err, warning, out)
                self.assertEqual(out.endswith("Log: clean up succeeded\n"), made, out)
        # No image: the first retrieval fails.
        code, out, err = self.run_checked(["-f", "-t", self.path("work")])
        self.assertEqual((code, err), (1, "Warning: no image given; give it as -i IMAGE\n"
                                          "Warning: retrieve winbom.ini failed\n"))
        absent = self.path("absent.iso")
        code, out, err = self.run_checked(["-i", absent, "-f", "-t", self.path("work")])
        self.assertEqual((code, err), (1, "Warning: load ISO image failed - IO exception: cannot open "
                                          "%s for reading: No such file or directory\n"
                                          "Warning: retrieve winbom.ini failed\n" % absent))
        # A workspace holding the image, or a file, is refused before it is emptied.
        for work in (self.dir, note):
            self.assert_refused(["-i", image, "-f", "-t", work], image, "invalid temporary directory " + work)
            self.assertTrue(os.path.exists(note))


if __name__ == "__main__":
    t.main()
