"""In a build pipeline: reproducible images under SOURCE_DATE_EPOCH with the source's
dates kept; -o leaving the image as it was; idempotent re-runs; a VNC password file."""

import fcntl
import os
import struct
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True
import wpe_testlib as t  # noqa: E402

EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC
EPOCH_RECORD = bytes([123, 11, 14, 22, 13, 20, 0])
EPOCH_VOLUME = b"2023111422132000\x00"
OLD_MTIME = 981173106  # 2001-02-03 04:05:06 UTC, the source tree's README

MAKERS = {
    "genisoimage": t.GENISOIMAGE + ["-iso-level", "2", "-J", "-R"],
    "xorriso": t.XORRISO + ["-iso-level", "3", "-J", "-R"],
}


def hold_like_a_run(held, kind):
    """Takes the run's own lock: one byte far past the end, as on Windows."""
    fcntl.fcntl(held, fcntl.F_OFD_SETLK,
                struct.pack("hhqqi4x", kind, os.SEEK_SET, 0x7FFFFFFFFFFFFFF0, 1, 0))

class Pipeline(t.ScratchTestCase):
    def setUp(self):
        super().setUp()
        for rel, data in {"start.exe": b"MZ start", "pkg/sub/data.bin": b"pkg" * 700,
                          "raid/raid.sys": b"raid" * 90, "vnc/server.exe": b"MZ vnc"}.items():
            t.write(self.path("src", rel), data)
        self.env = dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH))

    def src(self, rel):
        return self.path("src", rel)

    def edits(self, vnc=True):
        args = ["-f", "-B", self.src("start.exe"), "-p", self.src("pkg"), "-d", self.src("raid")]
        return args + (["-v", self.src("vnc") + "%server.exe%secret"] if vnc else [])

    def made_with(self, maker):
        tree = self.path("tree-" + maker)
        t.make_winpe_tree(tree)
        os.utime(os.path.join(tree, "DOCS", "README.TXT"), (OLD_MTIME, OLD_MTIME))
        return t.master(tree, self.path(maker + ".iso"), MAKERS[maker])

    def customize(self, args):
        code, out, err = t.run_tool(args, env=self.env)
        self.assertEqual((code, err), (0, ""), out)
        return out

    def test_same_inputs_give_the_same_image_and_source_entries_keep_their_dates(self):
        # On the sample CD the second run's VNC password comes from a file: the same hive.
        t.write(self.path("password"), b"secret\r\nsecond line\n")
        from_file = ["-v", self.src("vnc") + "%server.exe", "--vnc-password-file", self.path("password")]
        images = [("sample CD", t.sample_cd(self.path("sample.iso")), from_file)]
        images += [(maker, self.made_with(maker), None) for maker in MAKERS]
        for label, image, second_vnc in images:
            with self.subTest(label):
                before = t.file_bytes(image)
                outputs = [self.path("%s-%d.iso" % (label, run)) for run in range(2)]
                self.customize(["-i", image, "-o", outputs[0]] + self.edits(second_vnc is not None))
                time.sleep(1)  # a second apart: the clock must not show
                out = self.customize(["-i", image, "-o", outputs[1]] + self.edits(False)
                                     + (second_vnc or []))
                self.assertNotIn("without a password", out)
                self.assertEqual(t.file_bytes(outputs[0]), t.file_bytes(outputs[1]))
                self.assertEqual(t.file_bytes(image), before)
                if not second_vnc:
                    self.check_dates(image, outputs[0])

    def check_dates(self, source, new):
        with t.pycdlib_open(source) as old_iso, t.pycdlib_open(new) as new_iso:
            def date(iso, path, dot=False):
                record = iso.get_record(iso_path=path)
                return (record.children[0] if dot else record).date.record()
            for path in ("/DOCS/README.TXT;1", "/DOCS", "/I386/INF/DISK.INF;1"):
                self.assertEqual(date(new_iso, path), date(old_iso, path), path)
            self.assertEqual(date(new_iso, "/DOCS", dot=True), date(old_iso, "/DOCS"))
            self.assertNotEqual(date(old_iso, "/DOCS/README.TXT;1"), EPOCH_RECORD)
            for path in ("/PROGRAMS", "/PROGRAMS/start.exe", "/WINBOM.INI;1"):
                self.assertEqual(date(new_iso, path), EPOCH_RECORD, path)
            self.assertEqual(new_iso.pvd.volume_modification_date.record(), EPOCH_VOLUME)
            self.assertEqual(new_iso.joliet_vd.volume_modification_date.record(), EPOCH_VOLUME)

    def test_overwrite_makes_a_second_run_change_nothing(self):
        image = t.sample_cd(self.path("sample.iso"))
        args = ["-i", image, "--on-conflict=overwrite"] + self.edits()
        self.customize(args)
        first = t.file_bytes(image)
        self.customize(args)
        self.assertEqual(t.file_bytes(image), first)
        self.assertEqual(t.file_bytes(image + ".bak"), first)


