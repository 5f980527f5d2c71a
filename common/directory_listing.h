// Local directory listings in byte-wise name order, so that the same inputs
// always give the same workspace and the same image, whatever order the file
// system keeps its entries in.
#pragma once

#include <vector>

#include <boost/filesystem/path.hpp>

// The entries of `directory` (without "." and ".."), sorted by file name.
// Throws boost::filesystem::filesystem_error when it cannot be listed.
std::vector<boost::filesystem::path> SortedDirectoryEntries(const boost::filesystem::path& directory);
