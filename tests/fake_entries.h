// Fakes answer SameEntryType from sets of image paths, as the reader compares entries.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "iso/image_path.h"
#include "iso/iso_structures.h"

namespace testing_support {

inline bool SameEntryPath(const std::string& a, const std::string& b) {
  const std::vector<std::string> x = image_path::Split(a), y = image_path::Split(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!image_path::SameEntry(x[i], y[i])) return false;
  }
  return !x.empty();
}

inline std::uint32_t SameEntryTypeIn(const std::set<std::string>& files,
                                     const std::set<std::string>& directories,
                                     const std::string& path) {
  for (const std::string& file : files) {
    if (SameEntryPath(file, path)) return kTypeFile;
  }
  for (const std::string& directory : directories) {
    if (SameEntryPath(directory, path)) return kTypeDirectory;
  }
  return 0;
}

}  // namespace testing_support
