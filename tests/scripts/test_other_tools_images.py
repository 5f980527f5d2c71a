"""Images genisoimage and xorriso make at usual and default settings, customized with
every option, then read back with pycdlib (both trees), isovfy, 7z and reglookup."""

import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True
import wpe_testlib as t  # noqa: E402

LONG_NAME = "A file name of seventy characters, longer than Joliet's sixty-four.txt"
TREE_EXTRAS = {
    "DOCS/Long Mixed Name & Co.txt": b"long mixed" * 300,
    "DOCS/" + LONG_NAME: b"seventy",
    "BOOT/EFI.IMG": bytes(4096),
}
# Only xorriso takes local names for UTF-8 in Joliet names at these settings.
UNICODE_SOURCE = "DOCS/Ünïcode Ñame.txt"

# Local source: (bytes, where it lands in both trees).
SOURCES = {
    "R&D.exe": (b"MZ r&d", "/PROGRAMS/R&D.exe"),
    "Start Me & Co.exe": (b"MZ start" * 100, "/PROGRAMS/Start Me & Co.exe"),
    "Paket Grüße/bin/Run Me.exe": (b"MZ run" * 300, "/PROGRAMS/Paket Grüße/bin/Run Me.exe"),
    "Paket Grüße/Liesmich.txt": (b"lies mich\r\n", "/PROGRAMS/Paket Grüße/Liesmich.txt"),
    "plain Pkg/Data File.bin": (bytes(range(256)) * 9, "/PROGRAMS/plain Pkg/Data File.bin"),
    "RaidDrv/raid.sys": (b"raid" * 50, "/I386/SYSTEM32/DRIVERS/RaidDrv/raid.sys"),
    "net/E1000.inf": (b"[Version]\r\n", "/I386/INF/E1000.inf"),
    "net/E1000.sys": (b"e1000" * 60, "/I386/SYSTEM32/DRIVERS/E1000.sys"),
    "net/NetLib.dll": (b"MZ lib", "/I386/SYSTEM32/NetLib.dll"),
    # Replaces the image's CDROM.SYS under the name recorded there, as intended.
    "net/cdrom.sys": (b"a newer cdrom driver", None),
    "vnc/server.exe": (b"MZ vnc", "/PROGRAMS/vnc/server.exe"),
    "Extra Dir/Sub/Ünïcode.dat": (b"extra" * 500, "/I386/Extra Dir/Sub/Ünïcode.dat"),
    # Sizes around the sector boundary.
    "Extra Dir/EMPTY.BIN": (b"", "/I386/Extra Dir/EMPTY.BIN"),
    "Extra Dir/SECTOR.BIN": (bytes(i * 131 % 251 for i in range(2048)), "/I386/Extra Dir/SECTOR.BIN"),
    "Extra Dir/OVER.BIN": (bytes(i * 137 % 253 for i in range(2049)), "/I386/Extra Dir/OVER.BIN"),
    "Notiz Ä.txt": (b"notiz", "/DOCS/Notiz Ä.txt"),
    "note.txt": (b"note", "/note.txt"),
}
NEW_ENTRIES = {path: data for data, path in SOURCES.values() if path}
ARGS = ["-f", "-b", "R&D.exe", "-B", "Start Me & Co.exe", "-P", "Paket Grüße%bin\\Run Me.exe",
        "-p", "plain Pkg", "-d", "RaidDrv", "-n", "net", "-v", "vnc%server.exe%secret",
        "-X", "Extra Dir/%\\I386", "-Y", "Notiz Ä.txt%\\DOCS\\", "-Y", "note.txt"]
CDROM = "/I386/SYSTEM32/DRIVERS/CDROM.SYS"
EDITED = {"/WINBOM.INI", "/I386/SYSTEM32/WINPEOEM.SIF", "/FERROVANE/REDODOZAD.XML",
          "/FERROVAN/REDODOZA.XML",  # as ISO 9660 level 1 cuts it
          "/I386/SYSTEM32/CONFIG/DEFAULT", "/I386/BOOTFIX.BIN", CDROM}

