"""The Windows executable under Wine matches the Linux build byte for byte;
run by tools/build-windows.sh, which sets up Wine and both builds."""

import os
import shutil
import struct
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import wpe_testlib as t  # noqa: E402
from test_sample_cd_boot import BOOT_LINE, serial_output  # noqa: E402

WIN_DIR = os.environ.get("WPE_WINDOWS_BINARY_DIR", os.path.join(HERE, "..", "..", "build-win"))
WIN_TOOL = os.path.join(WIN_DIR, "app", "winpe-customize.exe")
WIN_SAMPLE_CD_MAKER = os.path.join(WIN_DIR, "tools", "make-sample-cd.exe")
WINE = shutil.which("wine64", path="/usr/lib/wine:" + os.environ.get("PATH", "")) or "wine"
EPOCH = "1700000000"

# Each lands somewhere in the image, but for the VNC server used alone.
SOURCES = {
    "Start Me & Co.exe": b"MZ start",
    "plain.exe": b"MZ plain" * 300,
    "Paket Gr\u00fc\u00dfe/bin/Run Me.exe": b"MZ run",
    "Paket Gr\u00fc\u00dfe/data.bin": bytes(range(256)) * 20,
    "plain Pkg/sub/file.txt": b"package file\r\n",
    "RaidDrv/raid.sys": b"raid" * 90,
    "RaidDrv/raid.inf": b"[Version]\r\n",
    "net/nic.sys": b"nic" * 50,
    "net/nic.inf": b"[Version]\r\n",
    "Extra Dir/extra.txt": b"extra\r\n",
    "Notiz \u00c4.txt": b"note\r\n",
    "vnc/server.exe": b"MZ vnc",
}


def windows_path(path):
    """The path as a Windows program is given it: Wine's drive Z: is the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_run(program, args, env=None):
    proc = subprocess.run([WINE, program] + list(args), capture_output=True, timeout=600,
                          env=dict(os.environ, **(env or {})))
    # Captured through Wine's console, lines end in CRLF.
    return (proc.returncode, proc.stdout.decode("utf-8", "replace").replace("\r\n", "\n"),
            proc.stderr.decode("utf-8", "replace").replace("\r\n", "\n"))


def setUpModule():
    # Wine's services, started by the first program, hold its output open: not a captured one.
    subprocess.run([WINE, "wineboot"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300, check=False)


def customize_args(src):
    # One path written with "/", as Windows accepts it too.
    return ["-f", "-b", src("plain.exe").replace("\\", "/"), "-B", src("Start Me & Co.exe"),
            "-p", src("plain Pkg"), "-P", src("Paket Gr\u00fc\u00dfe") + "%bin\\Run Me.exe",
            "-d", src("RaidDrv"), "-n", src("net"), "-X", src("Extra Dir") + "%\\I386",
            "-Y", src("Notiz \u00c4.txt") + "%\\DOCS"]


class WindowsExecutable(t.ScratchTestCase):

    def setUp(self):
        super().setUp()
        for rel, data in SOURCES.items():
            t.write(self.path("src", rel), data)
            os.utime(self.path("src", rel), (int(EPOCH) - 3600,) * 2)

    def test_a_64_bit_console_program_that_prints_the_help(self):
        data = t.file_bytes(WIN_TOOL)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.assertEqual(data[pe:pe + 4], b"PE\0\0")
        self.assertEqual(struct.unpack_from("<H", data, pe + 4)[0], 0x8664)  # x86-64
        optional = pe + 24
        self.assertEqual(struct.unpack_from("<H", data, optional)[0], 0x20B)  # PE32+
        self.assertEqual(struct.unpack_from("<H", data, optional + 68)[0], 3)  # console
        self.assertIn(b"<longPathAware", data)  # the manifest, for deep workspaces
        code, out, err = wine_run(WIN_TOOL, ["--help"])
        self.assertEqual((code, err), (0, ""))
        self.assertIn("-i [ --image ] arg", out)

    def customize_both(self, image):
        """Customizes `image` under Wine and a copy with the Linux build; the Wine run's output."""
        linux_image = self.path("linux-" + os.path.basename(image))
        shutil.copyfile(image, linux_image)
        original = t.sha256(image)
        code, out, err = wine_run(WIN_TOOL, ["-i", windows_path(image)] + customize_args(
            lambda rel: windows_path(self.path("src", rel))), {"SOURCE_DATE_EPOCH": EPOCH})
        self.assertEqual((code, err), (0, ""), out)
        self.assertEqual(t.sha256(image + ".bak"), original)
        if os.path.exists(t.TOOL):
            code, linux_out, err = t.run_tool(["-i", linux_image] + customize_args(
                lambda rel: self.path("src", rel)), env=dict(os.environ, SOURCE_DATE_EPOCH=EPOCH))
            self.assertEqual((code, err), (0, ""), linux_out)
            linux_out = linux_out.encode("latin-1").decode("utf-8", "replace")
            # The same lines, but for how each build spells the local paths.
            self.assertEqual(out.replace(windows_path(self.dir), self.dir), linux_out)
            self.assertEqual(t.sha256(image), t.sha256(linux_image), "differs from the Linux build")
        return out

    def test_sample_cd_and_an_image_from_genisoimage_customized_as_on_linux(self):
        sample = self.path("sample.iso")
        code, out, err = wine_run(WIN_SAMPLE_CD_MAKER, [windows_path(sample)],
                                  {"SOURCE_DATE_EPOCH": EPOCH})
        self.assertEqual(code, 0, out + err)
        t.make_winpe_tree(self.path("tree"))
        mastered = t.master(self.path("tree"), self.path("cd.iso"), t.GENISOIMAGE + ["-J", "-R"])
        for image in (sample, mastered):
            with self.subTest(os.path.basename(image)):
                out = self.customize_both(image)
                self.assertTrue(out.endswith("pack image file back succeeded\nLog: clean up ...\n"
                                             "Log: clean up succeeded\n"), out)
                files = t.read_image(image)[0].values()
                for rel, data in SOURCES.items():
                    if not rel.startswith("vnc/"):
                        self.assertIn(data, files, rel)
                proc = subprocess.run(["7z", "t", image], capture_output=True, timeout=120)
                self.assertEqual(proc.returncode, 0, proc.stdout.decode("utf-8", "replace"))
        self.assertIn(BOOT_LINE, serial_output(sample, self.path("boot.log")))

    def test_vnc_password_cannot_load_the_hive_under_wine(self):
        image = t.sample_cd(self.path("sample.iso"))
        before = t.sha256(image)
        code, out, err = wine_run(WIN_TOOL, ["-i", windows_path(image), "-v",
                                             windows_path(self.path("src", "vnc")) + "%server.exe%secret"])
        self.assertEqual(code, 1, out + err)
        self.assertIn("Warning: setting VNC password failed - unable to load registry hive\n", err)
        self.assertIn("Warning: adding VNC package failed\n", err)
        self.assertEqual(t.sha256(image), before)
        self.assertEqual(sorted(os.listdir(self.dir)), ["sample.iso", "src"])


if __name__ == "__main__":
    unittest.main()
