"""Images made by genisoimage and xorriso with Joliet, Rock Ridge, the
ISO 9660:1999 descriptor and a second boot entry, customized with every kind
of addition: the new image's primary and Joliet trees, read back with
pycdlib, isoinfo and 7z, hold the source's names and the new ones with the
right data, and what is not carried over is said once each."""

import io
import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

LONG_NAME = "A file name of seventy characters, longer than Joliet's sixty-four.txt"
SOURCE_EXTRAS = {
    "DOCS/Long Mixed Name & Co.txt": b"long mixed" * 300,
    "DOCS/" + LONG_NAME: b"seventy",
    "DOCS/empty.txt": b"",
}
# genisoimage takes local names for Latin-1 when it writes Joliet names
# (its UTF-8 support excludes -iso-level 4 and Rock Ridge), xorriso does not.
UNICODE_SOURCE = "DOCS/Ünïcode Ñame.txt"

# Local sources, with the option that adds each.
SOURCES = {
    "Start Me & Co.exe": b"MZ start" * 100,
    "Paket Grüße/bin/Run Me.exe": b"MZ run" * 300,
    "Paket Grüße/Liesmich.txt": b"lies mich\r\n",
    "plain Pkg/Data File.bin": bytes(range(256)) * 9,
    "RaidDrv/raid.sys": b"raid" * 50,
    "net/E1000.inf": b"[Version]\r\n",
    "net/E1000.sys": b"e1000" * 60,
    "net/NetLib.dll": b"MZ lib",
    "Extra Dir/Sub/Ünïcode.dat": b"extra" * 500,
    "Notiz Ä.txt": b"notiz",
}

# Where each source lands, in both trees (the names fit ISO 9660 as the tool
# writes it and Joliet alike).
NEW_ENTRIES = {
    "/PROGRAMS/Start Me & Co.exe": "Start Me & Co.exe",
    "/PROGRAMS/Paket Grüße/bin/Run Me.exe": "Paket Grüße/bin/Run Me.exe",
    "/PROGRAMS/Paket Grüße/Liesmich.txt": "Paket Grüße/Liesmich.txt",
    "/PROGRAMS/plain Pkg/Data File.bin": "plain Pkg/Data File.bin",
    "/I386/SYSTEM32/DRIVERS/RaidDrv/raid.sys": "RaidDrv/raid.sys",
    "/I386/INF/E1000.inf": "net/E1000.inf",
    "/I386/SYSTEM32/DRIVERS/E1000.sys": "net/E1000.sys",
    "/I386/SYSTEM32/NetLib.dll": "net/NetLib.dll",
    "/I386/Extra Dir/Sub/Ünïcode.dat": "Extra Dir/Sub/Ünïcode.dat",
    "/DOCS/Notiz Ä.txt": "Notiz Ä.txt",
}
EDITED = {"/WINBOM.INI", "/I386/SYSTEM32/WINPEOEM.SIF", "/FERROVANE/REDODOZAD.XML",
          "/FERROVAN/REDODOZA.XML"}  # the last as ISO 9660 level 1 cuts it

NOTICES = {
    "rock ridge": "Log: the image has Rock Ridge entries (POSIX names, permissions, links); "
                  "the new image does not carry them over\n",
    "1999": "Log: the image has an ISO 9660:1999 volume descriptor; the new image does not "
            "carry it over\n",
    "boot entries": "Log: the image's boot catalog has entries beyond the default one; the new "
                    "image keeps only the default boot entry\n",
}

BOOT = ["-b", "BOOT/BOOT.IMG", "-no-emul-boot", "-boot-load-size", "4"]
EFI = ["-eltorito-alt-boot", "-b", "BOOT/EFI.IMG", "-no-emul-boot"]
GENISOIMAGE = ["genisoimage", "-quiet"]
XORRISO = ["xorriso", "-as", "mkisofs", "-quiet"]
UNVERSIONED = ["-untranslated-filenames"]

# (name, command without -o and tree, notices expected)
MAKERS = [
    ("genisoimage Joliet 1999", GENISOIMAGE + ["-iso-level", "4", "-J"] + UNVERSIONED + BOOT,
     {"1999"}),
    ("genisoimage Joliet Rock Ridge 1999 EFI",
     GENISOIMAGE + ["-iso-level", "4", "-J", "-R"] + UNVERSIONED + BOOT + EFI,
     {"rock ridge", "1999", "boot entries"}),
    ("xorriso Joliet Rock Ridge EFI", XORRISO + ["-iso-level", "3", "-J"] + UNVERSIONED + BOOT + EFI,
     {"rock ridge", "boot entries"}),
    # The usual settings: ";1" versions, ISO 9660 names translated.
    ("genisoimage usual", GENISOIMAGE + ["-iso-level", "2", "-J", "-R"] + BOOT, {"rock ridge"}),
    ("xorriso usual", XORRISO + ["-iso-level", "3", "-J", "-R"] + BOOT, {"rock ridge"}),
    # The defaults: ISO 9660 names cut to 8.3 ("FERROVAN", "REDODOZA.XML;1");
    # the whole names are only in the Joliet tree.
    ("genisoimage defaults", GENISOIMAGE + ["-J", "-R"] + BOOT, {"rock ridge"}),
    ("xorriso defaults", XORRISO + ["-J", "-R"] + BOOT, {"rock ridge"}),
]


