// What an interruption of the run (Ctrl-C, SIGTERM, a hang-up) removes, and
// the lock that keeps it from cutting the making or removal of the
// workspace, or the swap of the image files, in half.
#pragma once

#include <mutex>
#include <string>

#include "platform/interruption.h"

class ImageFiles;

namespace run_guard {

// Held by the run while it makes or removes the workspace and while it
// swaps the image files; an interruption waits until it is released.
std::unique_lock<std::mutex> Hold();

// What an interruption removes from now on. Call while holding Hold().
void WatchWorkspace(const std::string& workspace, bool existed);
void ForgetWorkspace();
void WatchImageFiles(ImageFiles* files);
void ForgetImageFiles();

// Called by the run's last step: once an interruption is being handled, it
// ends the process, so that its exit code is the one reported.
void AwaitInterruption();

// Removes the new image (unless it has already replaced the image) and the
// workspace, prints one line and ends the process with the interruption's
// exit code. Runs in a thread of its own while the run stays where it was.
void OnInterruption(const platform::Interruption& interruption);

}  // namespace run_guard
