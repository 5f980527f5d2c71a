// Makes every requested change to the WinPE tree inside the workspace: adds
// programs, packages, drivers and the VNC server under the workspace root
// (which mirrors the image tree) and edits the WinPE configuration files
// there. It never writes the image; it only asks the reader whether names
// already exist in it.
//
// Local paths are joined with "/"; image paths keep "\".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/conflict_dialogue.h"
#include "common/text_encoding.h"

class ISOReader;
struct Addition;

class WinpeEditor {
 public:
  using StringList = std::vector<std::string>;

  // Throws std::invalid_argument("null ISOReader pointer") without a reader.
  WinpeEditor(const StringList& storageDrivers, const StringList& networkDrivers,
              const StringList& binaries, const StringList& startBinaries,
              const StringList& packages, const StringList& startPackages,
              const StringList& directories, const StringList& files,
              const std::string& vncPackage, bool disableFirewall,
              const std::string& workspaceRoot, ISOReader* reader);
  virtual ~WinpeEditor();

  // Option checks made before the workspace exists. CheckFileExistence also
  // refuses names an image cannot hold, directories deeper than the reader
  // loads and start-up programs that are not files of their package.
  int CheckOptions();
  int CheckFileExistence();

  // How a name already taken in the source image is settled;
  // asking on the console unless set otherwise.
  void SetConflictMode(ConflictMode mode) { conflictMode = mode; }

  // All edits, in their fixed order; 0 when every change was made.
  int ApplyChanges();

  // Additions under "\PROGRAMS"; return the name given, "" on failure.
  std::string AddBinary(const std::string& sourceFile);
  std::string AddPackage(const std::string& sourceDirectory);
  std::string AddFileToWorkspace(const std::string& sourceFile, const std::string& relativeDirectory);
  std::string AddDirectoryToWorkspace(const std::string& sourceDirectory,
                                      const std::string& relativeDirectory);
  // Recursive copy in byte-wise name order; throws when the destination exists.
  static void copy_directory(const std::string& source, const std::string& destination);

  // Start-up entry in "\FERROVANE\REDODOZAD.XML"; path relative to "\PROGRAMS".
  int AddStartUp(const std::string& programPath);
  // "WinPEFirewall=off" in "\WINBOM.INI".
  int DisableFirewall();
  // Drivers.
  int AddStorageDriver(const std::string& sourceDirectory);
  int AddDriverName(const std::string& driverName);
  int AddNetworkDriver(const std::string& sourceDirectory);
  // VNC server package and its password in the default user hive.
  int AddVncPackage(const std::string& vncValue);
  int SetVncPassword(const std::string& password);
  // 0xCB in front of "\I386\BOOTFIX.BIN".
  int DisablePressAnyKey();

  // How a text file is stored, so that a rewrite keeps it: the encoding its
  // byte order mark names and the line end of its first line (CR LF when it
  // has none).
  struct TextFormat {
    TextEncoding encoding = TextEncoding::Plain;
    std::string lineEnd = "\r\n";
  };
  // Line-oriented text files: lines end at LF, a CR before it is dropped;
  // every read appends one entry, so a final line end gives an empty last
  // entry. Writing puts the line end after every entry except an empty
  // last one. ReadTextLines returns false when the file cannot be opened
  // and throws when it is not text it can write back as it was.
  static bool ReadTextLines(const std::string& path, StringList& lines, TextFormat& format);
  static bool WriteTextLines(const std::string& path, const StringList& lines,
                             const TextFormat& format);

 private:
  class WorkspacePlace;
  // Copies a file or directory into the workspace directory that mirrors
  // `relativeDirectory`, under a name the conflict dialogue settles.
  std::string AddToWorkspace(const Addition& addition, const std::string& relativeDirectory);
  // The checks of CheckFileExistence beyond existence, in option order.
  int CheckSourcesGoingIn();
  // What a source is, checked again right before its copy: the run may have
  // waited at a prompt since the checks, and the source changed. With
  // `driverFilesOnly`, only the files a network driver copy takes. False
  // after a warning naming what may not be copied.
  static bool CheckBeforeCopy(const std::string& source, bool driverFilesOnly);

  // The name of an entry that this run placed in the workspace copy of
  // `imageDirectory` and that is the same entry as `name` (case and version
  // ignored); "" when there is none.
  std::string PlacedSameEntry(const std::string& imageDirectory, const std::string& name);

  std::string workspaceRoot;
  StringList storageDrivers;
  StringList networkDrivers;
  StringList binaries;
  StringList startBinaries;
  bool disableFirewall;
  std::string vncPackage;
  StringList packages;
  StringList startPackages;
  StringList directories;
  StringList files;
  ISOReader* reader;
  ConflictMode conflictMode = ConflictMode::Ask;

  // The image directory (relative to the root) that a network driver file
  // goes to, by its extension; "" for a file that is skipped.
  static std::string NetworkDriverDirectory(const std::string& fileName);
  // Maps a directory relative to the image root ("\" or "/" between names)
  // into the workspace.
  std::string LocalPath(const std::string& imageRelative) const;
};
