"""Firewall, storage and network drivers as processes: the edited WinPE files
read back exactly as expected, the driver files land where their kind sends
them, and every other file stays byte-identical. On an image made by
genisoimage and on the sample CD."""

import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(__file__))
import wpe_testlib as t  # noqa: E402

FIREWALL_OFF = t.WINBOM.replace(b"[WinPE.Net]\r\n", b"[WinPE.Net]\r\nWinPEFirewall=off\r\n")


class WinpeEditsEndToEnd(t.ScratchTestCase):
    def make_drivers(self):
        storage = self.path("RAIDDRV")
        os.makedirs(os.path.join(storage, "x64"))
        with open(os.path.join(storage, "raid.sys"), "wb") as f:
            f.write(b"raid" * 1000)
        with open(os.path.join(storage, "x64", "raid64.sys"), "wb") as f:
            f.write(b"raid64")
        network = self.path("NETDRV")
        os.makedirs(os.path.join(network, "sub"))
        for name, data in {"E1000.INF": b"[Version]\r\n", "e1000.Sys": b"nic" * 700,
                           "NetLib.Dll": b"MZ lib", "setup.EXE": b"MZ setup", "cfg.din": b"din",
                           "notes.txt": b"skip me", "sub/inner.sys": b"skip"}.items():
            with open(os.path.join(network, name), "wb") as f:
                f.write(data)
        return storage, network

    def check_run(self, image, expected_changes, expected_new):
        old_files, _ = t.read_image(image)
        storage, network = self.make_drivers()
        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"), "-f", "-d", storage, "-n", network])
        self.assertEqual(code, 0, out + err)
        self.assertEqual(err, "")
        files, dirs = t.read_image(image)
        for name, data in expected_changes(old_files).items():
            self.assertEqual(files[name], data, name)
        for name, data in expected_new.items():
            self.assertEqual(files[name], data, name)
        for name, data in old_files.items():
            if name not in expected_changes(old_files):
                self.assertEqual(files[name], data, name)
        self.assertEqual(set(files), set(old_files) | set(expected_new))
        return files

    def expected_new(self):
        return {
            "/I386/SYSTEM32/DRIVERS/RAIDDRV/raid.sys": b"raid" * 1000,
            "/I386/SYSTEM32/DRIVERS/RAIDDRV/x64/raid64.sys": b"raid64",
            "/I386/INF/E1000.INF": b"[Version]\r\n",
            "/I386/SYSTEM32/DRIVERS/e1000.Sys": b"nic" * 700,
            "/I386/SYSTEM32/NetLib.Dll": b"MZ lib",
            "/I386/SYSTEM32/setup.EXE": b"MZ setup",
            "/I386/SYSTEM32/cfg.din": b"din",
        }

    def test_genisoimage_image(self):
        tree = self.path("tree")
        t.make_winpe_tree(tree)
        image = self.path("cd.iso")
        t.genisoimage(tree, image)

        def changes(old):
            return {
                "/WINBOM.INI": FIREWALL_OFF,
                "/I386/SYSTEM32/WINPEOEM.SIF": t.WINPEOEM.replace(
                    b";[OemDriverParams]\r\n;OemDriverRoot=\"\"\r\n;OemDriverDirs=\r\n",
                    b"[OemDriverParams]\r\nOemDriverRoot=\"Drivers\"\r\nOemDriverDirs=RAIDDRV\r\n"),
            }

        self.check_run(image, changes, self.expected_new())

    def test_sample_cd(self):
        if not os.path.exists(t.SAMPLE_CD_MAKER):
            self.skipTest("make-sample-cd is not built")
        image = self.path("sample.iso")
        subprocess.run([t.SAMPLE_CD_MAKER, image, self.path("sample-tree")], check=True,
                       capture_output=True)

        def changes(old):
            lines = old["/WINBOM.INI"].split(b"\r\n")
            section = lines.index(b"[WinPE.Net]")
            firewall = [i for i, line in enumerate(lines) if b"WinPEFirewall" in line]
            if firewall:
                for i in firewall:
                    lines[i] = b"WinPEFirewall=off"
            else:
                lines.insert(section + 1, b"WinPEFirewall=off")
            sif = old["/I386/SYSTEM32/WINPEOEM.SIF"].split(b"\r\n")
            header = [i for i, line in enumerate(sif) if b"[OemDriverParams]" in line][0]
            sif[header] = sif[header].lstrip(b";")
            sif[header + 1] = b'OemDriverRoot="Drivers"'
            dirs = sif[header + 2].lstrip(b";")
            sif[header + 2] = dirs + (b"RAIDDRV" if dirs.rstrip(b" ").endswith(b"=") else b", RAIDDRV")
            return {"/WINBOM.INI": b"\r\n".join(lines), "/I386/SYSTEM32/WINPEOEM.SIF": b"\r\n".join(sif)}

        self.check_run(image, changes, self.expected_new())

    def test_failing_edit_leaves_image_untouched(self):
        tree = self.path("tree")
        t.make_winpe_tree(tree)
        # A header without its key lines cannot take a driver name.
        with open(os.path.join(tree, "I386/SYSTEM32/WINPEOEM.SIF"), "wb") as f:
            f.write(b"[OemDriverParams]\r\n")
        image = self.path("cd.iso")
        t.genisoimage(tree, image)
        before = t.file_bytes(image)
        storage, _ = self.make_drivers()
        code, out, err = t.run_tool(["-i", image, "-t", self.path("work"), "-d", storage])
        self.assertEqual(code, 1)
        self.assertNotIn("adding storage driver RAIDDRV succeeded", out)
        self.assertEqual(t.file_bytes(image), before)
        self.assertFalse(os.path.exists(image + ".tmp"))
        self.assertFalse(os.path.exists(self.path("work")))


if __name__ == "__main__":
    t.main()
