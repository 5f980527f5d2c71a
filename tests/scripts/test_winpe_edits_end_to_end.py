"""Firewall, storage and network drivers as processes, on an image made by
genisoimage and on the sample CD: the edited WinPE files read back exactly as
expected, driver files land where their kind sends them, and every other
file stays byte-identical."""

import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

NETWORK = {"E1000.INF": b"[Version]\r\n", "e1000.Sys": b"nic" * 700, "NetLib.Dll": b"MZ lib",
           "setup.EXE": b"MZ setup", "cfg.din": b"din", "notes.txt": b"skipped",
           "sub/inner.sys": b"skipped"}
NEW_FILES = {
    "/I386/SYSTEM32/DRIVERS/RAIDDRV/raid.sys": b"raid" * 1000,
    "/I386/SYSTEM32/DRIVERS/RAIDDRV/x64/raid64.sys": b"raid64",
    "/I386/INF/E1000.INF": NETWORK["E1000.INF"],
    "/I386/SYSTEM32/DRIVERS/e1000.Sys": NETWORK["e1000.Sys"],
    "/I386/SYSTEM32/NetLib.Dll": NETWORK["NetLib.Dll"],
    "/I386/SYSTEM32/setup.EXE": NETWORK["setup.EXE"],
    "/I386/SYSTEM32/cfg.din": NETWORK["cfg.din"],
}


def expected_edits(old):
    """WINBOM.INI and WINPEOEM.SIF as the firewall and RAIDDRV edits make them."""
    lines = old["/WINBOM.INI"].split(b"\r\n")
    keyed = [i for i, line in enumerate(lines) if b"WinPEFirewall" in line]
    for i in keyed:
        lines[i] = b"WinPEFirewall=off"
    if not keyed:
        lines.insert(lines.index(b"[WinPE.Net]") + 1, b"WinPEFirewall=off")
    sif = old["/I386/SYSTEM32/WINPEOEM.SIF"].split(b"\r\n")
    header = [i for i, line in enumerate(sif) if b"[OemDriverParams]" in line][0]
    sif[header] = sif[header].lstrip(b";")
    sif[header + 1] = b'OemDriverRoot="Drivers"'
    dirs = sif[header + 2].lstrip(b";")
    sif[header + 2] = dirs + (b"RAIDDRV" if dirs.rstrip(b" ").endswith(b"=") else b", RAIDDRV")
    return {"/WINBOM.INI": b"\r\n".join(lines), "/I386/SYSTEM32/WINPEOEM.SIF": b"\r\n".join(sif)}


class WinpeEditsEndToEnd(t.ScratchTestCase):
    def setUp(self):
        super().setUp()
        t.write(self.path("RAIDDRV", "raid.sys"), b"raid" * 1000)
        t.write(self.path("RAIDDRV", "x64", "raid64.sys"), b"raid64")
        for rel, data in NETWORK.items():
            t.write(self.path("NETDRV", rel), data)

    def check_run(self, image):
        old, _ = t.read_image(image)
        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"), "-f",
                                     "-d", self.path("RAIDDRV"), "-n", self.path("NETDRV")])
        self.assertEqual((code, err), (0, ""), out)
        files, _ = t.read_image(image)
        expected = dict(old, **expected_edits(old), **NEW_FILES)
        self.assertEqual(set(files), set(expected))
        for name, data in expected.items():
            self.assertEqual(files[name], data, name)

    def test_genisoimage_image(self):
        t.make_winpe_tree(self.path("tree"))
        t.genisoimage(self.path("tree"), self.path("cd.iso"))
        self.check_run(self.path("cd.iso"))

    def test_sample_cd(self):
        subprocess.run([t.SAMPLE_CD_MAKER, self.path("sample.iso")], check=True, capture_output=True)
        self.check_run(self.path("sample.iso"))

    def test_failing_edit_leaves_image_untouched(self):
        t.make_winpe_tree(self.path("tree"))
        # A header without its key lines cannot take a driver name.
        t.write(self.path("tree", "I386", "SYSTEM32", "WINPEOEM.SIF"), b"[OemDriverParams]\r\n")
        t.genisoimage(self.path("tree"), self.path("cd.iso"))
        before = t.file_bytes(self.path("cd.iso"))
        code, out, err = t.run_tool(["-i", self.path("cd.iso"), "-t", self.path("work"), "-d", self.path("RAIDDRV")])
        self.assertEqual(code, 1)
        self.assertNotIn("adding storage driver RAIDDRV succeeded", out)
        self.assertEqual(t.file_bytes(self.path("cd.iso")), before)
        self.assertFalse(os.path.exists(self.path("cd.iso.tmp")) or os.path.exists(self.path("work")))


if __name__ == "__main__":
    t.main()
