#!/usr/bin/env bash
# Cross-builds the Windows console executable build-win/app/winpe-customize.exe
# and runs the unit tests under Wine.
#
# Installs what is missing (mingw-w64, Wine), builds Boost.Program_options,
# Boost.Filesystem and GoogleTest for Windows once into build-win-deps/
# (keyed by their Debian versions and the compiler's), then configures and
# builds build-win/ and runs ctest there, then the process test
# tests/windows/test_windows_executable.py against the Linux build's
# executables in build/ (built first). WPE_WINDOWS_NO_TESTS=1 only builds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

# The Linux build's packages give the Boost headers and GoogleTest's source.
tools/install-deps.sh

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 patch xz-utils)
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

version_of() { dpkg-query -W -f='${Version}' "$1"; }
boost_version=$(version_of libboost1.74-dev)
gtest_version=$(version_of googletest)
mingw_version=$(version_of g++-mingw-w64-x86-64-posix)
key=$(echo "boost-${boost_version}_gtest-${gtest_version}_mingw-${mingw_version}" | tr -c 'A-Za-z0-9._\n-' '_')
cache="$root/build-win-deps/$key"
prefix="$cache/install"

# Source packages are fetched through a deb-src twin of each apt source.
ensure_deb_src() {
  apt-cache showsrc boost1.74 2>/dev/null | grep -q '^Package:' && return 0
  echo "adding deb-src entries for the Boost source package"
  if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
    for list in /etc/apt/sources.list.d/*.sources; do
      [[ $(basename "$list") == wpe-deb-src* ]] && continue
      grep -q '^Types:.*\bdeb\b' "$list" || continue
      sed 's/^Types:.*/Types: deb-src/' "$list" |
        "${sudo_cmd[@]}" tee "/etc/apt/sources.list.d/wpe-deb-src-$(basename "$list")" >/dev/null
    done
  fi
  if [[ -f /etc/apt/sources.list ]] && grep -q '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/wpe-deb-src.list >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
}

# Unpacks only the two libraries' sources and applies the Debian patches
# that touch nothing else.
fetch_boost_sources() {
  local fetch="$cache/fetch"
  rm -rf "$fetch" "$cache/boost"
  mkdir -p "$fetch"
  (cd "$fetch" && apt-get source -qq --download-only "boost1.74=$boost_version" >/dev/null 2>&1) || {
    echo "cannot fetch the source package boost1.74=$boost_version" >&2
    exit 1
  }
  mkdir -p "$cache/boost"
  tar -xJf "$fetch"/boost1.74_*.orig.tar.* -C "$cache/boost" --strip-components=1 \
    --wildcards '*/libs/program_options/src/*' '*/libs/filesystem/src/*'
  tar -xJf "$fetch"/boost1.74_*.debian.tar.* -C "$fetch"
  while read -r patch; do
    patch=${patch%%#*}
    [[ -n "$patch" ]] || continue
    local targets
    targets=$(sed -n 's|^+++ b/||p' "$fetch/debian/patches/$patch" | cut -f1)
    [[ -n "$targets" ]] || continue
    if ! grep -qvE '^libs/(program_options|filesystem)/src/' <<<"$targets"; then
      patch -s -p1 -d "$cache/boost" <"$fetch/debian/patches/$patch"
    fi
  done <"$fetch/debian/patches/series"
  rm -rf "$fetch"
}

if [[ ! -f "$prefix/.complete" ]]; then
  echo "building Boost and GoogleTest for Windows into build-win-deps/$key"
  ensure_deb_src
  fetch_boost_sources
  rm -rf "$prefix" "$cache/build"
  mkdir -p "$prefix/include"
  ln -s /usr/include/boost "$prefix/include/boost"
  cmake -S tools/windows-deps -B "$cache/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBOOST_SOURCE_DIR="$cache/boost" \
    -DBOOST_HEADERS="$prefix/include" >/dev/null
  ninja -C "$cache/build" install >/dev/null
  rm -rf "$cache/build" "$cache/boost"
  touch "$prefix/.complete"
fi

cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DWPE_WINDOWS_DEPS="$prefix" >/dev/null
# One Wine prefix per build tree, and one Wine server for it that stays up
# through the build (gtest discovery runs the test programs) and the tests:
# without it every program starts a server of its own, which costs about
# two seconds each. A server left from earlier is ended first and waited
# for, so that no program meets one that is going away.
export WINEPREFIX="$root/build-win/wine" WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver
mkdir -p build-win/wine
"$wineserver" --kill >/dev/null 2>&1 || true
"$wineserver" --wait >/dev/null 2>&1 || true
"$wineserver" --persistent
trap '"$wineserver" --kill >/dev/null 2>&1 || true' EXIT
# The first program of a server starts Wine's own services, which inherit
# its standard output and error and keep them open as long as the server
# runs; started here on /dev/null, they never hold the pipe of a test that
# ctest or gtest discovery waits on. wineboot -i also makes the prefix
# (once, before programs running in parallel would race to make it).
first_boot=()
[[ -f build-win/wine/system.reg ]] || first_boot=(-i)
WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot "${first_boot[@]}" \
  </dev/null >/dev/null 2>&1
ninja -C build-win
[[ ${WPE_WINDOWS_NO_TESTS:-0} == 1 ]] && exit 0
ctest --test-dir build-win --output-on-failure -j2
# The executables as a user runs them: the sample CD and an image made by
# genisoimage customized under Wine, compared with the Linux build's
# results; the two Linux executables that takes are built here, so that
# this script needs no other run before it.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build winpe-customize make-sample-cd
WPE_WINDOWS_BINARY_DIR="$root/build-win" WPE_BINARY_DIR="$root/build" \
  /usr/bin/python3 tests/windows/test_windows_executable.py
