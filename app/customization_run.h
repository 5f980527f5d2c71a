// The customization run: workspace, retrieval of the WinPE files, boot
// image, edits, copy back into a new image, swap of the image files, clean-up.
#pragma once

#include <string>

#include "app/command_line.h"

// Runs the whole customization; returns the process exit code (0 or 1).
int RunCustomization(const OptionValues& values);

// Removes the workspace W (and makes it again, empty, when it existed before
// the run). Returns 0, or 1 after "failed to clean up".
int CleanUp(bool existed, const std::string& workspace);
