"""The VNC option as a process on the sample CD: each form of -v PACKAGE%EXE[%PASSWORD]
puts the package and the hive values into the new image (read back with
pycdlib, reglookup, hivexget) and leaves the files it does not edit as they
were, or fails cleanly. The text edits themselves are checked on the editor."""

import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

HIVE = "/I386/SYSTEM32/CONFIG/DEFAULT"
EDITED = {"/FERROVANE/REDODOZAD.XML", "/WINBOM.INI", "/I386/BOOTFIX.BIN", HIVE}


def vnc_block(password):
    """DES of the zero-padded first 8 bytes, under the key with each byte's bits mirrored."""
    from Cryptodome.Cipher import DES
    key = bytes(int(format(b, "08b")[::-1], 2) for b in bytes.fromhex("e34f1a927c05b8d6"))
    return DES.new(key, DES.MODE_ECB).encrypt(password[:8].ljust(8, b"\0"))


class VncOptionTest(t.ScratchTestCase):

    def test_each_form_of_the_value(self):
        package = self.path("vncpkg")
        os.makedirs(package)
        with open(os.path.join(package, "server.exe"), "wb") as f:
            f.write(b"MZ vnc server")
        # Value suffix, password stored (None: no password; False: the run fails).
        for number, (suffix, password) in enumerate([("%server.exe%secret", b"secret"),
                                                     ("%server.exe", None), ("%server.exe%", None),
                                                     ("%", False)]):
            with self.subTest(suffix=suffix):
                image = self.path("cd%d.iso" % number)
                subprocess.run([t.SAMPLE_CD_MAKER, image], check=True, capture_output=True)
                before, (old, _) = t.file_bytes(image), t.read_image(image)
                code, out, err = t.run_tool(["-i", image, "-v", package + suffix])
                if password is False:
                    self.assertEqual((1, "Warning: no start up executable after '%%' in %s\n"
                                      % (package + suffix)), (code, err))
                    self.assertEqual(before, t.file_bytes(image))
                    self.assertFalse(any(os.path.exists(image + e) for e in (".tmp", ".bak")))
                    continue
                self.assertEqual((0, ""), (code, err), out)
                self.assertEqual(password is None,
                                 "the VNC server will accept connections without a password" in out)
                files, _ = t.read_image(image)
                self.assertEqual(b"MZ vnc server", files.pop("/PROGRAMS/vncpkg/server.exe"))
                self.assertEqual(b"\xcb" + old["/I386/BOOTFIX.BIN"], files["/I386/BOOTFIX.BIN"])
                self.assertEqual({n: old[n] for n in set(old) - EDITED},
                                 {n: files[n] for n in set(files) - EDITED})
                hive = self.path("DEFAULT%d" % number)
                with open(hive, "wb") as f:
                    f.write(files[HIVE])
                listing = subprocess.run(["reglookup", "-p", "/Software/RealVNC/WinVNC4", hive],
                                         capture_output=True, check=True).stdout.decode("latin-1")
                self.assertIn("/WinVNC4/SecurityTypes,SZ,%s," % ("VncAuth" if password else "None"),
                              listing)
                stored = subprocess.run(["hivexget", hive, "Software\\RealVNC\\WinVNC4",
                                         "Password"], capture_output=True).stdout
                self.assertEqual(vnc_block(password) if password else b"", stored)
                # Header, key, and one line per value: never a second value of a name.
                self.assertEqual(4 if password else 3, len(listing.splitlines()), listing)


if __name__ == "__main__":
    t.main()
