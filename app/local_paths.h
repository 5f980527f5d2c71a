// Local paths of a run compared with each other: the image, the local
// sources named by the options, and the files the run itself writes (the
// workspace, an output file) must not overlap.
#pragma once

#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "app/command_line.h"

// The image (when given), every local source of the options, each as the
// local path the run reads (the part before "%" of -P, -v, -X, -Y), and the
// VNC password file.
std::vector<std::string> LocalPathsRead(const OptionValues& values);

// Absolute, normalised form of a local path, links resolved as far as the
// path exists.
boost::filesystem::path Normalised(const std::string& path);

// True when `inner` is `outer` or lies below it (both normalised).
bool IsWithin(const boost::filesystem::path& inner, const boost::filesystem::path& outer);
