"""Every boot entry of xorriso images survives a run in either layout, keeps
its bytes and boots in QEMU (SeaBIOS, OVMF, as a disk)."""

import os
import re
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True
import wpe_testlib as t  # noqa: E402

ISOLINUX = ["-b", "isolinux/isolinux.bin", "-no-emul-boot", "-boot-load-size", "4",
            "-boot-info-table"]
UEFI = ["-eltorito-alt-boot", "-e", "EFI/efiboot.img", "-no-emul-boot"]
HYBRID = ["-isohybrid-mbr", "/usr/lib/ISOLINUX/isohdpfx.bin"]
BIOS_LINE, EFI_LINE = b"Loading x", b"EFI BOOTED"
# (name, boot options, how it boots: "cd", "efi", "disk")
SETUPS = [("bios and uefi", ISOLINUX + UEFI, ["cd", "efi"]),
          ("floppy", ["-b", "BOOT/FLOPPY.IMG"], ["cd"]),
          ("hard disk", ["-b", "BOOT/DISK.IMG", "-hard-disk-boot"], ["cd"]),
          ("hybrid", HYBRID + ISOLINUX, ["disk"]),
          ("hybrid gpt", HYBRID + ISOLINUX + UEFI + ["-isohybrid-gpt-basdat"], ["disk", "efidisk"])]
SETUPS += [("load size %d" % n, ["-b", "BOOT/BOOT.IMG", "-no-emul-boot", "-boot-load-size", str(n)],
            ["cd"]) for n in range(1, 8)]
# The packed layout writes no system area: the hybrid image boots from CD only.
LOST_SYSTEM_AREA = ("Warning: the image's system area (a hybrid boot record or partition table) "
                    "is not carried over")
COMPACT_LOSSES = {"hybrid": LOST_SYSTEM_AREA, "hybrid gpt": LOST_SYSTEM_AREA}


def serial_boot_sector(size, partition=b""):
    """A boot image whose first sector writes BIOS_LINE to COM1 and halts;
    `partition`, a 16-byte MBR entry, makes it a disk."""
    code = b"\xba\xf8\x03" + b"".join(b"\xb0" + bytes([c]) + b"\xee" for c in BIOS_LINE) + b"\xf4\xeb\xfd"
    data = bytearray(size)
    data[:len(code)] = code
    data[446:446 + len(partition)] = partition
    data[510:512] = b"\x55\xaa"
    return bytes(data)


EFI_PROGRAM = r"""
static void outb(unsigned short port, unsigned char v) { __asm__ volatile("outb %0, %1" : : "a"(v), "Nd"(port)); }
unsigned long long efi_main(void *image, void *table) {
  for (const char *s = "EFI BOOTED\r\n"; *s; ++s) outb(0x3f8, *s);
  outb(0xf4, 0x10);  /* isa-debug-exit */
  for (;;) __asm__ volatile("hlt");
}
"""


