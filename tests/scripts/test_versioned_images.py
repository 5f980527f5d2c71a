"""Images made by genisoimage and xorriso at their usual settings (file
identifiers with versions, "DEFAULT.;1" or "DEFAULT." for a name without an
extension) are customized with every option, read back with pycdlib, 7z and
isoinfo, and customized again. Entries replaced keep their identifiers,
names compare without case and version, and nothing is there twice."""

import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

# The mastering tool's command line before "-o IMAGE", for a tree with the
# boot image at /BOOT.BIN.
BOOT = ["-b", "BOOT.BIN", "-no-emul-boot", "-boot-load-size", "4"]
PRODUCERS = {
    "genisoimage -iso-level 2": ["genisoimage", "-quiet", "-iso-level", "2"] + BOOT,
    "genisoimage -l -N": ["genisoimage", "-quiet", "-l", "-N"] + BOOT,  # "DEFAULT." without ";1"
    "xorriso -as mkisofs -iso-level 2": ["xorriso", "-as", "mkisofs", "-quiet", "-iso-level", "2"] + BOOT,
}

SOURCES = {
    "R&D.exe": b"MZ r&d",
    "Start Me.exe": b"MZ start",
    "Utils/util.dll": b"util" * 600,
    "Tool Kit/bin/run.exe": b"MZ run",
    "raid/RAID.SYS": b"raid",
    "nic/e1000.sys": b"nic sys",
    "nic/cdrom.sys": b"a newer cdrom driver",  # replaces the image's CDROM.SYS, as intended
    "vnc/server.exe": b"MZ vnc",
    "extra/deep/x.dat": b"extra",
    "note.txt": b"note",
}
ARGS = ["-f", "-b", "R&D.exe", "-B", "Start Me.exe", "-p", "Utils", "-P", "Tool Kit%bin/run.exe",
        "-d", "raid", "-n", "nic", "-v", "vnc%server.exe%secret", "-X", "extra/%\\I386",
        "-Y", "note.txt%\\DOCS\\", "-Y", "Start Me.exe"]
# Where the new files go (image paths as added, without versions).
ADDED = {
    "/PROGRAMS/R&D.exe": "R&D.exe", "/PROGRAMS/Start Me.exe": "Start Me.exe",
    "/PROGRAMS/Utils/util.dll": "Utils/util.dll", "/PROGRAMS/Tool Kit/bin/run.exe": "Tool Kit/bin/run.exe",
    "/I386/SYSTEM32/DRIVERS/raid/RAID.SYS": "raid/RAID.SYS", "/I386/SYSTEM32/DRIVERS/e1000.sys": "nic/e1000.sys",
    "/PROGRAMS/vnc/server.exe": "vnc/server.exe", "/I386/extra/deep/x.dat": "extra/deep/x.dat",
    "/DOCS/note.txt": "note.txt", "/Start Me.exe": "Start Me.exe",
}
EDITED = {"/WINBOM.INI", "/FERROVANE/REDODOZAD.XML", "/I386/SYSTEM32/WINPEOEM.SIF",
          "/I386/SYSTEM32/CONFIG/DEFAULT", "/I386/BOOTFIX.BIN", "/I386/SYSTEM32/DRIVERS/CDROM.SYS"}


def entry(path):
    """The path without ISO 9660's versions and trailing dots, as readers show it."""
    return "/".join(re.sub(r"\.?(;\d+)?$", "", name) or name for name in path.split("/"))


def marks():
    return "".join("%d%%" % i if i % 10 == 0 else "." for i in range(101)) + "\n"


