// Checks of the local sources made before the workspace exists, beyond
// their existence: every name they put into the image must be one the
// image can hold and the reader reads back, their directories must not lie
// deeper than the reader loads, a start-up program must be a file of its
// package, and everything copied must be a regular file or a directory.
// The tool runs as root on packages made by others: a link inside a tree
// is followed only when it stays inside, and a FIFO or a device, which
// would hang the copy or fill the disk, is refused by name.
#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/directory_listing.h"
#include "iso/image_path.h"
#include "iso/iso_structures.h"
#include "platform/file_kind.h"
#include "winpe/option_values.h"
#include "winpe/winpe_editor.h"

namespace fs = boost::filesystem;

namespace {

// Levels below the image root of what the additions place: "\PROGRAMS\pkg"
// and "\I386\SYSTEM32\DRIVERS\drv".
constexpr std::size_t kPackageDepth = 2;
constexpr std::size_t kStorageDriverDepth = 4;
// Entries one source may bring, links followed: links that lead to the
// same directories again and again (no loop, but 2 to the power of the
// depth copies) would otherwise hold the run, and fill the disk.
constexpr std::size_t kMaxSourceEntries = 1 << 20;

bool CheckName(const std::string& path, const std::string& name) {
  const std::string problem = image_path::NewNameProblem(name);
  if (problem.empty()) return true;
  Warning("can not add %s - its name \"%s\" %s; rename it", path.c_str(), name.c_str(),
          problem.c_str());
  return false;
}

bool CheckDepth(const std::string& path, std::size_t depth) {
  if (WithinDirectoryDepth(depth)) return true;
  Warning("can not add %s - it would be a directory %zu levels below the image root, more than "
          "the %zu an image can be read back with; flatten it",
          path.c_str(), depth, kMaxDirectoryDepth);
  return false;
}

bool Refuse(const std::string& path, const std::string& why) {
  Warning("can not add %s - %s", path.c_str(), why.c_str());
  return false;
}

// What a copy finds at a source once the links it may follow are followed:
// a regular file or a directory, and where that lies.
struct Source {
  platform::FileKind kind = platform::FileKind::None;
  std::string final;
};

// A tree being walked: where the directory being added lies, and the
// directories entered on the way down, so that a link back up is found.
struct TreeWalk {
  std::string root;
  std::vector<std::string> entered;
  std::size_t directories = 0, entries = 0;  // met so far, links followed
};

// The link at `at` followed to where it leads; false after a warning
// naming it as `shown` when that is nowhere. Runs as root on packages made
// by others, so a link is never a way to reach what the user did not name.
bool Follow(const std::string& at, const std::string& shown, Source& source) {
  try {
    source.final = platform::FinalPath(at);
  } catch (const std::system_error& e) {
    boost::system::error_code error;
    const fs::path target = fs::read_symlink(at, error);
    const std::string to = error ? std::string() : " to " + target.string();
    return Refuse(shown, "it is a symbolic link" + to + " that leads nowhere (" +
                             e.code().message() + ")");
  }
  source.kind = platform::KindOf(source.final);
  return true;
}

bool CheckFileOrDirectory(const std::string& shown, const Source& source) {
  using platform::FileKind;
  if (source.kind == FileKind::Regular || source.kind == FileKind::Directory) return true;
  return Refuse(shown, std::string("it is ") + platform::Describe(source.kind) +
                           "; only files and directories can go into an image");
}

// An entry of a tree being added, at `at` (its directory's final path and
// its name, so that nothing before it needs following again), told without
// following a link; a link counts only when it leads inside the tree and
// not back up to a directory that holds it.
bool CheckEntry(const std::string& at, const std::string& shown, const TreeWalk& walk,
                Source& source) {
  source.kind = platform::KindOf(at);
  source.final = at;
  if (source.kind != platform::FileKind::Link) return CheckFileOrDirectory(shown, source);
  if (!Follow(at, shown, source)) return false;
  if (!platform::LiesWithin(source.final, walk.root)) {
    return Refuse(shown, "it is a symbolic link to " + source.final + ", outside " + walk.root +
                             "; only links within the directory being added are followed");
  }
  for (const std::string& holder : walk.entered) {
    if (source.final == holder) {
      return Refuse(shown, "it is a symbolic link to " + holder +
                               ", a directory that holds it; its copy would never end");
    }
  }
  return CheckFileOrDirectory(shown, source);
}

// A source named on the command line: a link is followed, since the user
// chose it, but must lead to a file or a directory.
bool CheckNamedSource(const std::string& path, Source& source) {
  source.kind = platform::KindOf(path);
  source.final = path;
  if (source.kind == platform::FileKind::Link && !Follow(path, path, source)) return false;
  if (source.kind == platform::FileKind::Directory) source.final = platform::FinalPath(path);
  return CheckFileOrDirectory(path, source);
}

// Everything inside the directory shown as `shown`, which lies at `final`
// and `depth` levels below the image root, checked for what the copy will
// find there.
bool CheckTree(const fs::path& shown, const fs::path& final, std::size_t depth, TreeWalk& walk) {
  for (const fs::path& entry : SortedDirectoryEntries(final)) {
    if (++walk.entries > kMaxSourceEntries) {
      return Refuse(walk.root, "with its links followed it holds more than " +
                                   std::to_string(kMaxSourceEntries) + " entries");
    }
    const fs::path entryShown = shown / entry.filename();
    Source source;
    if (!CheckName(entryShown.string(), entry.filename().string()) ||
        !CheckEntry(entry.string(), entryShown.string(), walk, source)) {
      return false;
    }
    if (source.kind != platform::FileKind::Directory) continue;
    if (!CheckDepth(entryShown.string(), depth + 1)) return false;
    if (++walk.directories > kMaxPathTableDirectories) {
      return Refuse(walk.root, "with its links followed it holds more than " +
                                   std::to_string(kMaxPathTableDirectories) +
                                   " directories, more than an image can hold");
    }
    walk.entered.push_back(source.final);
    const bool good = CheckTree(entryShown, source.final, depth + 1, walk);
    walk.entered.pop_back();
    if (!good) return false;
  }
  return true;
}

// A local directory named on the command line and everything in it.
bool CheckNamedTree(const std::string& directory, std::size_t depth) {
  Source named;
  if (!CheckNamedSource(directory, named)) return false;
  TreeWalk walk{named.final, {named.final}};
  return CheckTree(directory, named.final, depth, walk);
}

// A local directory going into the image under its own name, `depth`
// levels below the root.
bool CheckDirectory(const std::string& value, std::size_t depth) {
  const std::string source = image_path::TrimTrailing(value);
  return CheckName(value, image_path::Leaf(source)) && CheckDepth(value, depth) &&
         CheckNamedTree(source, depth);
}

bool CheckFile(const std::string& value) {
  Source named;
  return CheckName(value, image_path::Leaf(value)) && CheckNamedSource(value, named);
}

// The files of a network driver directory that are copied (those that
// `directoryOf` places), links among them as in a package.
bool CheckNetworkDriver(const std::string& value,
                        std::string (*directoryOf)(const std::string& fileName)) {
  const std::string directory = image_path::TrimTrailing(value);
  Source named;
  if (!CheckNamedSource(directory, named)) return false;
  const TreeWalk walk{named.final, {named.final}};
  for (const fs::path& entry : SortedDirectoryEntries(named.final)) {
    const std::string leaf = entry.filename().string();
    if (directoryOf(leaf).empty()) continue;
    const std::string shown = (fs::path(directory) / leaf).string();
    Source source;
    if (!CheckEntry(entry.string(), shown, walk, source)) return false;
    if (source.kind == platform::FileKind::Directory) continue;
    if (!CheckName(shown, leaf)) return false;
  }
  return true;
}

// The start-up program named after the "%" must be a file inside the
// package. Its names are matched as the CD matches them, in any case.
bool CheckStartProgram(const std::string& value, const std::string& package,
                       const std::string& program) {
  const std::vector<std::string> names = image_path::Split(program);
  if (names.empty()) {
    Warning("no start up executable after '%%' in %s", value.c_str());
    return false;
  }
  const fs::path root = image_path::TrimTrailing(package);
  fs::path local = root;
  for (const std::string& name : NamesAsFound(root, names)) local /= name;
  if (local == root || fs::is_directory(local)) {
    Warning("can not find start up executable %s in package %s - give its path inside the "
            "package after '%%'",
            program.c_str(), package.c_str());
    return false;
  }
  return true;
}

}  // namespace

