#include "common/directory_listing.h"

#include <algorithm>

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

std::vector<fs::path> SortedDirectoryEntries(const fs::path& directory) {
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(directory), end; it != end; ++it) entries.push_back(it->path());
  std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
    return a.filename().string() < b.filename().string();
  });
  return entries;
}
