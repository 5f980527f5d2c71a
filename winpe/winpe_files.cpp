#include "winpe/winpe_files.h"

#include <boost/filesystem.hpp>

#include "iso/image_path.h"

namespace winpe_files {

const WinpeFile kWinbom = {"\\WINBOM.INI", "retrieve winbom.ini failed",
                           "copy back winbom.ini failed"};
const WinpeFile kWinpeOem = {"\\I386\\SYSTEM32\\WINPEOEM.SIF", "retrieve winpeoem.sif failed",
                             "copy back winpeoem.sif failed"};
const WinpeFile kDefaultHive = {"\\I386\\SYSTEM32\\CONFIG\\DEFAULT", "retrieve default failed",
                                "copy back default failed"};
const WinpeFile kBootFix = {"\\I386\\BOOTFIX.BIN", "retrieve bootfix.bin failed",
                            "copy back bootfix.bin failed"};
const WinpeFile kStartNet = {"\\I386\\SYSTEM32\\STARTNET.CMD", "retrieve startnet.cmd failed",
                             "copy back startnet.cmd failed"};
const WinpeFile kRedoDozad = {"\\FERROVANE\\REDODOZAD.XML", "retrieve redodozad.xml failed",
                              "copy back redodozad.xml failed"};

const WinpeFile* const kAll[6] = {&kWinbom,  &kWinpeOem,  &kDefaultHive,
                                  &kBootFix, &kStartNet, &kRedoDozad};

std::string WorkspacePath(const std::string& root, const std::string& imagePath) {
  boost::filesystem::path local(root);
  for (const std::string& name : image_path::Split(imagePath)) local /= name;
  return local.string();
}

}  // namespace winpe_files