def boots(image, how, log):
    """Whether QEMU shows the boot line of `how` on COM1 within its time."""
    disk = ["-drive", "file=%s,format=raw" % image]
    ovmf = ["-drive", "if=pflash,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE.fd",
            "-device", "isa-debug-exit,iobase=0xf4"]
    machine = {"cd": ["-cdrom", image], "disk": disk, "efi": ["-cdrom", image] + ovmf,
               "efidisk": disk + ovmf}
    line = EFI_LINE if how.startswith("efi") else BIOS_LINE
    proc = subprocess.Popen(["qemu-system-x86_64", "-m", "128", "-display", "none", "-monitor",
                             "none", "-no-reboot", "-serial", "file:" + log] + machine[how],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(600):  # TCG on a busy machine: OVMF alone takes up to a minute
            if proc.poll() is not None or (os.path.exists(log) and line in t.file_bytes(log)):
                break
            time.sleep(0.2)
    finally:
        proc.kill()
        proc.wait()
    return os.path.exists(log) and line in t.file_bytes(log)


def boot_images(image, tree, lengths=None):
    """The catalog without LBAs, each entry's image bytes and their lengths."""
    report = subprocess.run(["xorriso", "-indev", image, "-report_el_torito", "plain"],
                            capture_output=True, text=True, check=True).stdout
    entries = re.findall(r"El Torito boot img :\s+(\d+)\s+(.*?)\s+(\d+)\n", report)
    paths = dict(re.findall(r"El Torito img path :\s+(\d+)\s+(\S+)", report))
    lengths = lengths or [os.path.getsize(os.path.join(tree, paths[n].lstrip("/")))
                          for n, _, _ in entries]
    data = t.file_bytes(image)
    images = []
    for (_, _, lba), length in zip(entries, lengths):
        start = int(lba) * t.SECTOR
        # The boot info table's file LBA (bytes 12..15) follows the image.
        images.append(data[start:start + 12] + data[start + 16:start + length])
    return [fields for _, fields, _ in entries], images, lengths


class BootEntriesTest(t.ScratchTestCase):
    def setUp(self):
        super().setUp()
        self.tree = tree = self.path("tree")
        t.make_winpe_tree(tree)
        for name in ("isolinux.bin", "ldlinux.c32"):
            src = "/usr/lib/ISOLINUX/" if name.endswith(".bin") else "/usr/lib/syslinux/modules/bios/"
            t.write(os.path.join(tree, "isolinux", name), t.file_bytes(src + name))
        t.write(os.path.join(tree, "isolinux", "isolinux.cfg"), b"SERIAL 0 115200\nDEFAULT x\n")
        t.write(os.path.join(tree, "BOOT", "FLOPPY.IMG"), serial_boot_sector(1474560))
        t.write(os.path.join(tree, "BOOT", "BOOT.IMG"), serial_boot_sector(2048))
        # One cylinder, one head, 63 sectors: the partition from sector 1 to its end.
        disk = bytes([0x80, 0, 2, 0, 0x01, 0, 63, 0]) + struct.pack("<II", 1, 62)
        t.write(os.path.join(tree, "BOOT", "DISK.IMG"), serial_boot_sector(63 * 512, disk))
        t.write(self.path("efi.c"), EFI_PROGRAM.encode())
        efi = self.path("BOOTX64.EFI")
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-ffreestanding", "-nostdlib",
                        "-Wl,--subsystem,10", "-e", "efi_main", "-o", efi, self.path("efi.c")],
                       check=True)
        esp = os.path.join(tree, "EFI", "efiboot.img")
        os.makedirs(os.path.dirname(esp))
        for command in (["mformat", "-i", esp, "-C", "-f", "1440", "::"],
                        ["mmd", "-i", esp, "::/EFI", "::/EFI/BOOT"],
                        ["mcopy", "-i", esp, efi, "::/EFI/BOOT/BOOTX64.EFI"]):
            subprocess.run(command, check=True)
        t.write(self.path("src", "tool.exe"), b"MZ tool")
        t.write(self.path("vnc", "server.exe"), b"MZ vnc")

    def test_every_entry_is_kept_and_boots(self):
        for layout in ("keep", "compact"):
            for name, options, boot_ways in SETUPS:
                with self.subTest(layout=layout, setup=name):
                    image = t.master(self.tree, self.path("%s-%s.iso" % (name, layout)).replace(" ", "_"),
                                     t.XORRISO + ["-iso-level", "3", "-J"], options)
                    before = boot_images(image, self.tree)
                    args = ["-i", image, "-f", "-B", self.path("src", "tool.exe"),
                            "-p", self.path("vnc")]
                    code, out, err = t.run_tool(args + ["--layout=" + layout])
                    self.assertEqual(code, 0, out + err)
                    self.assertEqual(boot_images(image, self.tree, before[2]), before)
                    lost = COMPACT_LOSSES.get(name) if layout != "keep" else None
                    if lost:
                        self.assertIn(lost, err)
                    elif name.startswith("hybrid"):
                        self.assertNotIn("system area", err)
                        self.assertPartitionsReachTheEnd(image)
                    for how in boot_ways if not lost else []:
                        self.assertTrue(boots(image, how, image + how + ".log"), how)

    def assertPartitionsReachTheEnd(self, image):
        """The MBR entry and a GPT's backup header reach the (grown) end."""
        data = t.file_bytes(image)
        lbas = len(data) // 512
        first, count = struct.unpack_from("<II", data, 446 + 8)
        self.assertEqual(first + count, lbas)
        if data[512:520] == b"EFI PART":
            self.assertEqual(struct.unpack_from("<Q", data, 512 + 32)[0], lbas - 1)
            self.assertEqual(data[(lbas - 1) * 512:(lbas - 1) * 512 + 8], b"EFI PART")
            verdict = subprocess.run(["sgdisk", "-v", image], capture_output=True, text=True).stdout
            self.assertNotIn("CRC", verdict)


if __name__ == "__main__":
    t.main()
