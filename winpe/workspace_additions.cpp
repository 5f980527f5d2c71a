// Programs and software packages placed under "\PROGRAMS" of the workspace,
// with the name-conflict dialogue against the source image, and the
// recursive directory copy the additions use.
#include <exception>
#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>

#include "common/console.h"
#include "common/directory_listing.h"
#include "common/file_copy.h"
#include "iso/image_path.h"
#include "iso/iso_reader.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

namespace fs = boost::filesystem;

std::string WinpeEditor::LocalPath(const std::string& imageRelative) const {
  return winpe_files::WorkspacePath(workspaceRoot, imageRelative);
}

void WinpeEditor::copy_directory(const std::string& source, const std::string& destination) {
  if (fs::exists(destination)) {
    if (fs::is_directory(destination)) {
      throw std::runtime_error("copy_directory fails: a directory with same name exists");
    }
    throw std::runtime_error("copy_directory fails: a file with same name exists");
  }
  fs::create_directory(destination);
  for (const fs::path& entry : SortedDirectoryEntries(source)) {
    fs::path target = fs::path(destination) / entry.filename();
    if (fs::is_directory(entry)) {
      copy_directory(entry.string(), target.string());
    } else {
      CopyFileNoOverwrite(entry.string(), target.string());  // fails when the target exists
    }
  }
}

// The lines of a file or directory addition; they differ in small ways
// that scripts may match.
struct AdditionTexts {
  ConflictKind kind;
  const char* what;        // "file", "directory"
  const char* noParent;    // the parent directory is missing
  bool exceptionIsWarning; // the directory's exception line goes to the log
};

namespace {

const AdditionTexts kFileTexts = {
    ConflictKind::File, "file", "adding file %s failed - parent directory does not exists", true};
const AdditionTexts kDirectoryTexts = {
    ConflictKind::Directory, "directory",
    "adding directory %s failed - parent directory does not exist", false};

}  // namespace

std::string WinpeEditor::AddFileToWorkspace(const std::string& sourceFile,
                                            const std::string& relativeDirectory) {
  return AddToWorkspace(sourceFile, relativeDirectory, kFileTexts);
}

std::string WinpeEditor::AddDirectoryToWorkspace(const std::string& sourceDirectory,
                                                 const std::string& relativeDirectory) {
  return AddToWorkspace(sourceDirectory, relativeDirectory, kDirectoryTexts);
}

std::string WinpeEditor::AddToWorkspace(const std::string& source,
                                        const std::string& relativeDirectory,
                                        const AdditionTexts& texts) {
  try {
    std::string name = image_path::Leaf(source);
    std::string relative = image_path::TrimTrailing(relativeDirectory);
    std::string localDirectory = LocalPath(relative);
    Log("adding %s %s ...", texts.what, name.c_str());
    if (!fs::is_directory(localDirectory)) {
      Warning(texts.noParent, name.c_str());
      return "";
    }
    if (!ChooseFreeName(relative, texts.kind, name) || !CheckBeforeCopy(source, false)) return "";
    // Neither copy overwrites.
    const std::string target = (fs::path(localDirectory) / name).string();
    if (texts.kind == ConflictKind::File) {
      CopyFileNoOverwrite(source, target);
    } else {
      copy_directory(image_path::TrimTrailing(source), target);
    }
    Log("adding %s %s succeeded", texts.what, name.c_str());
    return name;
  } catch (const std::exception& e) {
    if (texts.exceptionIsWarning) {
      Warning("adding %s failed, exception: %s", texts.what, e.what());
    } else {
      Log("adding %s failed, exception: %s", texts.what, e.what());
    }
    return "";
  }
}

namespace {

// Makes sure the workspace has "PROGRAMS" as a directory, as the image will.
// `what` names the addition in the exception's warning. False after a
// warning when it cannot.
bool PrepareProgramsDirectory(ISOReader& reader, const fs::path& programs, const char* what) {
  try {
    if (reader.SameEntryType("\\PROGRAMS") == kTypeFile) {
      Warning("adding binary file failed - a file named \"PROGRAMS\" exists,");
      Warning(" manually delete it to allow create \"PROGRAMS\" directory");
      return false;
    }
    if (!fs::exists(programs)) fs::create_directory(programs);
    return true;
  } catch (const std::exception& e) {
    Warning("adding %s failed, exception: %s", what, e.what());
    return false;
  }
}

}  // namespace

std::string WinpeEditor::AddBinary(const std::string& sourceFile) {
  if (!PrepareProgramsDirectory(*reader, LocalPath("PROGRAMS"), "binary file")) return "";
  return AddFileToWorkspace(sourceFile, "PROGRAMS");
}

std::string WinpeEditor::AddPackage(const std::string& sourceDirectory) {
  if (!PrepareProgramsDirectory(*reader, LocalPath("PROGRAMS"), "software package")) return "";
  return AddDirectoryToWorkspace(sourceDirectory, "PROGRAMS");
}
