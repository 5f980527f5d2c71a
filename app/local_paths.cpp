#include "app/local_paths.h"

#include <algorithm>

#include <boost/filesystem.hpp>

#include "winpe/option_values.h"

namespace fs = boost::filesystem;

std::vector<std::string> LocalPathsRead(const OptionValues& values) {
  std::vector<std::string> paths;
  if (!values.image.empty()) paths.push_back(values.image);
  for (const auto* list : {&values.storageDrivers, &values.networkDrivers, &values.binaries,
                           &values.startBinaries, &values.packages}) {
    paths.insert(paths.end(), list->begin(), list->end());
  }
  for (const std::string& value : values.startPackages) {
    paths.push_back(ParseStartPackage(value).package);
  }
  for (const auto* list : {&values.directories, &values.files}) {
    for (const std::string& value : *list) paths.push_back(ParsePlacement(value).local);
  }
  if (!values.vnc.empty()) paths.push_back(ParseVncValue(values.vnc).package);
  paths.push_back(values.vncPasswordFile);
  paths.erase(std::remove(paths.begin(), paths.end(), std::string()), paths.end());
  return paths;
}

fs::path Normalised(const std::string& path) {
  boost::system::error_code ec;
  fs::path result = fs::weakly_canonical(fs::absolute(path), ec);
  if (ec) result = fs::absolute(path).lexically_normal();
  return result;
}

bool IsWithin(const fs::path& inner, const fs::path& outer) {
  auto o = outer.begin(), i = inner.begin();
  for (; o != outer.end(); ++o, ++i) {
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}