NOTICES = {
    "rock ridge": "Log: the image has Rock Ridge entries (POSIX names, permissions, links); "
                  "the new image does not carry them over\n",
    "1999": "Log: the image has an ISO 9660:1999 volume descriptor; the new image does not "
            "carry it over\n",
}

BOOT, GENISOIMAGE, XORRISO = t.BOOT, t.GENISOIMAGE, t.XORRISO
EFI = ["-eltorito-alt-boot", "-b", "BOOT/EFI.IMG", "-no-emul-boot"]
UNVERSIONED = ["-untranslated-filenames"]

# (name, command without -o and tree, notices expected, DEFAULT's identifier or None)
MAKERS = [
    ("genisoimage -iso-level 2", GENISOIMAGE + ["-iso-level", "2"] + BOOT, set(), "DEFAULT.;1"),
    ("genisoimage -l -N", GENISOIMAGE + ["-l", "-N"] + BOOT, set(), "DEFAULT."),
    # xorriso writes Rock Ridge unless told otherwise.
    ("xorriso -iso-level 2", XORRISO + ["-iso-level", "2"] + BOOT, {"rock ridge"}, "DEFAULT.;1"),
    ("genisoimage Joliet Rock Ridge 1999 EFI",
     GENISOIMAGE + ["-iso-level", "4", "-J", "-R"] + UNVERSIONED + BOOT + EFI,
     {"rock ridge", "1999"}, None),
    ("xorriso Joliet Rock Ridge EFI", XORRISO + ["-iso-level", "3", "-J"] + UNVERSIONED + BOOT + EFI,
     {"rock ridge"}, None),
    ("genisoimage usual", GENISOIMAGE + ["-iso-level", "2", "-J", "-R"] + BOOT, {"rock ridge"}, None),
    ("xorriso usual", XORRISO + ["-iso-level", "3", "-J", "-R"] + BOOT, {"rock ridge"}, None),
    # ISO 9660 names cut to 8.3 ("FERROVAN", "REDODOZA.XML;1"); whole ones only in Joliet.
    ("genisoimage defaults", GENISOIMAGE + ["-J", "-R"] + BOOT, {"rock ridge"}, None),
    ("xorriso defaults", XORRISO + ["-J", "-R"] + BOOT, {"rock ridge"}, None),
]


def entry(path):
    """The path without ISO 9660's versions and trailing dots, as readers show it."""
    return "/".join(re.sub(r"\.?(;\d+)?$", "", name) or name for name in path.split("/"))


