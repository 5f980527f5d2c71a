#include "app/run_guard.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include "app/image_files.h"
#include "app/workspace.h"
#include "common/console.h"

namespace run_guard {
namespace {

struct Watched {
  std::mutex mutex;
  bool hasWorkspace = false;
  std::string workspace;
  bool existed = false;
  ImageFiles* files = nullptr;
  std::string customized;  // the image, once the run has replaced it
  std::atomic<bool> interrupted{false};
};

// Never destroyed: an interruption may come while the process exits.
Watched& State() {
  static Watched* watched = new Watched;
  return *watched;
}

// The run goes on meanwhile and may still be adding to the workspace, so
// the removal is tried again until it holds.
bool RemoveWorkspaceWhileRunning(const std::string& workspace, bool existed) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    try {
      RemoveWorkspace(workspace, existed);
      return true;
    } catch (const std::exception&) {
    }
  }
  return false;
}

}  // namespace

std::unique_lock<std::mutex> Hold() { return std::unique_lock<std::mutex>(State().mutex); }

void WatchWorkspace(const std::string& workspace, bool existed) {
  State().hasWorkspace = true;
  State().workspace = workspace;
  State().existed = existed;
}

void ForgetWorkspace() { State().hasWorkspace = false; }

void WatchImageFiles(ImageFiles* files) { State().files = files; }

void ForgetImageFiles() {
  Watched& watched = State();
  if (watched.files && watched.files->Committed()) watched.customized = watched.files->Target();
  watched.files = nullptr;
}

void AwaitInterruption() {
  if (!State().interrupted) return;
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void OnInterruption(const platform::Interruption& interruption) {
  Watched& watched = State();
  watched.interrupted = true;
  std::lock_guard<std::mutex> hold(watched.mutex);
  if (watched.files && watched.files->Committed()) watched.customized = watched.files->Target();
  const bool customized = !watched.customized.empty();
  std::string removed;
  if (watched.files && !customized) {
    watched.files->Discard();
    removed = "the new image";
  }
  const bool workspaceLeft =
      watched.hasWorkspace && !RemoveWorkspaceWhileRunning(watched.workspace, watched.existed);
  if (watched.hasWorkspace && !workspaceLeft) {
    removed += removed.empty() ? "the workspace" : " and the workspace";
  }
  std::string line = std::string("interrupted by ") + interruption.name;
  if (customized) line += " after " + watched.customized + " was customized";
  if (!removed.empty()) line += "; removed " + removed;
  if (workspaceLeft) line += "; could not remove the workspace " + watched.workspace;
  if (watched.files && !customized) line += "; " + watched.files->Image() + " is unchanged";
  Warning("%s", line.c_str());
  platform::EndProcess(interruption.exitCode);
}

}  // namespace run_guard
