#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Idempotent; prints nothing when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  libboost-program-options-dev libboost-filesystem-dev libhivex-dev
  libgtest-dev googletest
  # Independent tools the tests check our images and hives with.
  xorriso genisoimage p7zip-full python3-pycdlib python3-pycryptodome
  libhivex-bin reglookup qemu-system-x86
  ovmf isolinux syslinux-common mtools gdisk gcc-mingw-w64-x86-64
  # The image fuzz target (fuzz/run.sh): clang with libFuzzer and the
  # sanitizer runtimes.
  clang libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
