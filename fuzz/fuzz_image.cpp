// Fuzz target for everything that reads an untrusted image: the tree load,
// every lookup, the boot image reader, and a pack of the loaded tree into a
// new image.
//
// The image is read from memory and the new image written to memory, so an
// input never touches the disk; the image classes' console lines are
// silenced.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "iso/image_sink.h"
#include "iso/image_source.h"
#include "iso/iso_boot_image_reader.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"

namespace {

// Large enough to hold every path of a 64-level tree; small enough that a
// walk over a tree that claims millions of entries still ends quickly.
constexpr std::size_t kMaxPathsTried = 64;

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

// Image paths of the loaded tree, directories and files together, depth
// first.
void CollectPaths(const DirectoryRecord* head, const std::string& parent,
                  std::vector<std::string>& paths, std::size_t depth) {
  for (const DirectoryRecord* node = head; node != nullptr; node = node->next) {
    if (paths.size() >= kMaxPathsTried || depth > 80) return;
    if (IsDotName(node->name)) continue;
    const std::string path = parent + "\\" + node->name;
    paths.push_back(path);
    if (node->type == kTypeDirectory) CollectPaths(node->child, path, paths, depth + 1);
  }
}

void ExerciseReader(const ImageOrigin& image) {
  std::vector<std::string> paths;
  {
    ISOReader whole(image);
    whole.LoadEverything();
    CollectPaths(whole.root, "", paths, 0);
  }
  // A second reader reads each list as the lookups first enter it.
  ISOReader reader(image);
  if (reader.LoadImage() != 0) return;
  // Lookups the run makes, then every path found, with and without the
  // variations that callers pass.
  for (const char* path : {"\\", "", "\\WINBOM.INI", "\\I386\\SYSTEM32\\WINPEOEM.SIF",
                           "\\I386\\SYSTEM32\\CONFIG\\DEFAULT", "\\PROGRAMS", "\\..\\x",
                           "/a/./b", "\\FERROVANE\\REDODOZAD.XML\\below"}) {
    paths.push_back(path);
  }
  for (const std::string& path : paths) {
    reader.FileExists(path);
    reader.DirectoryExists(path + "\\");
    reader.SameEntryType(path);
  }
}

void ExerciseModifier(const ImageOrigin& image) {
  for (ImageLayout layout : {ImageLayout::Compact, ImageLayout::Keep}) {
    ISOModifier modifier(image);
    modifier.SetLayout(layout);
    if (modifier.LoadImage() != 0) return;
    MemoryImageSink output;
    modifier.Pack(output, "");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SilenceStdout();
  const ImageOrigin image =
      ImageOrigin::InMemory("input.iso", std::vector<std::uint8_t>(data, data + size));
  try {
    ExerciseReader(image);
    ISOBootImageReader(image).LoadBootImage();
    ExerciseModifier(image);
  } catch (const std::exception& e) {
    // Every public operation must catch its own exceptions; one that escapes
    // is a fault worth stopping for.
    std::fprintf(stderr, "exception escaped an image operation: %s\n", e.what());
    std::abort();
  }
  return 0;
}
