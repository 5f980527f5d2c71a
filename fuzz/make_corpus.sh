#!/usr/bin/env bash
# Remakes the seed corpus fuzz/corpus: small bootable and plain images of two
# sample trees, made by our own packer, genisoimage and xorriso (ISO level 1
# with version suffixes, level 3/4, Rock Ridge and Joliet, a hidden entry, a
# ten-level tree and a directory that spans several blocks), plus two
# hostile trees: directory records that loop back to the root, and 16 levels
# of two records sharing each directory extent.
#
#   fuzz/make_corpus.sh [BUILD_DIR]   (BUILD_DIR holds tools/pack-directory; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
packer=${1:-build}/tools/pack-directory
out=fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import os, sys
work = sys.argv[1]
def put(tree, rel, data):
    path = os.path.join(work, tree, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
boot = bytes([0xFA, 0xF4, 0xEB, 0xFD]) + bytes(2044)
for rel, data in {
    "WINBOM.INI": b"[WinPE]\r\nRestart=No\r\n",
    "I386/SYSTEM32/WINPEOEM.SIF": b"[Version]\r\n",
    "I386/SYSTEM32/CONFIG/DEFAULT": b"regf" + bytes(60),
    "I386/BOOTFIX.BIN": bytes(range(64)),
    "I386/SYSTEM32/STARTNET.CMD": b"wpeinit\r\n",
    "I386/SYSTEM32/DRIVERS/DISK.SYS": b"d" * 100,
    "FERROVANE/REDODOZAD.XML": b"<redoDozad/>\r\n",
    "BOOT/BOOT.IMG": boot,
    "EMPTY.TXT": b"",
    "PROGRAMS/TOOL/A.EXE": b"MZ" * 10,
}.items():
    put("tree", rel, data)
put("tree2", "BOOT.IMG", boot)
put("tree2", "D1/D2/D3/D4/D5/D6/D7/D8/D9/DEEP.TXT", b"deep\n")
for i in range(1, 71):
    put("tree2", "MANY/LONG_FILE_NAME_NUMBER_%d.TXT" % i, b"x")
PY

boot=(-b BOOT/BOOT.IMG -no-emul-boot -boot-load-size 4)
g=(genisoimage -quiet -no-pad)
x=(xorriso -as mkisofs -quiet -no-pad)
t=$work/tree
"${g[@]}" -iso-level 4 -untranslated-filenames "${boot[@]}" -o $out/genisoimage-level4-boot.iso $t 2>/dev/null
"${g[@]}" "${boot[@]}" -o $out/genisoimage-level1-versioned.iso $t
"${g[@]}" -R -J "${boot[@]}" -o $out/genisoimage-rockridge-joliet.iso $t
"${g[@]}" -iso-level 4 -untranslated-filenames -o $out/genisoimage-no-boot.iso $t 2>/dev/null
"${x[@]}" -iso-level 3 "${boot[@]}" -o $out/xorriso-mkisofs-boot.iso $t 2>/dev/null
"${x[@]}" -R -J -hide EMPTY.TXT "${boot[@]}" -o $out/xorriso-hidden-rr.iso $t 2>/dev/null
$packer $t $out/pack-directory-boot.iso $t/BOOT/BOOT.IMG >/dev/null
$packer $t $out/pack-directory-no-boot.iso >/dev/null
t=$work/tree2
"${g[@]}" -iso-level 4 -untranslated-filenames -b BOOT.IMG -no-emul-boot -boot-load-size 4 \
  -o $out/genisoimage-deep-wide.iso $t 2>/dev/null
$packer $t $out/pack-directory-deep-wide.iso $t/BOOT.IMG >/dev/null

# The hostile trees: a plain chain patched with the fault tests' record helpers.
/usr/bin/python3 - "$work" "$out" <<'PY'
import os, subprocess, sys
sys.path.insert(0, os.path.join(os.getcwd(), "tests", "scripts"))
import test_faults as tf
work, out = sys.argv[1], sys.argv[2]
levels = 16
tree = os.path.join(work, "chain")
path = tree
for _ in range(levels):
    os.makedirs(os.path.join(path, "B"))
    path = os.path.join(path, "A")
os.makedirs(path)
with open(os.path.join(path, "LEAF.TXT"), "wb") as f:
    f.write(b"leaf")
with open(os.path.join(tree, "BOOT.IMG"), "wb") as f:
    f.write(bytes(2048))
image = os.path.join(work, "chain.iso")
subprocess.run(["genisoimage", "-quiet", "-no-pad", "-iso-level", "4", "-untranslated-filenames",
                "-D", "-b", "BOOT.IMG", "-no-emul-boot", "-boot-load-size", "4", "-o", image, tree],
               check=True, stderr=subprocess.DEVNULL)
with open(image, "rb") as f:
    shared = bytearray(f.read())
loop = bytearray(shared)
prefix = ""
for _ in range(levels):
    a = tf.find_record(bytes(shared), prefix + "A")
    b = tf.find_record(bytes(shared), prefix + "B")
    tf.set_record_extent(shared, b[0], a[3], a[4])
    prefix += "A/"
root_extent, root_size = tf.root_directory(bytes(loop))
tf.set_record_extent(loop, tf.find_record(bytes(loop), "A/A/A")[0], root_extent, root_size)
with open(os.path.join(out, "hostile-shared-directory-extents.iso"), "wb") as f:
    f.write(shared)
with open(os.path.join(out, "hostile-directory-loop.iso"), "wb") as f:
    f.write(loop)
PY
du -sh $out