class VersionedImages(t.ScratchTestCase):

    def setUp(self):
        super().setUp()
        subprocess.run([t.SAMPLE_CD_MAKER, self.path("sample.iso"), self.path("sample")],
                       check=True, capture_output=True)
        os.rename(self.path("sample", "boot.bin"), self.path("sample", "cd", "BOOT.BIN"))
        for rel, data in SOURCES.items():
            t.write(self.path("src", rel), data)

    def customize(self, image, args, stdin=b""):
        proc = subprocess.run([t.TOOL, "-i", image] + args, input=stdin, capture_output=True,
                              cwd=self.path("src"), timeout=600)
        return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")

    def test_usual_settings_customize_and_read_back(self):
        for label, command in PRODUCERS.items():
            with self.subTest(producer=label):
                image = self.path(label.replace(" ", "_") + ".iso")
                subprocess.run(command + ["-o", image, self.path("sample", "cd")], check=True,
                               capture_output=True)
                before, _ = t.read_image(image)
                original = t.file_bytes(image)
                self.assertIn("/I386/SYSTEM32/CONFIG/" + ("DEFAULT." if "-N" in command else "DEFAULT.;1"),
                              before)
                code, out, err = self.customize(image, ARGS)
                self.assertEqual((code, err), (0, ""), out[-2000:])
                self.assertEqual(out.count("100%"), 1, out)
                self.assertIn("  write directory record and files ...\n" + marks(), out)
                self.assertTrue(out.endswith("Log: pack image file back succeeded\n"
                                             "Log: clean up ...\nLog: clean up succeeded\n"))
                self.assertEqual(t.file_bytes(image + ".bak"), original)
                self.assertFalse(os.path.exists(image + ".tmp"))
                self.check_read_back(image, before)
                # The tool reads what it wrote; the same names again meet the prompt.
                code, out, err = self.customize(image, ["-f"])
                self.assertEqual((code, err), (0, ""), out[-2000:])
                code, out, err = self.customize(image, ["-b", "R&D.exe"])
                self.assertEqual((code, err), (1, "Warning: adding file R&D.exe failed - file name "
                                                  "conflict, aborted by user\n"), out[-2000:])

    def check_read_back(self, image, before):
        files, dirs = t.read_image(image)
        # Untouched entries keep their identifiers and bytes; edited ones keep
        # their identifiers; new ones take their local names.
        for path, data in before.items():
            self.assertIn(path, files)
            if entry(path) not in EDITED:
                self.assertEqual(files[path], data, path)
        for path, rel in ADDED.items():
            self.assertEqual(files.pop(path), SOURCES[rel], path)
        self.assertEqual(set(files) - set(before), set())
        cdrom = [p for p in files if entry(p) == "/I386/SYSTEM32/DRIVERS/CDROM.SYS"]
        self.assertEqual([files[p] for p in cdrom], [SOURCES["nic/cdrom.sys"]])
        # No directory holds the same entry twice.
        names = [entry(p).upper() for p in list(files) + list(ADDED) + sorted(dirs)]
        self.assertEqual(len(names), len(set(names)))
        # isoinfo lists every identifier as pycdlib does; 7z shows the names
        # without versions and extracts every file.
        listing = subprocess.run(["isoinfo", "-f", "-i", image], capture_output=True, check=True)
        shown = set(listing.stdout.decode().splitlines())
        self.assertEqual(shown, (set(files) | set(ADDED) | dirs) - {"/"})
        out_dir = self.path("x-" + os.path.basename(image))
        subprocess.run(["7z", "x", "-y", "-o" + out_dir, image], check=True, capture_output=True)
        for path, rel in ADDED.items():
            self.assertEqual(t.file_bytes(out_dir + path), SOURCES[rel], path)
        self.assertIn(b"WinPEFirewall=off", t.file_bytes(out_dir + "/WINBOM.INI"))
        self.assertIn(b'processName="\\PROGRAMS\\Tool Kit\\bin\\run.exe" '
                      b'currentDir="\\PROGRAMS\\Tool Kit\\bin" />',
                      t.file_bytes(out_dir + "/FERROVANE/REDODOZAD.XML"))
        self.assertIn(b"OemDriverDirs=raid", t.file_bytes(out_dir + "/I386/SYSTEM32/WINPEOEM.SIF"))
        hive = subprocess.run(["reglookup", "-p", "/Software/RealVNC/WinVNC4",
                               out_dir + "/I386/SYSTEM32/CONFIG/DEFAULT"], capture_output=True)
        self.assertIn(b"/WinVNC4/SecurityTypes,SZ,VncAuth,", hive.stdout)

    def test_overwriting_keeps_the_recorded_identifiers(self):
        image = self.path("cd.iso")
        subprocess.run(PRODUCERS["genisoimage -iso-level 2"] + ["-o", image, self.path("sample", "cd")],
                       check=True, capture_output=True)
        t.write(self.path("src", "winbom.ini"), b"[WinPE]\r\n")
        t.write(self.path("src", "docs", "new.txt"), b"new")
        code, out, err = self.customize(image, ["-X", "docs", "-Y", "winbom.ini%\\"], stdin=b"o\no\n")
        self.assertEqual((code, err), (0, ""), out[-2000:])
        self.assertEqual(out.count("Log: a file or directory with same name exists\n"), 2)
        files, dirs = t.read_image(image)
        self.assertEqual(files["/WINBOM.INI;1"], b"[WinPE]\r\n")
        self.assertEqual(sorted(p for p in files if p.upper().startswith("/DOCS")), ["/DOCS/new.txt"])
        self.assertNotIn("/winbom.ini", files)
        self.assertIn("/DOCS", dirs)


if __name__ == "__main__":
    t.main()
