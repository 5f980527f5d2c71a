#include "app/customization_run.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>

#include <boost/filesystem.hpp>

#include "app/direct_additions.h"
#include "app/image_files.h"
#include "app/run_guard.h"
#include "app/workspace.h"
#include "common/directory_listing.h"
#include "common/console.h"
#include "iso/image_facts.h"
#include "iso/image_sink.h"
#include "iso/iso_boot_image_reader.h"
#include "iso/iso_modifier.h"
#include "iso/iso_reader.h"
#include "platform/long_path.h"
#include "platform/temp_name.h"
#include "winpe/option_values.h"
#include "winpe/winpe_editor.h"
#include "winpe/winpe_files.h"

namespace fs = boost::filesystem;

namespace {

// A fresh workspace name under the temporary directory that names nothing
// yet: an existing path may belong to someone else and is never reused.
bool MakeWorkspaceName(std::string& workspace) {
  std::string tempPath;
  if (!platform::TempDirectory(tempPath)) {
    Warning("can not get temporary directory");
    return false;
  }
  // Boost reports "not found" through the error code as well, so look at
  // the status type instead.
  const auto isFree = [](const std::string& name) {
    boost::system::error_code ec;
    return fs::symlink_status(name, ec).type() == fs::file_not_found;
  };
  if (platform::FreeTempName(tempPath, "WPE", isFree, workspace)) return true;
  Warning("can not generate random temporary directory name");
  return false;
}

// What the new image will not have of the source image, said once each: the
// run goes on without it.
void LogDroppedParts(const ImageFacts& facts) {
  if (facts.hasRockRidge) {
    Log("the image has Rock Ridge entries (POSIX names, permissions, links); the new image "
        "does not carry them over");
  }
  if (facts.hasEnhancedDescriptor) {
    Log("the image has an ISO 9660:1999 volume descriptor; the new image does not carry it over");
  }
  if (facts.hasSystemArea) {
    Warning("the image's system area (a hybrid boot record or partition table) is not carried "
            "over: the packed image boots from CD only, not from a disk or USB stick");
  }
  if (facts.hasHiddenEntries) {
    Warning("the image has hidden entries (records marked hidden, which listings leave out); "
            "the new image does not carry them over");
  }
  if (facts.hasUdf) {
    Warning("the image's UDF file system is not carried over: Windows reads the packed image's "
            "ISO 9660 and Joliet names");
  }
  if (!facts.jolietTreeProblem.empty()) {
    Log("the image's Joliet tree cannot be read (%s); the new image's Joliet tree takes the "
        "ISO 9660 names instead", facts.jolietTreeProblem.c_str());
  }
}

// Everything from the workspace to the swap. Returns the exit code; any
// exception is the caller's.
class Run {
 public:
  Run(const OptionValues& values, std::string workspace)
      : values_(values),
        workspace_(std::move(workspace)),
        local_(platform::LongPath(workspace_)),
        root_((fs::path(local_) / "image_file_dir").string()),
        files_(values.image, values.output) {}
  // Every road out of the run ends here: the new image is removed unless
  // it replaced the image (or a failed rename left it complete), under the
  // guard, so that an interruption finds it either there or gone.
  ~Run() {
    auto hold = run_guard::Hold();
    files_.Discard();
    run_guard::ForgetImageFiles();
  }

  int Execute();

 private:
  int Fail(const char* message) {
    Warning("%s", message);
    return Stop();
  }
  int Stop() {
    CleanUp(existed_, local_);
    return 1;
  }
  // Scripts read standard error: a step that stops the run without a
  // Warning of its own gets one, with the first failure line it printed
  // on standard output, or else naming the step its latest Log line began.
  void BeginStep() {
    ForgetFailureLines();
    stepWarnings_ = WarningsWritten();
  }
  // `orStep` false: only a failure line is worth repeating.
  void SayWhy(bool orStep = true) const;
  int StopStep() {
    SayWhy();
    return Stop();
  }
  // Copies a workspace file or directory into the image, replacing an
  // entry of the same name.
  int Add(const fs::path& local, const std::string& image, const char* failure) {
    const int result = fs::is_directory(local)
                           ? modifier_->AddSingleDirectory(local.string(), image, true)
                           : modifier_->AddSingleFile(local.string(), image, true);
    if (result != 0) {
      Warning("%s", failure);
      return 1;
    }
    return 0;
  }
  int CopyBackFile(const WinpeFile& file) {
    return Add(winpe_files::WorkspacePath(root_, file.imagePath), file.imagePath,
               file.copyBackFailure);
  }
  std::string BootImagePath() const { return (fs::path(local_) / "BootImage.bin").string(); }
  bool PrepareImageFiles();
  void MakeWorkspace();
  int RetrieveAndEdit();
  int CopyBack();
  int CopyBackPrograms();
  int CopyBackDrivers();
  int AddDirect();
  int PackAndSwap();

