// Local directory listings in byte-wise name order, so that the same inputs
// always give the same workspace and the same image, whatever order the file
// system keeps its entries in.
#pragma once

#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

// The entries of `directory` (without "." and ".."), sorted by file name.
// Throws boost::filesystem::filesystem_error when it cannot be listed.
std::vector<boost::filesystem::path> SortedDirectoryEntries(const boost::filesystem::path& directory);

// The names under `directory` that the path of `names` reaches when each
// name is matched as the CD's file system matches it, without regard to
// the case of ASCII letters: an entry of exactly that name first, else the
// first in name order that differs only in case. Empty when a name matches
// nothing or a directory cannot be listed.
std::vector<std::string> NamesAsFound(const boost::filesystem::path& directory,
                                      const std::vector<std::string>& names);
