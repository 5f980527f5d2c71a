#!/usr/bin/env bash
# The main job on a sample image: installs what is missing, builds, makes a
# small bootable WinPE-like CD, customizes it with a program, a start-up
# program, a package and a start-up package, and shows what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build winpe-customize make-sample-cd >/dev/null

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/src/tools/bin" "$demo/src/docs"
build/tools/make-sample-cd "$demo/sample.iso" >/dev/null

printf 'MZ hello\r\n' >"$demo/src/hello.exe"
printf 'MZ agent\r\n' >"$demo/src/agent.exe"
printf 'MZ run\r\n' >"$demo/src/tools/bin/run.exe"
printf 'Read me\r\n' >"$demo/src/docs/guide.txt"

echo "== customizing $demo/sample.iso"
build/app/winpe-customize -i "$demo/sample.iso" \
  -b "$demo/src/hello.exe" \
  -B "$demo/src/agent.exe" \
  -p "$demo/src/docs" \
  -P "$demo/src/tools%bin\\run.exe" \
  -f

echo
echo "== what changed ($demo/sample.iso.bak -> $demo/sample.iso)"
/usr/bin/python3 tools/show_image_changes.py "$demo/sample.iso.bak" "$demo/sample.iso"