  const OptionValues& values_;
  // The workspace as given, for the checks and messages, and as the files
  // below it are reached: a package copied deep into it may pass the
  // system's path length limit.
  std::string workspace_;
  std::string local_;
  std::string root_;
  ImageFiles files_;
  bool existed_ = false;
  bool workspaceTouched_ = false;
  unsigned stepWarnings_ = 0;
  std::unique_ptr<ISOReader> reader_;
  std::unique_ptr<WinpeEditor> editor_;
  std::unique_ptr<ISOBootImageReader> bootReader_;
  std::unique_ptr<ISOModifier> modifier_;
};

int Run::Execute() {
  reader_.reset(new ISOReader(values_.image));
  try {
    editor_.reset(new WinpeEditor(values_.storageDrivers, values_.networkDrivers,
                                  values_.binaries, values_.startBinaries, values_.packages,
                                  values_.startPackages, values_.directories, values_.files,
                                  values_.vnc, values_.disableFirewall, root_, reader_.get()));
    editor_->SetConflictMode(values_.onConflict);
    if (editor_->CheckOptions() != 0) return 1;
    if (editor_->CheckFileExistence() != 0) return 1;
    if (!values_.tmp.empty() && !WorkspaceIsUsable(values_, workspace_)) return 1;
    if (!values_.output.empty() && !OutputIsUsable(values_)) return 1;
    if (!PrepareImageFiles()) return 1;
    MakeWorkspace();
    if (RetrieveAndEdit() != 0) return 1;

    modifier_.reset(new ISOModifier(values_.image));
    if (values_.sourceDateEpoch) modifier_->FixPackTime(*values_.sourceDateEpoch);
    modifier_->SetLayout(values_.layout);
    if (CopyBack() != 0) return Stop();
    if (AddDirect() != 0) return Stop();
    if (PackAndSwap() != 0) return 1;
  } catch (const std::exception& e) {
    // An interruption that removed the new image under the run says so
    // itself and ends the process; the failure it caused is no news.
    run_guard::AwaitInterruption();
    Warning("exception: %s", e.what());
    // Before the workspace was looked at, a workspace that existed must
    // not be removed.
    if (workspaceTouched_) CleanUp(existed_, local_);
    return 1;
  }

  modifier_.reset();
  bootReader_.reset();
  editor_.reset();
  CleanUp(existed_, local_);
  reader_.reset();
  return 0;
}

// Everything about the image files is settled before any work, and from
// here on an interruption removes the new image.
bool Run::PrepareImageFiles() {
  auto hold = run_guard::Hold();
  if (!files_.Prepare()) return false;
  if (files_.Held()) run_guard::WatchImageFiles(&files_);
  return true;
}

void Run::MakeWorkspace() {
  auto hold = run_guard::Hold();
  existed_ = fs::exists(local_);
  workspaceTouched_ = true;
  run_guard::WatchWorkspace(local_, existed_);
  PrepareWorkspace(local_, existed_);
  for (const char* sub : {"", "I386", "I386\\SYSTEM32", "I386\\SYSTEM32\\CONFIG",
                          "I386\\SYSTEM32\\DRIVERS", "I386\\INF", "FERROVANE"}) {
    fs::create_directory(winpe_files::WorkspacePath(root_, sub));
  }
}

// The WinPE files to edit, the boot image, and the edits.
int Run::RetrieveAndEdit() {
  BeginStep();
  for (const WinpeFile* file : winpe_files::kAll) {
    const std::string local = winpe_files::WorkspacePath(root_, file->imagePath);
    if (reader_->RetrieveFile(file->imagePath, local) != 0) {
      if (values_.image.empty()) {
        Warning("no image given; give it as -i IMAGE");
      } else {
        SayWhy(false);  // an image that did not load; a file it lacks needs no more
      }
      return Fail(file->retrieveFailure);
    }
  }
  BeginStep();
  bootReader_.reset(new ISOBootImageReader(values_.image));
  if (bootReader_->LoadBootImage() != 0) return StopStep();
  // The keep layout carries all of these over.
  if (values_.layout == ImageLayout::Compact) {
    if (reader_->LoadEverything() != 0) return StopStep();
    LogDroppedParts(reader_->Facts());
  }
  if (bootReader_->ExtractBootImage(BootImagePath()) != 0) return StopStep();
  BeginStep();
  if (editor_->ApplyChanges() != 0) return StopStep();
  return 0;
}

void Run::SayWhy(bool orStep) const {
  run_guard::AwaitInterruption();  // the interruption's own line is the reason
  if (WarningsWritten() != stepWarnings_) return;
  std::string why = FirstFailureLine();
  why.erase(0, why.find_first_not_of(' '));  // the writer's step lines are indented
  if (why.empty()) {
    if (!orStep) return;
    why = LatestLog();
    if (why.size() > 4 && why.compare(why.size() - 4, 4, " ...") == 0) why.resize(why.size() - 4);
    why += " failed";
  }
  Warning("%s", why.c_str());
}

int Run::PackAndSwap() {
  Log("pack image file back ...");
  BeginStep();
  FileImageSink sink(files_.NewImageFile());
  if (modifier_->Pack(sink, BootImagePath()) != 0) {
    SayWhy();
    CleanUp(existed_, local_);
    files_.Discard();
    return 1;
  }

  // The new image is on the disk before the old one is moved aside.
  Log("pack image file back succeeded");
  files_.ReadyNewImage();
  std::string unflushed;
  {
    auto hold = run_guard::Hold();
    unflushed = files_.Commit();
  }
  if (!unflushed.empty()) {
    Warning("%s - %s is customized, but a power loss before the system writes that directory "
            "back could undo it", unflushed.c_str(), files_.Target().c_str());
  }
  return 0;
}

// The WinPE files, what the run placed under PROGRAMS, and the drivers; the
// first copy that fails ends the step.
int Run::CopyBack() {
  using namespace winpe_files;
  for (const WinpeFile* file : {&kWinbom, &kWinpeOem, &kDefaultHive, &kBootFix}) {
    if (CopyBackFile(*file) != 0) return 1;
  }
  if (CopyBackPrograms() != 0) return 1;
  for (const WinpeFile* file : {&kStartNet, &kRedoDozad}) {
    if (CopyBackFile(*file) != 0) return 1;
  }
  return CopyBackDrivers();
}

int Run::CopyBackPrograms() {
  const fs::path programs = winpe_files::WorkspacePath(root_, "PROGRAMS");
  if (!fs::exists(programs)) return 0;
  // The image's PROGRAMS directory, whatever case it is recorded in.
  if (reader_->SameEntryType("\\PROGRAMS") != kTypeDirectory) {
    return Add(programs, "\\PROGRAMS", "copy back directory programs failed");
  }
  for (const fs::path& entry : SortedDirectoryEntries(programs)) {
    if (Add(entry, "\\PROGRAMS\\" + entry.filename().string(),
            "copy back directoy programs failed") != 0) {
      return 1;
    }
  }
  return 0;
}

// Storage drivers are directories under DRIVERS; network drivers are the
// files under DRIVERS, INF and SYSTEM32.
int Run::CopyBackDrivers() {
  const std::string drivers = "\\I386\\SYSTEM32\\DRIVERS";
  for (const fs::path& entry : SortedDirectoryEntries(winpe_files::WorkspacePath(root_, drivers))) {
    const char* failure = fs::is_directory(entry) ? "copy back storage driver failed"
                                                  : "copy back network driver failed";
    if (Add(entry, drivers + "\\" + entry.filename().string(), failure) != 0) return 1;
  }
  for (const std::string directory : {"\\I386\\INF", "\\I386\\SYSTEM32"}) {
    for (const fs::path& entry :
         SortedDirectoryEntries(winpe_files::WorkspacePath(root_, directory))) {
      if (fs::is_directory(entry)) continue;
      if (Add(entry, directory + "\\" + entry.filename().string(),
              "copy back network driver failed") != 0) {
        return 1;
      }
    }
  }
  return 0;
}

int Run::AddDirect() {
  for (const std::string& value : values_.directories) {
    const Placement p = ParsePlacement(value);
    if (AddDirectoryToImage(p.local, p.place, reader_.get(), modifier_.get(),
                            values_.onConflict) != 0) {
      Warning("copy back directory %s failed", p.local.c_str());
      return 1;
    }
  }
  for (const std::string& value : values_.files) {
    const Placement p = ParsePlacement(value);
    if (AddFileToImage(p.local, p.place, reader_.get(), modifier_.get(), values_.onConflict) !=
        0) {
      Warning("copy back file %s failed", p.local.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int CleanUp(bool existed, const std::string& workspace) {
  Log("clean up ...");
  try {
    auto hold = run_guard::Hold();
    run_guard::ForgetWorkspace();
    RemoveWorkspace(workspace, existed);
  } catch (...) {
    Warning("failed to clean up");
    return 1;
  }
  Log("clean up succeeded");
  return 0;
}

int RunCustomization(const OptionValues& values) {
  std::string workspace = values.tmp;
  if (workspace.empty() && !MakeWorkspaceName(workspace)) return 1;
  Run run(values, workspace);
  return run.Execute();
}
