// Removes the "press any key" wait of the CD's boot program: the byte 0xCB
// (x86 far return) in front of BOOTFIX.BIN makes the program return to its
// caller at once. The previous content is kept in BOOTFIX.BIN.bak while the
// file is rewritten.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <fstream>
#include <string>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/file_copy.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

namespace fs = boost::filesystem;

namespace {

constexpr char kFarReturn = static_cast<char>(0xCB);

// A program that begins with the far return already returns at once: a
// second one in front would change nothing but the file.
bool BeginsWithFarReturn(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char first = 0;
  return in.get(first) && first == kFarReturn;
}

}  // namespace

int WinpeEditor::DisablePressAnyKey() {
  Log("disabling the \"press any key\" option ...");
  try {
    const std::string bootFix = LocalPath(winpe_files::kBootFix.imagePath);
    const std::string backup = bootFix + ".bak";
    if (BeginsWithFarReturn(bootFix)) {
      Log("BOOTFIX.BIN already begins with 0xCB (far return); it is left as it is");
      return 0;
    }
    // Never overwrites: a backup left from an earlier run stops us here,
    // before the program is touched.
    CopyFileNoOverwrite(bootFix, backup);

    std::ofstream out(bootFix, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
      Log("disabling the \"press an key\" option failed - unable to open BOOTFIX.BIN");
      return 1;
    }
    out.exceptions(std::ios::badbit | std::ios::failbit);
    out.put(kFarReturn);

    std::uintmax_t remaining = fs::file_size(backup);
    std::ifstream in(backup, std::ios::binary);
    if (!in.is_open()) {
      Warning("disabling the \"press any key\" option failed -");
      Warning(" unable to open backup file BOOTFIX.BIN.bak");
      return 1;
    }
    in.exceptions(std::ios::badbit | std::ios::failbit);
    char buffer[2048];
    while (remaining > 0) {
      std::size_t piece = static_cast<std::size_t>(std::min<std::uintmax_t>(remaining, sizeof buffer));
      in.read(buffer, static_cast<std::streamsize>(piece));
      out.write(buffer, static_cast<std::streamsize>(piece));
      remaining -= piece;
    }
    out.close();
    in.close();
    fs::remove(backup);
    return 0;
  } catch (const std::exception& e) {
    Warning("disabling the \"press any key\" option failed - exception %s", e.what());
    return 1;
  }
}
