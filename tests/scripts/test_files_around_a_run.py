"""The files around a run, seen from outside the process: odd files where the
image, its new version, its backup or the workspace should be; interruptions
by signal; two runs on one image; the image's permissions; flushes that fail
(through an LD_PRELOAD shim built here); and stray arguments. Every test
ends with the image unchanged or changed as asked, and nothing left behind."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

# Fails fsync(2) of directories or of regular files with the errno given in
# the environment, and makes the rename onto one path slow (leaving a mark
# when it starts), so that a signal can be sent in the middle of the swap.
SHIM_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int wanted_errno(const char *variable) {
  const char *value = getenv(variable);
  return value ? atoi(value) : 0;
}

int fsync(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0) {
    int error = wanted_errno(S_ISDIR(st.st_mode) ? "WPE_SHIM_FSYNC_DIR" : "WPE_SHIM_FSYNC_FILE");
    if (error) {
      errno = error;
      return -1;
    }
  }
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}

int rename(const char *from, const char *to) {
  const char *slow = getenv("WPE_SHIM_SLOW_RENAME_TO");
  if (slow && strcmp(slow, to) == 0) {
    const char *mark = getenv("WPE_SHIM_MARK");
    if (mark) close(open(mark, O_CREAT | O_WRONLY, 0600));
    usleep(700 * 1000);
  }
  int (*real)(const char *, const char *) =
      (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
  return real(from, to);
}
"""

EIO, EINVAL = 5, 22


def shim_preload(folder):
    """LD_PRELOAD for the shim. A sanitizer build must have its runtime
    first in the list, or it refuses to start."""
    shim = os.path.join(folder, "shim.so")
    source = os.path.join(folder, "shim.c")
    with open(source, "w") as f:
        f.write(SHIM_SOURCE)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", shim, source, "-ldl"], check=True)
    ldd = subprocess.run(["ldd", t.TOOL], capture_output=True, text=True).stdout
    runtimes = [line.split("=>")[1].split()[0] for line in ldd.splitlines()
                if "=>" in line and ("libasan" in line or "libubsan" in line)]
    return " ".join(runtimes + [shim])


def marker(folder, name):
    path = os.path.join(folder, name)
    t.write(path, b"MZ " + name.encode() * 50)
    return path


def holds(image, name):
    """Whether the image has \\PROGRAMS\\<name>."""
    try:
        t.find_record(t.file_bytes(image), "PROGRAMS/" + name)
        return True
    except (KeyError, IndexError):
        return False


class OddFilesAroundTheImage(t.FaultCase):
    def test_what_is_not_a_regular_file_is_refused_before_any_work(self):
        image = self.make_image()
        old = t.sha256(image)
        victim = self.path("victim")
        t.write(victim, b"not yours")

        def device(path):
            os.mknod(path, 0o600 | 0o020000, os.makedev(1, 3))  # a second /dev/null

        cases = [
            # (what is made where, the image given, the refusal)
            ("a link as the new image", lambda: os.symlink(victim, image + ".tmp"), image,
             "cannot use %s.tmp as the new image - it is a symbolic link" % image),
            ("a directory as the backup", lambda: t.write(image + ".bak/keep", b"k"), image,
             "cannot use %s.bak as the backup of the image - it is a directory" % image),
            ("a FIFO as the image", lambda: os.mkfifo(self.path("fifo.iso")), self.path("fifo.iso"),
             "invalid image file %s - it is a FIFO" % self.path("fifo.iso")),
            ("a directory as the image", lambda: os.mkdir(self.path("dir.iso")), self.path("dir.iso"),
             "invalid image file %s - it is a directory" % self.path("dir.iso")),
            ("a link as the image", lambda: os.symlink(image, self.path("link.iso")),
             self.path("link.iso"), "invalid image file %s - it is a symbolic link" % self.path("link.iso")),
        ]
        if os.geteuid() == 0:  # only root makes device nodes
            cases.append(("a device as the image", lambda: device(self.path("dev.iso")),
                          self.path("dev.iso"), "invalid image file %s - it is a device"
                          % self.path("dev.iso")))
        for label, make, given, refusal in cases:
            with self.subTest(label):
                make()
                before = os.lstat(given)
                proc = subprocess.run([t.TOOL] + self.args(given), capture_output=True,
                                      env=self.env, timeout=60)
                err = proc.stderr.decode("latin-1")
                self.assertEqual((proc.returncode, err.count("\n")), (1, 1), err)
                self.assertIn("Warning: " + refusal, err)
                self.assertNotIn("load ISO image", proc.stdout.decode("latin-1"))
                after = os.lstat(given)
                self.assertEqual((after.st_ino, after.st_mode), (before.st_ino, before.st_mode))
                self.assertEqual(t.file_bytes(victim), b"not yours")
                self.assertEqual(t.sha256(image), old)
                self.assertFalse(os.path.exists(self.path("work")))
                self.assertEqual(os.listdir(self.tmpdir), [])
                for odd in (image + ".tmp", image + ".bak"):
                    if os.path.isdir(odd) and not os.path.islink(odd):
                        shutil.rmtree(odd)
                    elif os.path.lexists(odd):
                        os.remove(odd)

    def test_a_new_image_left_by_a_killed_run_is_replaced(self):
        image = self.make_image()
        old = t.sha256(image)
        t.write(image + ".tmp", b"partial image of a run that was killed")
        code, out, err = t.run_tool(self.args(image), env=self.env)
        self.assertEqual((code, err), (0, ""), out)
        self.assertIn("Log: removing %s.tmp left by an interrupted run\n" % image, out)
        self.assertEqual(t.sha256(image + ".bak"), old)
        self.assertTrue(holds(image, "MARKER.EXE"))
        self.assert_nothing_left(image, backup=True)


