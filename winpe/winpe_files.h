// The WinPE files a run copies out of the image, edits in the workspace and
// copies back, with the lines that report a failed copy. The workspace root
// mirrors the image tree: a file's workspace path is its image path below
// the root.
#pragma once

#include <string>

struct WinpeFile {
  const char* imagePath;        // "\I386\BOOTFIX.BIN"
  const char* retrieveFailure;  // "retrieve bootfix.bin failed"
  const char* copyBackFailure;  // "copy back bootfix.bin failed"
};

namespace winpe_files {

extern const WinpeFile kWinbom;     // firewall switch
extern const WinpeFile kWinpeOem;   // storage driver list
extern const WinpeFile kDefaultHive;  // VNC settings in the default user hive
extern const WinpeFile kBootFix;    // the "press any key" prompt
extern const WinpeFile kStartNet;   // copied out and back unchanged
extern const WinpeFile kRedoDozad;  // start-up programs

// In the order the run retrieves them.
extern const WinpeFile* const kAll[6];

// Where an image path ("\" or "/" between names) lies below the workspace
// root, with the local separator.
std::string WorkspacePath(const std::string& root, const std::string& imagePath);

}  // namespace winpe_files