int WinpeEditor::CheckSourcesGoingIn() {
  for (const std::string& value : storageDrivers) {
    if (!CheckDirectory(value, kStorageDriverDepth)) return 1;
  }
  for (const std::string& value : networkDrivers) {
    if (!CheckNetworkDriver(value, &NetworkDriverDirectory)) return 1;
  }
  for (const StringList* list : {&binaries, &startBinaries}) {
    for (const std::string& value : *list) {
      if (!CheckFile(value)) return 1;
    }
  }
  for (const std::string& value : packages) {
    if (!CheckDirectory(value, kPackageDepth)) return 1;
  }
  for (const std::string& value : startPackages) {
    const StartValue parts = ParseStartPackage(value);
    if (!CheckStartProgram(value, parts.package, parts.executable) ||
        !CheckDirectory(parts.package, kPackageDepth)) {
      return 1;
    }
  }
  for (const std::string& value : files) {
    if (!CheckFile(ParsePlacement(value).local)) return 1;
  }
  for (const std::string& value : directories) {
    const Placement placement = ParsePlacement(value);
    const std::size_t depth = image_path::Split(placement.place).size() + 1;
    if (!CheckDirectory(placement.local, depth)) return 1;
  }
  if (vncPackage.empty()) return 0;
  const StartValue parts = ParseVncValue(vncPackage);
  if (!fs::is_directory(parts.package)) {
    Warning("can not find VNC package %s", parts.package.c_str());
    return 1;
  }
  if (!CheckStartProgram(vncPackage, parts.package, parts.executable) ||
      !CheckDirectory(parts.package, kPackageDepth)) {
    return 1;
  }
  return 0;
}

bool WinpeEditor::CheckBeforeCopy(const std::string& source, bool driverFilesOnly) {
  if (driverFilesOnly) return CheckNetworkDriver(source, &NetworkDriverDirectory);
  const std::string path = image_path::TrimTrailing(source);
  return fs::is_directory(path) ? CheckNamedTree(path, 0) : CheckFile(path);
}
