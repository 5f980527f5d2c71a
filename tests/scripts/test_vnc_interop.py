"""The VNC option end to end, as processes: the sample image customized with
-v PACKAGE%EXECUTABLE[%PASSWORD] holds the package, its start-up line, the
firewall line, the 0xCB boot fix and the hive values, read back out of the
new image with pycdlib and checked with independent tools (reglookup,
hivexget, Cryptodome's DES); a value without executable fails and leaves
the image as it was."""

import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

VNC_KEY = bytes.fromhex("e34f1a927c05b8d6")


def independent_vnc_block(password):
    """DES of the zero-padded first 8 bytes under the key with every byte's
    bits mirrored, as VNC stores its password."""
    from Cryptodome.Cipher import DES
    key = bytes(int(format(b, "08b")[::-1], 2) for b in VNC_KEY)
    return DES.new(key, DES.MODE_ECB).encrypt(password[:8].ljust(8, b"\0"))


def vnc_values(hive):
    """{value name: (reglookup type, raw bytes)} under Software\\RealVNC\\WinVNC4."""
    listing = subprocess.run(["reglookup", "-p", "/Software/RealVNC/WinVNC4", hive],
                             capture_output=True, timeout=60, check=True).stdout.decode("latin-1")
    values = {}
    for line in listing.splitlines()[1:]:
        path, kind = line.split(",")[:2]
        if kind == "KEY":
            continue
        name = path.rsplit("/", 1)[1]
        raw = subprocess.run(["hivexget", hive, "Software\\RealVNC\\WinVNC4", name],
                             capture_output=True, timeout=60, check=True).stdout
        # hivexget prints a string value decoded, with a line end.
        values[name] = (kind, raw[:-1] if kind == "SZ" and raw.endswith(b"\n") else raw)
    return values


class VncOptionTest(t.ScratchTestCase):

    def setUp(self):
        super().setUp()
        self.image = self.path("cd.iso")
        proc = subprocess.run([t.SAMPLE_CD_MAKER, self.image], capture_output=True, timeout=120)
        self.assertEqual(0, proc.returncode, proc.stderr)
        self.original, _ = t.read_image(self.image)
        self.package = self.path("vncpkg")
        os.makedirs(os.path.join(self.package, "hooks"))
        self.package_files = {"server.exe": b"MZ vnc server", "hooks/wm_hooks.dll": b"MZ hooks"}
        for rel, data in self.package_files.items():
            with open(os.path.join(self.package, rel), "wb") as f:
                f.write(data)

    def customize(self, value):
        return t.run_tool(["-i", self.image, "-v", value])

    def hive_of(self, files):
        path = self.path("DEFAULT")
        with open(path, "wb") as f:
            f.write(files["/I386/SYSTEM32/CONFIG/DEFAULT"])
        return path

    def check_customized(self, password):
        files, _ = t.read_image(self.image)
        for rel, data in self.package_files.items():
            self.assertEqual(data, files["/PROGRAMS/vncpkg/" + rel])
        self.assertIn(b"\r\n<exec processName=\"\\PROGRAMS\\vncpkg\\server.exe\" "
                      b"currentDir=\"\\PROGRAMS\\vncpkg\" />\r\n</redoDozad>\r\n",
                      files["/FERROVANE/REDODOZAD.XML"])
        self.assertIn(b"\r\n[WinPE.Net]\r\nWinPEFirewall=off\r\nStartnet=Yes\r\n",
                      files["/WINBOM.INI"])
        self.assertEqual(b"\xcb" + self.original["/I386/BOOTFIX.BIN"], files["/I386/BOOTFIX.BIN"])
        values = vnc_values(self.hive_of(files))
        if password:
            self.assertEqual({"Password": ("BINARY", independent_vnc_block(password)),
                              "SecurityTypes": ("SZ", b"VncAuth")}, values)
        else:
            self.assertEqual({"SecurityTypes": ("SZ", b"None")}, values)
        # Files the option does not touch are carried over unchanged.
        for name in ["/I386/SYSTEM32/CMD.EXE", "/DOCS/README.TXT", "/I386/SYSTEM32/STARTNET.CMD",
                     "/I386/SYSTEM32/WINPEOEM.SIF"]:
            self.assertEqual(self.original[name], files[name], name)

    def test_with_password(self):
        code, out, err = self.customize(self.package + "%server.exe%secret")
        self.assertEqual(0, code, out + err)
        self.assertIn("Log: adding VNC package " + self.package + " ...\n", out)
        self.assertIn("Log: adding VNC package succeeded\n", out)
        self.assertEqual("", err)
        self.check_customized(b"secret")
        self.assertEqual(self.original, t.read_image(self.image + ".bak")[0])

    def test_long_password_uses_its_first_eight_bytes(self):
        code, out, err = self.customize(self.package + "%server.exe%pass%word-and-more")
        self.assertEqual(0, code, out + err)
        self.check_customized(b"pass%wor")

    def test_without_password(self):
        code, out, err = self.customize(self.package + "%server.exe")
        self.assertEqual(0, code, out + err)
        self.check_customized(b"")

    def test_second_percent_last_means_no_password(self):
        code, out, err = self.customize(self.package + "%server.exe%")
        self.assertEqual(0, code, out + err)
        self.check_customized(b"")

    def test_without_executable_fails_and_keeps_the_image(self):
        before = t.file_bytes(self.image)
        code, out, err = self.customize(self.package + "%")
        self.assertEqual(1, code)
        self.assertIn("Warning: adding VNC package failed\n", err)
        self.assertNotIn("setting VNC password", out)
        self.assertEqual(before, t.file_bytes(self.image))
        self.assertFalse(os.path.exists(self.image + ".tmp"))
        self.assertFalse(os.path.exists(self.image + ".bak"))


if __name__ == "__main__":
    t.main()
