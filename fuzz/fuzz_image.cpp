// Fuzz target for everything that reads an untrusted image: the tree load,
// every lookup, copies out of the image, the boot image reader, and a pack of
// the loaded tree into a new image.
//
// Each input is written to a scratch file, because the image classes open
// their image by path. Every output goes to a scratch directory that is
// emptied after each input; the image classes' console lines are silenced.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "iso/iso_boot_image_reader.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"

namespace fs = boost::filesystem;

namespace {

// Large enough to hold every path of a 64-level tree; small enough that a
// walk over a tree that claims millions of entries still ends quickly.
constexpr std::size_t kMaxPathsTried = 64;

struct Scratch {
  fs::path root;
  fs::path image;
  fs::path output;
};

Scratch& GetScratch() {
  static Scratch scratch = [] {
    Scratch s;
    const char* base = std::getenv("WPE_FUZZ_SCRATCH");
    s.root = fs::path(base != nullptr ? base : fs::temp_directory_path().string()) /
             ("wpe-fuzz-" + std::to_string(getpid()));
    fs::remove_all(s.root);
    fs::create_directories(s.root);
    s.image = s.root / "input.iso";
    s.output = s.root / "out";
    return s;
  }();
  return scratch;
}

void SilenceStdout() {
  static bool done = false;
  if (done || std::getenv("WPE_FUZZ_VERBOSE") != nullptr) return;
  std::fflush(stdout);
  FILE* null = std::fopen("/dev/null", "w");
  if (null != nullptr) {
    dup2(fileno(null), STDOUT_FILENO);
    std::fclose(null);
  }
  done = true;
}

// Image paths of the loaded tree, directories and files apart, depth first.
void CollectPaths(const DirectoryRecord* head, const std::string& parent,
                  std::vector<std::string>& directories, std::vector<std::string>& files,
                  std::size_t depth) {
  for (const DirectoryRecord* node = head; node != nullptr; node = node->next) {
    if (directories.size() + files.size() >= kMaxPathsTried || depth > 80) return;
    if (IsDotName(node->name)) continue;
    const std::string path = parent + "\\" + node->name;
    if (node->type == kTypeDirectory) {
      directories.push_back(path);
      CollectPaths(node->child, path, directories, files, depth + 1);
    } else {
      files.push_back(path);
    }
  }
}

void ResetOutput(const Scratch& scratch) {
  boost::system::error_code ignored;
  fs::remove_all(scratch.output, ignored);
  fs::create_directories(scratch.output);
}

void ExerciseReader(const Scratch& scratch, std::vector<std::string>& directories,
                    std::vector<std::string>& files) {
  ISOReader reader(scratch.image.string());
  if (reader.LoadImage() != 0) return;
  CollectPaths(reader.root, "", directories, files, 0);

  // Lookups the run makes, then every path found, with and without the
  // variations that callers pass.
  for (const char* path : {"\\", "", "\\WINBOM.INI", "\\I386\\SYSTEM32\\WINPEOEM.SIF",
                           "\\I386\\SYSTEM32\\CONFIG\\DEFAULT", "\\PROGRAMS", "\\..\\x",
                           "/a/./b", "\\FERROVANE\\REDODOZAD.XML\\below"}) {
    reader.FileExists(path);
    reader.DirectoryExists(path);
    reader.SameEntryType(path);
  }
  for (const std::string& path : directories) {
    reader.DirectoryExists(path + "\\");
    reader.FileExists(path);
    reader.SameEntryType(path);
  }
  for (const std::string& path : files) {
    reader.FileExists(path);
    reader.DirectoryExists(path);
    reader.SameEntryType(path);
  }

  ResetOutput(scratch);
  if (!files.empty()) {
    reader.RetrieveFile(files.front(), (scratch.output / "file").string());
    reader.RetrieveFile(files.back(), (scratch.output / "file").string());  // exists now
  }
  if (!directories.empty()) {
    fs::create_directory(scratch.output / "dir");
    reader.RetrieveDir(directories.front(), (scratch.output / "dir").string());
  }
  reader.RetrieveDir("\\", (scratch.output / "missing" / "dir").string());
  fs::create_directory(scratch.output / "all");
  reader.Unpack((scratch.output / "all").string());
  ResetOutput(scratch);
}

void ExerciseBootImageReader(const Scratch& scratch) {
  ISOBootImageReader bootReader(scratch.image.string());
  if (bootReader.LoadBootImage() == 0) {
    bootReader.ExtractBootImage((scratch.output / "BootImage.bin").string());
  }
  bootReader.ExtractBootImage((scratch.output / "missing" / "BootImage.bin").string());
}

void ExerciseModifier(const Scratch& scratch, const std::vector<std::string>& directories,
                      const std::vector<std::string>& files) {
  const fs::path added = scratch.output / "ADDED.TXT";
  {
    std::ofstream out(added.string(), std::ios::binary);
    out << "added by the fuzz target\r\n";
  }
  ISOModifier modifier(scratch.image.string());
  if (modifier.LoadImage() != 0) return;
  // Replace an existing file, add below an existing directory and add a new
  // top-level entry, so that the pack mixes source and local nodes.
  if (!files.empty()) modifier.AddSingleFile(added.string(), files.front(), true);
  if (!directories.empty()) {
    modifier.AddSingleFile(added.string(), directories.back() + "\\ADDED.TXT", true);
  }
  modifier.AddSingleFile(added.string(), "\\NEW\\ADDED.TXT", true);
  const fs::path bootImage = scratch.output / "BootImage.bin";
  modifier.Pack((scratch.output / "new.iso").string(),
                fs::exists(bootImage) ? bootImage.string() : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SilenceStdout();
  const Scratch& scratch = GetScratch();
  {
    std::ofstream out(scratch.image.string(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    std::vector<std::string> directories;
    std::vector<std::string> files;
    ExerciseReader(scratch, directories, files);
    ExerciseBootImageReader(scratch);
    ExerciseModifier(scratch, directories, files);
  } catch (const std::exception& e) {
    // Every public operation must catch its own exceptions; one that escapes
    // is a fault worth stopping for.
    std::fprintf(stderr, "exception escaped an image operation: %s\n", e.what());
    std::abort();
  }
  ResetOutput(scratch);
  return 0;
}
