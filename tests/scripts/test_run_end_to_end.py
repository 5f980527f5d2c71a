"""The customization run as a process: programs, packages and direct
additions reach the new image, the image files are swapped, and every
failure leaves the image untouched."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

SOURCES = {
    "tool/bin/run.exe": b"MZ run" * 500,
    "tool/readme.txt": b"tool package\r\n",
    "pkg/data.bin": bytes(range(256)) * 20,
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

    def test_additions_reach_the_new_image(self):
        image = self.make_image()
        old = t.file_bytes(image)
        old_files, _ = t.read_image(image)
        work = self.path("work")
        code, out, err = t.run_tool([
            "-i", image, "-t", work, "-b", self.src("plain.exe"), "-B", self.src("starter.exe"),
            "-p", self.src("pkg"), "-P", self.src("tool") + "%bin\\run.exe",
            "-X", self.src("extra") + "/%\\I386", "-Y", self.src("note.txt"),
            "-Y", self.src("plain.exe") + "%\\DOCS\\"])
        self.assertEqual((code, err), (0, ""), out)
        self.assertTrue(out.endswith("Log: pack image file back succeeded\nLog: clean up ...\n"
                                     "Log: clean up succeeded\n"), out[-300:])
        # The old image is kept, the new one took its name, nothing is left.
        self.assertEqual(t.file_bytes(image + ".bak"), old)
        self.assertFalse(os.path.exists(image + ".tmp"))
        self.assertFalse(os.path.exists(work))

        files, _ = t.read_image(image)
        expected_new = {
            "/PROGRAMS/plain.exe": "plain.exe", "/PROGRAMS/starter.exe": "starter.exe",
            "/PROGRAMS/pkg/data.bin": "pkg/data.bin", "/PROGRAMS/tool/bin/run.exe": "tool/bin/run.exe",
            "/PROGRAMS/tool/readme.txt": "tool/readme.txt", "/I386/extra/sub/deep.dat": "extra/sub/deep.dat",
            "/note.txt": "note.txt", "/DOCS/plain.exe": "plain.exe",
        }
        self.assertEqual(set(files), set(old_files) | set(expected_new))
        for name, rel in expected_new.items():
            self.assertEqual(files[name], SOURCES[rel], name)
        self.assertEqual(files["/FERROVANE/REDODOZAD.XML"], t.REDODOZAD.replace(
            b"</redoDozad>",
            b"<exec processName=\"\\PROGRAMS\\starter.exe\" currentDir=\"\\PROGRAMS\\\" />\r\n"
            b"<exec processName=\"\\PROGRAMS\\tool\\bin\\run.exe\" currentDir=\"\\PROGRAMS\\tool\\bin\" />\r\n"
            b"</redoDozad>"))
        for name, data in old_files.items():
            if name != "/FERROVANE/REDODOZAD.XML":
                self.assertEqual(files[name], data, name)

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

    def test_conflict_prompts_through_standard_input(self):
        t.write(self.path("tree", "PROGRAMS", "plain.exe"), b"old")
        image = self.make_image()
        args = ["-i", image, "-t", self.path("work"), "-b", self.src("plain.exe")]
        code, out, err = t.run_tool(args, stdin=b"c\nrenamed.exe\n")
        self.assertEqual(code, 0, out + err)
        files, _ = t.read_image(image)
        self.assertEqual(files["/PROGRAMS/plain.exe"], b"old")
        self.assertEqual(files["/PROGRAMS/renamed.exe"], SOURCES["plain.exe"])

        # A direct addition may overwrite: the directory's old content goes.
        t.write(self.path("DOCS", "x.txt"), b"x")
        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"), "-X", self.path("DOCS")], stdin=b"o\n")
        self.assertEqual(code, 0, out + err)
        files, _ = t.read_image(image)
        self.assertEqual(sorted(n for n in files if n.startswith("/DOCS/")), ["/DOCS/x.txt"])


if __name__ == "__main__":
    t.main()