class OtherToolsImages(t.ScratchTestCase):

    def setUp(self):
        super().setUp()
        t.sample_cd(self.path("sample.iso"), self.path("sample"))
        self.tree = self.path("sample", "cd")
        os.renames(self.path("sample", "boot.bin"), os.path.join(self.tree, "BOOT", "BOOT.IMG"))
        for rel, data in TREE_EXTRAS.items():
            t.write(os.path.join(self.tree, rel), data)
        os.makedirs(os.path.join(self.tree, "Empty Dir"))
        for rel, (data, _) in SOURCES.items():
            t.write(self.path("src", rel), data)

    def make(self, name, command):
        unicode_source = os.path.join(self.tree, UNICODE_SOURCE)
        if command[0] == "xorriso":
            t.write(unicode_source, b"unicode source")
        elif os.path.exists(unicode_source):
            os.remove(unicode_source)
        return t.master(self.tree, self.path(name.replace(" ", "_") + ".iso"), command, boot=[])

    def customize(self, image, args):
        return t.run_tool(["-i", image] + args, cwd=self.path("src"))

    def test_every_option_on_every_maker(self):
        for name, command, notices, default in MAKERS:
            with self.subTest(name):
                image = self.make(name, command)
                original = t.file_bytes(image)
                joliet = "-J" in command
                if default:
                    self.assertIn("/I386/SYSTEM32/CONFIG/" + default, t.read_image(image, False)[0])
                # Compact says what it drops (on the image that has it all); keep drops nothing.
                compact = notices == set(NOTICES)
                code, out, err = self.customize(image, ARGS + ["--layout=compact"] * compact)
                self.assertEqual((code, err), (0, ""), out[-2000:])
                for key, line in NOTICES.items():
                    self.assertEqual(out.count(line), int(compact and key in notices), key)
                self.assertEqual(out.count("100%"), 1, out)
                self.assertTrue(out.endswith("Log: pack image file back succeeded\n"
                                             "Log: clean up ...\nLog: clean up succeeded\n"))
                self.assertEqual(t.file_bytes(image + ".bak"), original)
                self.assertFalse(os.path.exists(image + ".tmp"))
                for tree in (False, True) if joliet else (False,):
                    self.check_tree(image, tree)
                self.check_other_readers(image)
                if command[0] == "xorriso" and joliet:
                    self.assertIn("/" + UNICODE_SOURCE, t.read_image(image, True)[0])
                # The tool reads what it wrote; the same name again meets the prompt.
                code, out, err = self.customize(image, ["-f"])
                self.assertEqual((code, err), (0, ""), out[-2000:])
                code, out, err = self.customize(image, ["-b", "R&D.exe"])
                self.assertEqual((code, err), (1, "Warning: adding file R&D.exe failed - file name "
                                                  "conflict, aborted by user\n"), out[-2000:])

    def check_tree(self, image, joliet):
        """Source entries keep identifiers and unedited bytes; new ones their local names; no twins."""
        old, _ = t.read_image(image + ".bak", joliet)
        files, dirs = t.read_image(image, joliet)
        label = "Joliet" if joliet else "primary"
        self.assertEqual(set(files), set(old) | set(NEW_ENTRIES), label)
        for path, data in NEW_ENTRIES.items():
            self.assertEqual(files[path], data, (label, path))
        for path, data in old.items():
            if entry(path) not in EDITED:
                self.assertEqual(files[path], data, (label, path))
        self.assertEqual([files[p] for p in files if entry(p).upper() == CDROM],
                         [SOURCES["net/cdrom.sys"][0]], label)
        names = [entry(p).upper() for p in list(files) + sorted(dirs)]
        self.assertEqual(len(names), len(set(names)), label)
        if joliet:
            # The mastering tool's cut of a long name came through as recorded.
            self.assertTrue(any(p.startswith("/DOCS/A file name of seventy") and
                                p != "/DOCS/" + LONG_NAME for p in files))

    def check_other_readers(self, image):
        # isovfy finds nothing, or (keeping the source's records) what it finds in the source.
        def findings(path):
            verified = subprocess.run(["isovfy", path], capture_output=True)
            return (verified.stdout + verified.stderr).splitlines()[1:]
        found = findings(image)
        self.assertTrue(b"No errors found" in found or found == findings(image + ".bak"), found)
        # 7z extracts every new file and the edited ones; reglookup reads the hive.
        out_dir = self.path("x-" + os.path.basename(image))
        subprocess.run(["7z", "x", "-y", "-o" + out_dir, image], check=True, capture_output=True)
        for path, data in NEW_ENTRIES.items():
            self.assertEqual(t.file_bytes(out_dir + path), data, path)
        self.assertIn(b"WinPEFirewall=off", t.file_bytes(out_dir + "/WINBOM.INI"))
        self.assertIn(b"OemDriverDirs=RaidDrv",
                      t.file_bytes(out_dir + "/I386/SYSTEM32/WINPEOEM.SIF"))
        self.assertIn(b'currentDir="\\PROGRAMS\\Paket Gr\xc3\xbc\xc3\x9fe\\bin" />',
                      t.file_bytes(out_dir + "/FERROVANE/REDODOZAD.XML"))
        hive = subprocess.run(["reglookup", "-p", "/Software/RealVNC/WinVNC4",
                               out_dir + "/I386/SYSTEM32/CONFIG/DEFAULT"], capture_output=True)
        self.assertIn(b"/WinVNC4/SecurityTypes,SZ,VncAuth,", hive.stdout)


if __name__ == "__main__":
    t.main()