class Output(t.ScratchTestCase):
    def setUp(self):
        super().setUp()
        t.write(self.path("src", "start.exe"), b"MZ start")
        t.write(self.path("src", "pkg", "a.txt"), b"a")
        t.make_winpe_tree(self.path("tree"))
        os.makedirs(self.path("in"))
        self.image = t.master(self.path("tree"), self.path("in", "cd.iso"))

    def run_output(self, output, image=None, extra=()):
        return t.run_tool(["-i", image or self.image, "-o", output, "-B", self.path("src", "start.exe")]
                          + list(extra))

    def assert_written(self, output, image, before, mode):
        self.assertEqual(t.file_bytes(image), before)
        self.assertEqual(t.read_image(output)[0]["/PROGRAMS/start.exe"], b"MZ start")
        self.assertEqual(os.stat(output).st_mode & 0o7777, mode)
        self.assertEqual(os.stat(output).st_uid, os.getuid())
        self.assertEqual(sorted(os.listdir(os.path.dirname(image))), [os.path.basename(image)])

    def test_the_image_is_only_read(self):
        before = t.file_bytes(self.image)
        os.chmod(self.image, 0o444)
        os.symlink(self.image, self.path("link.iso"))  # only read: a link to it serves
        code, out, err = self.run_output(self.path("out.iso"), self.path("link.iso"))
        self.assertEqual((code, err), (0, ""), out)
        self.assert_written(self.path("out.iso"), self.image, before, 0o444)
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith("out.iso")], ["out.iso"])
        # A run that reads it may share it; one that customizes it may not.
        hold = lambda kind: hold_like_a_run(held, kind)  # noqa: E731
        os.chmod(self.image, 0o644)  # an exclusive holder needs it open for writing
        with open(self.image, "rb+") as held:
            hold(fcntl.F_RDLCK)
            code, out, err = self.run_output(self.path("out2.iso"))
            self.assertEqual((code, err), (0, ""), out)
            hold(fcntl.F_WRLCK)
            code, out, err = self.run_output(self.path("out3.iso"))
            self.assertEqual((code, err), (1, "Warning: another run is customizing %s; run again "
                                              "when it has ended\n" % self.image))
        self.assertFalse(os.path.exists(self.path("out3.iso")))

    def test_an_output_that_is_held_or_cannot_be_replaced(self):
        output = self.path("out.iso")
        # Made empty to be held, and removed again when the run fails.
        missing_parent = ["--file", self.path("src", "start.exe") + "%\\NO\\"]
        code, out, err = self.run_output(output, extra=missing_parent)
        self.assertEqual((code, os.path.exists(output)), (1, False))
        self.assertIn("parent directory does not exist", err)
        t.write(output, b"old")
        with open(output, "rb+") as held:
            hold_like_a_run(held, fcntl.F_WRLCK)
            code, out, err = self.run_output(output)
        self.assertEqual((code, err), (1, "Warning: another run is customizing or reading %s; run "
                                          "again when it has ended\n" % output))
        # An immutable output: the final rename fails, even for root.
        if subprocess.run(["chattr", "+i", output], capture_output=True).returncode != 0:
            self.skipTest("chattr +i does not work here")
        try:
            code, out, err = self.run_output(output)
        finally:
            subprocess.run(["chattr", "-i", output], check=True)
        self.assertEqual((code, err), (1, "Warning: exception: cannot write %s: Operation not "
                                          "permitted; it is unchanged and the new image was "
                                          "removed\n" % output))
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.startswith("out")), ["out.iso"])

    @unittest.skipUnless(os.geteuid() == 0, "a read-only bind mount needs root")
    def test_an_image_on_a_read_only_mount(self):
        mount = self.path("ro")
        os.makedirs(mount)
        made = subprocess.run(["mount", "--bind", self.path("in"), mount], capture_output=True)
        if made.returncode != 0:
            self.skipTest("mount --bind does not work here: " + made.stderr.decode().strip())
        try:
            subprocess.run(["mount", "-o", "remount,bind,ro", mount], check=True)
            image = os.path.join(mount, "cd.iso")
            before = t.file_bytes(image)
            code, out, err = self.run_output(self.path("out.iso"), image)
            self.assertEqual((code, err), (0, ""), out)
            self.assert_written(self.path("out.iso"), image, before, 0o644)
        finally:
            subprocess.run(["umount", mount], check=True)

    def test_output_files_that_are_refused(self):
        os.makedirs(self.path("a dir"))
        os.makedirs(self.path("work"))
        os.symlink(self.path("elsewhere.iso"), self.path("link.iso"))
        os.link(self.image, self.path("hard.iso"))
        cases = [
            (self.path("in", ".", "cd.iso"), [], "it is the image or a source, or lies inside "
             "one (%s); give another name" % self.image),
            (self.path("hard.iso"), [], "it is the image or a source"),
            (self.path("src", "pkg", "out.iso"), ["-p", self.path("src", "pkg")],
             "it is the image or a source, or lies inside one (%s)" % self.path("src", "pkg")),
            (self.path("work", "out.iso"), ["-t", self.path("work")],
             "it lies inside the temporary directory %s, which the run empties"
             % self.path("work")),
            (self.path("a dir"), [], "it is a directory; give the path of a regular file"),
            (self.path("link.iso"), [], "it is a symbolic link; give the path of a regular file"),
            (self.path("no", "out.iso"), [], "its directory %s does not exist; make it first"
             % self.path("no")),
        ]
        before = t.file_bytes(self.image)
        for output, extra, why in cases:
            with self.subTest(output):
                code, out, err = self.run_output(output, extra=extra)
                self.assertEqual((code, err.count("\n")), (1, 1), err)
                self.assertTrue(err.startswith("Warning: invalid output file %s - %s"
                                               % (output, why)), err)
                self.assertNotIn("load ISO image", out)
                self.assertEqual(t.file_bytes(self.image), before)
        self.assertFalse(os.path.lexists(self.path("elsewhere.iso")))
        self.assertEqual(sorted(os.listdir(self.path("in"))), ["cd.iso"])


if __name__ == "__main__":
    t.main()
