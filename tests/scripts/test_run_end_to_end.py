"""The customization run as a process: the image files are swapped, the
workspace is made and removed, and every failure leaves the image
untouched. What the additions put into the image is checked on images of
other tools (test_other_tools_images.py)."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

SOURCES = {
    "plain.exe": b"MZ plain" * 300,
    "starter.exe": b"MZ starter",
    "extra/sub/deep.dat": b"deep" * 700,
    "note.txt": b"note\r\n",
}


class RunEndToEnd(t.ScratchTestCase):
    def setUp(self):
        super().setUp()
        for rel, data in SOURCES.items():
            t.write(self.path("src", rel), data)

    def make_image(self, boot="BOOT/BOOT.IMG", **tree_args):
        t.make_winpe_tree(self.path("tree"), **tree_args)
        image = self.path("cd.iso")
        t.genisoimage(self.path("tree"), image, boot=boot)
        return image

    def src(self, rel):
        return self.path("src", rel)

    def assert_untouched(self, image, before):
        self.assertEqual(t.file_bytes(image), before)
        self.assertFalse(os.path.exists(image + ".tmp"))
        self.assertFalse(os.path.exists(image + ".bak"))

    def test_workspaces_and_backup_rotation(self):
        image = self.make_image()
        first = t.file_bytes(image)
        # A random workspace under $TMPDIR is made and removed.
        tmpdir = self.path("tmpdir")
        os.makedirs(tmpdir)
        code, out, err = t.run_tool(["-i", image, "-b", self.src("plain.exe")],
                                    env=dict(os.environ, TMPDIR=tmpdir))
        self.assertEqual(code, 0, out + err)
        self.assertEqual(os.listdir(tmpdir), [])
        second = t.file_bytes(image)
        self.assertNotEqual(second, first)
        # A -t workspace holding what a killed run leaves is emptied in place
        # (its mode stays), and stays (empty) after.
        t.write(self.path("work", "image_file_dir", "I386", "BOOTFIX.BIN"), b"x")
        t.write(self.path("work", "BootImage.bin"), b"x")
        os.chmod(self.path("work"), 0o710)
        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"), "-b", self.src("starter.exe")])
        self.assertEqual(code, 0, out + err)
        self.assertEqual(os.listdir(self.path("work")), [])
        self.assertEqual(os.stat(self.path("work")).st_mode & 0o7777, 0o710)
        self.assertEqual(t.file_bytes(image + ".bak"), second)

    def test_failures_leave_the_image_untouched(self):
        missing = self.src("missing.exe")
        cases = [
            # (image made with, arguments, warning lines, workspace made and removed)
            ({"with_redodozad": False}, ["-f"], "Warning: retrieve redodozad.xml failed\n", True),
            ({"boot": None}, ["-f"], "", True),  # not bootable: the boot image reader's lines only
            # A driver list header without its key lines: the edit fails.
            ({"replaced": {"I386/SYSTEM32/WINPEOEM.SIF": b"[OemDriverParams]\r\n"}},
             ["-d", self.src("extra")], "", True),
            ({}, ["-P", "pkg"], "Warning: invalid option format: pkg\n"
                                "Warning: need to use '%' to specify the start up executable\n", False),
            ({}, ["-b", missing], "Warning: can not find binary file %s\n" % missing, False),
            ({}, ["-Y", self.src("note.txt") + "%\\PROGRAMS", "-b", self.src("plain.exe")],
             "Warning: adding file note.txt failed - parent directory does not exists\n"
             "Warning: copy back file %s failed\n" % self.src("note.txt"), True),
        ]
        for tree_args, args, warning, made in cases:
            with self.subTest(args=args):
                image = self.make_image(**tree_args)
                before = t.file_bytes(image)
                code, out, err = t.run_tool(["-i", image, "-t", self.path("work")] + args)
                self.assertEqual((code, err), (1, warning), out)
                self.assertEqual(out.endswith("Log: clean up succeeded\n"), made, out)
                self.assert_untouched(image, before)
                self.assertFalse(os.path.exists(self.path("work")))
        # No image: the first retrieval fails.
        code, out, err = t.run_tool(["-f", "-t", self.path("work")])
        self.assertEqual((code, err), (1, "Warning: retrieve winbom.ini failed\n"))
        # A workspace that would be emptied is refused first when it holds the
        # image or is a file.
        image = self.make_image()
        for work in (self.dir, self.src("note.txt")):
            code, out, err = t.run_tool(["-i", image, "-f", "-t", work])
            self.assertEqual(code, 1)
            self.assertIn("Warning: invalid temporary directory " + work, err)
            self.assertTrue(os.path.exists(image) and os.path.exists(self.src("note.txt")))


if __name__ == "__main__":
    t.main()
