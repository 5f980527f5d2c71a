"""The customization run as a process: success with programs and packages,
the swap of image files, and failures that leave the image untouched."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402


class RunEndToEnd(t.ScratchTestCase):
    def make_image(self, **tree_args):
        tree = self.path("tree")
        t.make_winpe_tree(tree, **tree_args)
        image = self.path("cd.iso")
        t.genisoimage(tree, image)
        return image

    def make_sources(self):
        os.makedirs(self.path("src", "tool", "bin"))
        with open(self.path("src", "tool", "bin", "run.exe"), "wb") as f:
            f.write(b"MZ run" * 500)
        with open(self.path("src", "tool", "readme.txt"), "wb") as f:
            f.write(b"tool package\r\n")
        os.makedirs(self.path("src", "pkg"))
        with open(self.path("src", "pkg", "data.bin"), "wb") as f:
            f.write(os.urandom(5000))
        with open(self.path("src", "plain.exe"), "wb") as f:
            f.write(b"MZ plain" * 300)
        with open(self.path("src", "starter.exe"), "wb") as f:
            f.write(b"MZ starter")

    def assert_untouched(self, image, before):
        self.assertEqual(t.file_bytes(image), before)
        self.assertFalse(os.path.exists(image + ".tmp"))
        self.assertFalse(os.path.exists(image + ".bak"))

    def test_programs_and_packages_reach_the_new_image(self):
        image = self.make_image()
        old = t.file_bytes(image)
        old_files, _ = t.read_image(image)
        self.make_sources()
        work = self.path("work")
        code, out, err = t.run_tool([
            "-i", image, "-t", work,
            "-b", self.path("src", "plain.exe"),
            "-B", self.path("src", "starter.exe"),
            "-p", self.path("src", "pkg"),
            "-P", self.path("src", "tool") + "%bin\\run.exe",
        ])
        self.assertEqual(code, 0, out + err)
        self.assertEqual(err, "")
        self.assertIn("Log: pack image file back succeeded\n", out)
        self.assertTrue(out.endswith("Log: clean up succeeded\n"), out[-300:])
        # The old image is kept, the new one took its name, nothing is left.
        self.assertEqual(t.file_bytes(image + ".bak"), old)
        self.assertFalse(os.path.exists(image + ".tmp"))
        self.assertFalse(os.path.exists(work))

        files, dirs = t.read_image(image)
        self.assertEqual(files["/PROGRAMS/plain.exe"], t.file_bytes(self.path("src", "plain.exe")))
        self.assertEqual(files["/PROGRAMS/starter.exe"], b"MZ starter")
        self.assertEqual(files["/PROGRAMS/pkg/data.bin"], t.file_bytes(self.path("src", "pkg", "data.bin")))
        self.assertEqual(files["/PROGRAMS/tool/bin/run.exe"], b"MZ run" * 500)
        xml = files["/FERROVANE/REDODOZAD.XML"]
        self.assertEqual(xml, t.REDODOZAD.replace(
            b"</redoDozad>",
            b"<exec processName=\"\\PROGRAMS\\starter.exe\" currentDir=\"\\PROGRAMS\\\" />\r\n"
            b"<exec processName=\"\\PROGRAMS\\tool\\bin\\run.exe\" currentDir=\"\\PROGRAMS\\tool\\bin\" />\r\n"
            b"</redoDozad>"))
        # Every other file is byte-identical to the old image's.
        for name, data in old_files.items():
            if name != "/FERROVANE/REDODOZAD.XML":
                self.assertEqual(files[name], data, name)
        self.assertEqual(set(files) - set(old_files),
                         {"/PROGRAMS/plain.exe", "/PROGRAMS/starter.exe", "/PROGRAMS/pkg/data.bin",
                          "/PROGRAMS/tool/bin/run.exe", "/PROGRAMS/tool/readme.txt"})

    def test_existing_tmp_is_emptied_and_second_run_rotates_backup(self):
        image = self.make_image()
        first = t.file_bytes(image)
        work = self.path("work")
        os.makedirs(os.path.join(work, "old"))
        with open(os.path.join(work, "old", "junk"), "wb") as f:
            f.write(b"x")
        self.make_sources()
        code, out, err = t.run_tool(["-i", image, "-t", work, "-b", self.path("src", "plain.exe")])
        self.assertEqual(code, 0, out + err)
        self.assertEqual(os.listdir(work), [])
        second = t.file_bytes(image)
        code, out, err = t.run_tool(["-i", image, "-t", work, "-b", self.path("src", "starter.exe")])
        self.assertEqual(code, 0, out + err)
        self.assertEqual(t.file_bytes(image + ".bak"), second)
        self.assertNotEqual(second, first)
        files, _ = t.read_image(image)
        self.assertIn("/PROGRAMS/plain.exe", files)
        self.assertIn("/PROGRAMS/starter.exe", files)

    def test_random_workspace_is_removed(self):
        image = self.make_image()
        self.make_sources()
        tmpdir = self.path("tmpdir")
        os.makedirs(tmpdir)
        env = dict(os.environ, TMPDIR=tmpdir)
        code, out, err = t.run_tool(["-i", image, "-b", self.path("src", "plain.exe")], env=env)
        self.assertEqual(code, 0, out + err)
        self.assertEqual(os.listdir(tmpdir), [])

    def test_failures_leave_the_image_untouched(self):
        self.make_sources()
        cases = [
            # (tree arguments, boot image, extra args, expected warning)
            ({"with_redodozad": False}, "BOOT/BOOT.IMG", [], "Warning: retrieve redodozad.xml failed\n"),
            ({}, None, [], ""),  # not bootable: only the boot image reader's lines
        ]
        for tree_args, boot, extra, warning in cases:
            with self.subTest(tree_args=tree_args, boot=boot):
                tree = self.path("tree%d" % len(os.listdir(self.dir)))
                t.make_winpe_tree(tree, **tree_args)
                image = self.path("cd%d.iso" % len(os.listdir(self.dir)))
                t.genisoimage(tree, image, boot=boot)
                before = t.file_bytes(image)
                work = self.path("w%d" % len(os.listdir(self.dir)))
                code, out, err = t.run_tool(["-i", image, "-t", work, "-f"] + extra)
                self.assertEqual(code, 1)
                self.assertEqual(err, warning)
                if boot is None:
                    self.assertIn("load boot image failed", out)
                self.assertTrue(out.endswith("Log: clean up succeeded\n"), out)
                self.assert_untouched(image, before)
                self.assertFalse(os.path.exists(work))

    def test_without_image_the_first_retrieval_fails(self):
        work = self.path("work")
        code, out, err = t.run_tool(["-f", "-t", work])
        self.assertEqual(code, 1)
        self.assertEqual(err, "Warning: retrieve winbom.ini failed\n")
        self.assertFalse(os.path.exists(work))

    def test_checks_fail_before_anything_is_made(self):
        image = self.make_image()
        work = self.path("work")
        cases = [
            (["-P", "pkg"], "Warning: invalid option format: pkg\n"
                            "Warning: need to use '%' to specify the start up executable\n"),
            (["-b", self.path("missing.exe")], "Warning: can not find binary file %s\n" % self.path("missing.exe")),
            # A workspace that holds the image would be emptied: refused.
            (["-f", "-t", self.dir], None),
        ]
        for args, warning in cases:
            with self.subTest(args=args):
                before = t.file_bytes(image)
                run_args = ["-i", image] + args
                if "-t" not in args:
                    run_args += ["-t", work]
                code, out, err = t.run_tool(run_args)
                self.assertEqual(code, 1)
                if warning is not None:
                    self.assertEqual(err, warning)
                else:
                    self.assertIn("invalid temporary directory", err)
                self.assertEqual(t.file_bytes(image), before)
                self.assertFalse(os.path.exists(work))
                self.assertNotIn("clean up", out)

    def test_conflict_prompt_through_standard_input(self):
        tree = self.path("tree")
        t.make_winpe_tree(tree)
        os.makedirs(os.path.join(tree, "PROGRAMS"))
        with open(os.path.join(tree, "PROGRAMS", "plain.exe"), "wb") as f:
            f.write(b"old")
        image = self.path("cd.iso")
        t.genisoimage(tree, image)
        self.make_sources()
        before = t.file_bytes(image)

        code, out, err = t.run_tool(["-i", image, "-t", self.path("w1"), "-b", self.path("src", "plain.exe")],
                                    stdin=b"x\n")
        self.assertEqual(code, 1)
        self.assertIn("Log: press 'c' to change name, other key to abort\n", out)
        self.assertEqual(err, "Warning: adding file plain.exe failed - file name conflict, aborted by user\n")
        self.assert_untouched(image, before)

        code, out, err = t.run_tool(["-i", image, "-t", self.path("w2"), "-b", self.path("src", "plain.exe")],
                                    stdin=b"c\nrenamed.exe\n")
        self.assertEqual(code, 0, out + err)
        self.assertIn("Log: please enter the new name for the binary file plain.exe\n", out)
        files, _ = t.read_image(image)
        self.assertEqual(files["/PROGRAMS/plain.exe"], b"old")
        self.assertEqual(files["/PROGRAMS/renamed.exe"], t.file_bytes(self.path("src", "plain.exe")))

    def test_direct_additions_land_where_asked(self):
        image = self.make_image()
        old_files, _ = t.read_image(image)
        self.make_sources()
        os.makedirs(self.path("extra", "sub"))
        with open(self.path("extra", "sub", "deep.dat"), "wb") as f:
            f.write(os.urandom(3000))
        with open(self.path("note.txt"), "wb") as f:
            f.write(b"note\r\n")
        code, out, err = t.run_tool([
            "-i", image, "-t", self.path("work"), "-f",
            "-X", self.path("extra") + "/%\\I386",
            "-Y", self.path("note.txt"),
            "-Y", self.path("src", "plain.exe") + "%\\DOCS\\",
        ])
        self.assertEqual(code, 0, out + err)
        self.assertIn("Log: adding directory extra succeeded\n", out)
        self.assertIn("Log: adding file note.txt succeeded\n", out)
        files, dirs = t.read_image(image)
        self.assertEqual(files["/I386/extra/sub/deep.dat"], t.file_bytes(self.path("extra", "sub", "deep.dat")))
        self.assertEqual(files["/note.txt"], b"note\r\n")
        self.assertEqual(files["/DOCS/plain.exe"], t.file_bytes(self.path("src", "plain.exe")))
        for name, data in old_files.items():
            if name != "/WINBOM.INI":
                self.assertEqual(files[name], data, name)

    def test_direct_addition_conflict_and_missing_parent(self):
        image = self.make_image()
        before = t.file_bytes(image)
        os.makedirs(self.path("DOCS"))
        with open(self.path("DOCS", "x.txt"), "wb") as f:
            f.write(b"x")
        # The name is taken in the image: overwrite replaces the directory.
        code, out, err = t.run_tool(["-i", image, "-t", self.path("w1"), "-X", self.path("DOCS")],
                                    stdin=b"o\n")
        self.assertEqual(code, 0, out + err)
        self.assertIn("Log: press 'c' to change name, 'o' to overwrite, other key to abort\n", out)
        files, _ = t.read_image(image)
        self.assertEqual(sorted(n for n in files if n.startswith("/DOCS/")), ["/DOCS/x.txt"])
        # A place that only the run itself adds is not a parent yet.
        before = t.file_bytes(image)
        os.remove(image + ".bak")
        code, out, err = t.run_tool(["-i", image, "-t", self.path("w2"), "-b", self.path("DOCS", "x.txt"),
                                     "-Y", self.path("DOCS", "x.txt") + "%\\PROGRAMS"])
        self.assertEqual(code, 1)
        self.assertEqual(err, "Warning: adding file x.txt failed - parent directory does not exists\n"
                              "Warning: copy back file %s failed\n" % self.path("DOCS", "x.txt"))
        self.assert_untouched(image, before)


if __name__ == "__main__":
    t.main()