def read_tree(image, joliet):
    """{path: data} of every file of the primary or the Joliet tree, with pycdlib."""
    import pycdlib
    iso = pycdlib.PyCdlib()
    iso.open(image)
    key = "joliet_path" if joliet else "iso_path"
    files = {}
    try:
        for dirpath, _, filenames in iso.walk(**{key: "/"}):
            for name in filenames:
                path = dirpath.rstrip("/") + "/" + name
                buf = io.BytesIO()
                iso.get_file_from_iso_fp(buf, **{key: path})
                files[path] = buf.getvalue()
    finally:
        iso.close()
    return files


def run(args):
    proc = subprocess.run(args, capture_output=True, timeout=120)
    return proc.returncode, proc.stdout.decode("utf-8", "replace")


class OtherToolsImages(t.ScratchTestCase):

    def setUp(self):
        super().setUp()
        tree = self.path("tree")
        t.make_winpe_tree(tree)
        t.write(os.path.join(tree, "BOOT", "EFI.IMG"), bytes(4096))
        for rel, data in SOURCE_EXTRAS.items():
            t.write(os.path.join(tree, rel), data)
        os.makedirs(os.path.join(tree, "Empty Dir"))
        for rel, data in SOURCES.items():
            t.write(self.path("src", rel), data)

    def customize(self, maker):
        unicode_source = self.path("tree", UNICODE_SOURCE)
        if maker[0] == "xorriso":
            t.write(unicode_source, b"unicode source")
        elif os.path.exists(unicode_source):
            os.remove(unicode_source)
        image = self.path("cd.iso")
        subprocess.run(maker + ["-o", image, self.path("tree")], check=True,
                       capture_output=True)
        src = lambda rel: self.path("src", rel)  # noqa: E731
        code, out, err = t.run_tool([
            "-i", image, "-t", self.path("work"), "-f", "-B", src("Start Me & Co.exe"),
            "-P", src("Paket Grüße") + "%bin\\Run Me.exe", "-p", src("plain Pkg"),
            "-d", src("RaidDrv"), "-n", src("net"), "-X", src("Extra Dir") + "%\\I386",
            "-Y", src("Notiz Ä.txt") + "%\\DOCS"])
        self.assertEqual((code, err), (0, ""), out)
        return image, out

    def check_maker(self, maker, notices):
        image, out = self.customize(maker)
        for key, line in NOTICES.items():
            self.assertEqual(out.count(line), 1 if key in notices else 0, key)

        old_joliet = read_tree(image + ".bak", joliet=True)
        old_primary = read_tree(image + ".bak", joliet=False)
        for tree, old in (("Joliet", old_joliet), ("primary", old_primary)):
            files = read_tree(image, joliet=tree == "Joliet")
            self.assertEqual(set(files), set(old) | set(NEW_ENTRIES), tree)
            for path, rel in NEW_ENTRIES.items():
                self.assertEqual(files[path], SOURCES[rel], (tree, path))
            for path, data in old.items():
                if path.split(";")[0].rstrip(".") not in EDITED:
                    self.assertEqual(files[path], data, (tree, path))
        # The source's Joliet names came through as recorded (the set above),
        # among them a non-ASCII one and the mastering tool's cut of a long one.
        if maker[0] == "xorriso":
            self.assertIn("/" + UNICODE_SOURCE, old_joliet)
        self.assertTrue(any(p.startswith("/DOCS/A file name of seventy") and p != "/DOCS/" + LONG_NAME
                            for p in old_joliet))

        code, listing = run(["isoinfo", "-J", "-l", "-i", image])
        self.assertEqual(code, 0)
        for entry in ("Start Me & Co.exe", "Long Mixed Name & Co.txt", "Empty Dir", "Data File.bin"):
            self.assertIn(entry, listing)
        code, listing = run(["7z", "l", image])
        self.assertEqual(code, 0, listing)
        for path in NEW_ENTRIES:
            self.assertIn(path[1:], listing)

    def test_images_with_joliet(self):
        for name, maker, notices in MAKERS:
            with self.subTest(name):
                self.check_maker(maker, notices)


if __name__ == "__main__":
    t.main()