class Workspace(t.FaultCase):
    def test_a_workspace_holding_anything_else_than_a_runs_leftovers_is_refused(self):
        image = self.make_image()
        old = t.sha256(image)
        work = self.path("work")
        cases = {
            "a file of its own": lambda: t.write(os.path.join(work, "notes.txt"), b"mine"),
            "a directory of its own": lambda: os.makedirs(os.path.join(work, "projects", "a")),
            "a link as a leftover": lambda: os.symlink(self.dir, os.path.join(work, "image_file_dir")),
        }
        for label, make in cases.items():
            with self.subTest(label):
                os.makedirs(work)
                t.write(os.path.join(work, "BootImage.bin"), b"a leftover")
                make()
                before = sorted(os.listdir(work))
                code, out, err = t.run_tool(self.args(image), env=self.env)
                self.assertEqual(code, 1, out + err)
                self.assertIn("Warning: invalid temporary directory %s - it holds " % work, err)
                self.assertIn("give an empty directory or a new name", err)
                self.assertEqual(sorted(os.listdir(work)), before)
                self.assertEqual(t.sha256(image), old)
                shutil.rmtree(work)
                self.assert_nothing_left(image)


class Interruptions(t.FaultCase):
    BIG_MB = 200

    @classmethod
    def setUpClass(cls):
        # One large image for the whole class: an interrupted run leaves it
        # as it was, which each test checks before the next one uses it.
        base = os.path.join(t.BINARY_DIR, "test-scratch")
        os.makedirs(base, exist_ok=True)
        cls.shared = tempfile.mkdtemp(prefix="py-big-", dir=base)
        cls.big, _ = t.make_fault_image(cls.shared, cls.BIG_MB)
        cls.big_hash = t.sha256(cls.big)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shared, ignore_errors=True)

    def start(self, image, env=None, stdin=subprocess.DEVNULL, extra=()):
        return subprocess.Popen([t.TOOL] + self.args(image) + list(extra), stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env or self.env)

    def wait_for(self, proc, reached, what):
        deadline = time.monotonic() + 120
        while not reached():
            self.assertIsNone(proc.poll(), "the run ended before " + what)
            self.assertLess(time.monotonic(), deadline, "never saw " + what)

    def assert_interrupted(self, proc, number, image, customized):
        # Waited for before standard input closes: a prompt would take the
        # end of input as its answer.
        proc.wait(timeout=60)
        out, err = proc.communicate()
        err = err.decode("latin-1")
        self.assertEqual(proc.returncode, 128 + number, err)
        lines = err.splitlines()
        self.assertEqual(len(lines), 1, err)
        name = signal.Signals(number).name
        if customized:
            # The workspace may have gone already, with the run's own clean-up.
            self.assertTrue(lines[0].startswith("Warning: interrupted by %s after %s was "
                                                "customized" % (name, image)), err)
        else:
            self.assertTrue(lines[0].startswith("Warning: interrupted by %s; removed the new image"
                                                % name), err)
            self.assertTrue(lines[0].endswith("%s is unchanged" % image), err)

    def test_each_signal_in_the_middle_of_a_pack(self):
        image, size = self.big, os.path.getsize(self.big)

        def tmp_size():
            try:
                return os.path.getsize(image + ".tmp")
            except FileNotFoundError:
                return 0

        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal.Signals(number).name):
                proc = self.start(image)
                self.wait_for(proc, lambda: tmp_size() >= size // 3, "a third of the pack")
                proc.send_signal(number)
                self.assert_interrupted(proc, number, image, customized=False)
                self.assertEqual(t.sha256(image), self.big_hash)
                self.assert_nothing_left(image)

    def test_an_interruption_at_a_prompt(self):
        image = self.make_image(tree_extra=lambda tree: t.write(
            os.path.join(tree, "PROGRAMS", "MARKER.EXE"), b"already there"))
        old = t.sha256(image)
        proc = self.start(image, stdin=subprocess.PIPE)
        seen = b""
        while b"press 'c' to change name" not in seen:
            seen += proc.stdout.read1(65536) or self.fail("no prompt: " + seen.decode())
        proc.send_signal(signal.SIGINT)
        self.assert_interrupted(proc, signal.SIGINT, image, customized=False)
        self.assertEqual(t.sha256(image), old)
        self.assert_nothing_left(image)

    def test_an_interruption_during_the_swap_lets_the_swap_finish(self):
        image = self.make_image()
        old_inode, mark = os.stat(image).st_ino, self.path("renaming")
        env = dict(self.env, LD_PRELOAD=shim_preload(self.dir), WPE_SHIM_SLOW_RENAME_TO=image,
                   WPE_SHIM_MARK=mark)
        proc = self.start(image, env=env)
        self.wait_for(proc, lambda: os.path.exists(mark), "the swap")
        proc.send_signal(signal.SIGTERM)
        self.assert_interrupted(proc, signal.SIGTERM, image, customized=True)
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


class TwoRuns(t.FaultCase):
    def test_runs_started_together_and_apart(self):
        image = self.make_image(big_megabytes=48)
        for round_number, delay in enumerate((0.0, 0.3)):
            with self.subTest(delay=delay):
                names = ["A%d.EXE" % round_number, "B%d.EXE" % round_number]
                procs = []
                for name in names:
                    procs.append(subprocess.Popen(
                        [t.TOOL, "-i", image, "-b", marker(self.dir, name)],
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=subprocess.PIPE, env=self.env))
                    time.sleep(delay)
                while any(p.poll() is None for p in procs):
                    self.assertTrue(os.path.exists(image), "the image has no name")
                results = [(p.returncode, p.stderr.read().decode("latin-1")) for p in procs]
                for p in procs:
                    p.stderr.close()
                self.assertIn(0, [code for code, _ in results], results)
                for name, (code, err) in zip(names, results):
                    if code == 0:
                        self.assertTrue(holds(image, name), name + " lost its change")
                    else:
                        self.assertEqual(err, "Warning: another run is customizing or reading %s; run again "
                                              "when it has ended\n" % image)
                self.assert_nothing_left(image, backup=True)


@unittest.skipUnless(os.geteuid() == 0, "giving files away needs root")
class Permissions(t.FaultCase):
    # user::rw- user:1234:r-- group::r-- mask::r-- other::---
    ACL = bytes([2, 0, 0, 0, 1, 0, 6, 0, 255, 255, 255, 255, 2, 0, 4, 0, 0xD2, 4, 0, 0,
                 4, 0, 4, 0, 255, 255, 255, 255, 0x10, 0, 4, 0, 255, 255, 255, 255,
                 0x20, 0, 0, 0, 255, 255, 255, 255])

    def test_the_new_image_keeps_mode_owner_group_and_access_control_list(self):
        image = self.make_image()
        os.chown(image, 1234, 5678)
        os.chmod(image, 0o640)
        try:
            os.setxattr(image, "system.posix_acl_access", self.ACL)
            acl = self.ACL
        except OSError:
            acl = None  # no access control lists on this file system
        before = os.stat(image)
        code, out, err = t.run_tool(self.args(image), env=self.env)
        self.assertEqual((code, err), (0, ""), out)
        after = os.stat(image)
        self.assertNotEqual(after.st_ino, before.st_ino)
        self.assertEqual((after.st_mode, after.st_uid, after.st_gid),
                         (before.st_mode, 1234, 5678))
        if acl:
            self.assertEqual(os.getxattr(image, "system.posix_acl_access"), acl)
        self.assertEqual(os.stat(image + ".bak").st_ino, before.st_ino)
        self.assertTrue(holds(image, "MARKER.EXE"))
        self.assert_nothing_left(image, backup=True)


class Flushing(t.FaultCase):
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
        for shim, expected_code, warning, replaced in cases:
            with self.subTest(shim):
                image = self.make_image()
                old = t.sha256(image)
                env = dict(self.env, LD_PRELOAD=preload, **shim)
                code, out, err = t.run_tool(self.args(image), env=env)
                self.assertEqual((code, err), (expected_code, warning.format(
                    dir=os.path.dirname(image), image=image)), out)
                self.assertEqual(t.sha256(image + ".bak" if replaced else image), old)
                self.assertEqual(holds(image, "MARKER.EXE"), replaced)
                self.assert_nothing_left(image, backup=replaced)
                os.remove(image)
                if replaced:
                    os.remove(image + ".bak")


class StrayArguments(t.FaultCase):
    def test_arguments_that_are_no_options_value_are_refused(self):
        image = self.make_image()
        old = t.sha256(image)
        for args, stray in ((["-i", image, "-f", "extra"], "extra"), ([image, "-f"], image)):
            with self.subTest(args):
                code, out, err = t.run_tool(args + ["-t", self.path("work")], env=self.env)
                self.assertEqual((code, out), (1, ""))
                self.assertEqual(err, "Warning: parsing option error, exeption: argument '%s' is "
                                      "not the value of any option; every value follows its "
                                      "option, the image as -i IMAGE\n" % stray)
                self.assertEqual(t.sha256(image), old)
                self.assert_nothing_left(image)


if __name__ == "__main__":
    t.main()
