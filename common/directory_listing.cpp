#include "common/directory_listing.h"

#include <algorithm>
#include <cctype>

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

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return x < 0x80 && y < 0x80 ? std::tolower(x) == std::tolower(y) : x == y;
         });
}

}  // namespace

std::vector<std::string> NamesAsFound(const fs::path& directory,
                                      const std::vector<std::string>& names) {
  std::vector<std::string> found;
  fs::path at = directory;
  for (const std::string& name : names) {
    boost::system::error_code error;
    if (!fs::is_directory(at, error)) return {};
    std::string match;
    try {
      for (const fs::path& entry : SortedDirectoryEntries(at)) {
        const std::string leaf = entry.filename().string();
        if (leaf == name) {
          match = leaf;
          break;
        }
        if (match.empty() && SameIgnoringCase(leaf, name)) match = leaf;
      }
    } catch (const fs::filesystem_error&) {
      return {};
    }
    if (match.empty()) return {};
    found.push_back(match);
    at /= match;
  }
  return found;
}
