// The run's workspace: what a `tmp` directory may hold before the run uses
// it, making the workspace, and removing it again.
#pragma once

#include <string>

#include "app/command_line.h"

// A `tmp` workspace is emptied by the run, so it is refused (with a warning
// line saying why) when it is not a directory, is, holds or lies inside the
// image or a local source, or holds anything but what a run leaves there.
bool WorkspaceIsUsable(const OptionValues& values, const std::string& workspace);

// Makes the workspace. One that existed is emptied in place, so that its
// permissions and owner stay what they were.
void PrepareWorkspace(const std::string& workspace, bool existed);

// Removes the workspace, or only its contents when it existed before the
// run (it is made again if it went meanwhile). Throws
// boost::filesystem::filesystem_error.
void RemoveWorkspace(const std::string& workspace, bool existed);
