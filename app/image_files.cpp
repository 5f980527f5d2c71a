#include "app/image_files.h"

#include <stdexcept>
#include <system_error>

#include <boost/filesystem.hpp>

#include "app/local_paths.h"
#include "common/console.h"
#include "platform/file_kind.h"

namespace fs = boost::filesystem;

namespace {

using platform::FileKind;

// Where a link leads: the file at the end of its chain of links, or the
// link's own text when nothing is there.
std::string LinkTarget(const std::string& link) {
  boost::system::error_code ec;
  const fs::path target = fs::canonical(link, ec);
  return ec ? fs::read_symlink(link).string() : target.string();
}

void RefuseImage(const std::string& image, FileKind kind) {
  Warning("invalid image file %s - it is %s; give the path of the image file itself",
          image.c_str(), platform::Describe(kind));
}

// IMAGE.tmp and IMAGE.bak: a regular file there is the tool's own, from an
// earlier run; anything else is not replaced or written through.
bool NameIsFree(const std::string& path, const char* role) {
  const FileKind kind = platform::KindOf(path);
  if (kind == FileKind::None || kind == FileKind::Regular) return true;
  Warning("cannot use %s as the %s - it is %s, and only a file the tool made is replaced "
          "there; move it away and run again",
          path.c_str(), role, platform::Describe(kind));
  return false;
}

void RefuseOutput(const std::string& output, const std::string& why) {
  Warning("invalid output file %s - %s", output.c_str(), why.c_str());
}

// The output file must not be, nor lie inside, anything the run reads or
// empties.
bool OutputOverlaps(const OptionValues& values) {
  const fs::path output = Normalised(values.output);
  for (const std::string& local : LocalPathsRead(values)) {
    boost::system::error_code ec;
    // The same file under another name (a hard link) counts too.
    if (fs::equivalent(values.output, local, ec) || IsWithin(output, Normalised(local))) {
      RefuseOutput(values.output, "it is the image or a source, or lies inside one (" + local +
                                      "); give another name");
      return true;
    }
  }
  if (!values.tmp.empty() && IsWithin(output, Normalised(values.tmp))) {
    RefuseOutput(values.output, "it lies inside the temporary directory " + values.tmp +
                                    ", which the run empties; give another name");
    return true;
  }
  return false;
}

}  // namespace

bool OutputIsUsable(const OptionValues& values) {
  const std::string& output = values.output;
  try {
    const FileKind kind = platform::KindOf(output);
    if (kind != FileKind::None && kind != FileKind::Regular) {
      RefuseOutput(output, std::string("it is ") + platform::Describe(kind) +
                               "; give the path of a regular file, or of one to be made");
      return false;
    }
    fs::path directory = fs::path(output).parent_path();
    if (directory.empty()) directory = ".";
    if (!platform::LeadsToDirectory(directory.string())) {
      RefuseOutput(output, "its directory " + directory.string() +
                               " does not exist; make it first");
      return false;
    }
    return !OutputOverlaps(values);
  } catch (const std::exception& e) {
    RefuseOutput(output, e.what());
    return false;
  }
}

ImageFiles::ImageFiles(const std::string& image, const std::string& output)
    : image_(image), output_(output), newImage_(image + ".tmp"), backup_(image + ".bak") {}

ImageFiles::~ImageFiles() { Discard(); }

bool ImageFiles::Prepare() {
  try {
    FileKind kind = platform::KindOf(image_);
    if (kind == FileKind::Link) {
      const std::string target = LinkTarget(image_);
      // In place the new image would replace the link, not the file it
      // leads to; with -o the image is only read, through the link.
      if (output_.empty()) {
        Warning("invalid image file %s - it is a symbolic link to %s; give that path to "
                "customize it in place, or write the new image elsewhere with -o FILE",
                image_.c_str(), target.c_str());
        return false;
      }
      image_ = target;
      kind = platform::KindOf(image_);
    }
    if (kind == FileKind::None) return true;
    if (kind != FileKind::Regular) {
      RefuseImage(image_, kind);
      return false;
    }
    return output_.empty() ? PrepareInPlace() : PrepareOutput();
  } catch (const std::exception& e) {
    Warning("%s", e.what());
    return false;
  }
}

ImageFiles::LockOutcome ImageFiles::LockImage(platform::FileLock::Mode mode) {
  const bool exclusive = mode == platform::FileLock::Mode::Exclusive;
  switch (lock_.Acquire(image_, mode)) {
    case platform::FileLock::Result::Locked:
      return LockOutcome::Held;
    case platform::FileLock::Result::Unlocked:
      Log("cannot lock %s (%s); going on without a lock, so let no other run work on it "
          "meanwhile", image_.c_str(), lock_.WhyUnlocked().c_str());
      return LockOutcome::Held;
    case platform::FileLock::Result::Missing:
      return LockOutcome::Gone;
    case platform::FileLock::Result::Busy:
      // A shared lock conflicts only with a run that customizes the image.
      Warning(exclusive ? "another run is customizing or reading %s; run again when it has ended"
                        : "another run is customizing %s; run again when it has ended",
              image_.c_str());
      return LockOutcome::Refused;
    case platform::FileLock::Result::NotRegular:
      RefuseImage(image_, platform::KindOf(image_));
      return LockOutcome::Refused;
  }
  return LockOutcome::Refused;
}

bool ImageFiles::PrepareInPlace() {
  if (!NameIsFree(newImage_, "new image") || !NameIsFree(backup_, "backup of the image")) {
    return false;
  }
  const LockOutcome locked = LockImage(platform::FileLock::Mode::Exclusive);
  if (locked != LockOutcome::Held) return locked == LockOutcome::Gone;
  if (platform::KindOf(newImage_) == FileKind::Regular) {
    Log("removing %s left by an interrupted run", newImage_.c_str());
    platform::RemoveFile(newImage_);
  }
  newFile_.Create(newImage_);
  present_ = true;
  return true;
}

bool ImageFiles::PrepareOutput() {
  // Shared: other runs that only read the image may hold it too; a run
  // that customizes it in place may not.
  const LockOutcome locked = LockImage(platform::FileLock::Mode::Shared);
  if (locked != LockOutcome::Held) return locked == LockOutcome::Gone;
  if (!LockOutput()) return false;
  CreateBesideOutput();
  present_ = true;
  return true;
}

bool ImageFiles::LockOutput() {
  if (platform::KindOf(output_) == FileKind::None) {
    // Whoever makes it first holds it; a run that finds it made meanwhile
    // locks what is there.
    const platform::NativeFile made =
        platform::CreateNewFile(output_, platform::NewFileAccess::Ordinary);
    madeOutput_ = made != platform::kNoFile;
    if (madeOutput_) platform::CloseNativeFile(made);
  }
  switch (outputLock_.Acquire(output_, platform::FileLock::Mode::Exclusive)) {
    case platform::FileLock::Result::Locked:
      return true;
    case platform::FileLock::Result::Unlocked:
      Log("cannot lock %s (%s); going on without a lock, so let no other run write it "
          "meanwhile", output_.c_str(), outputLock_.WhyUnlocked().c_str());
      return true;
    case platform::FileLock::Result::Busy:
      Warning("another run is customizing or reading %s; run again when it has ended",
              output_.c_str());
      return false;
    case platform::FileLock::Result::Missing:
      RefuseOutput(output_, "it was removed while the run began; run again");
      return false;
    case platform::FileLock::Result::NotRegular:
      RefuseOutput(output_, std::string("it is ") + platform::Describe(platform::KindOf(output_)) +
                                "; give the path of a regular file, or of one to be made");
      return false;
  }
  return false;
}

void ImageFiles::CreateBesideOutput() {
  for (int attempt = 0;; ++attempt) {
    const std::string name = platform::RandomSibling(output_) + ".tmp";
    try {
      newFile_.Create(name);
      newImage_ = name;
      return;
    } catch (const std::system_error& e) {
      if (e.code() != std::errc::file_exists || attempt == 99) throw;
    }
  }
}

void ImageFiles::ReadyNewImage() {
  if (!present_ || !lock_.Names(image_)) {
    throw std::runtime_error(image_ + " was replaced or removed during the run; " +
                             (output_.empty() ? "the new image was not put in its place"
                                              : output_ + " was not written"));
  }
  if (!newFile_.StillNamed()) {
    throw std::runtime_error(newImage_ + " was replaced or removed during the run; " + Target() +
                             " is unchanged");
  }
  platform::FileAttributes attributes = lock_.Attributes();
  if (!output_.empty()) {
    // A file of the user's own beside the image's copy: the image's owner
    // does not own it.
    attributes.owner = attributes.group = -1;
  }
  newFile_.TakeAttributes(attributes);
  newFile_.Flush();
}

std::string ImageFiles::Commit() {
  if (!lock_.Names(image_) || !newFile_.StillNamed()) {
    throw std::runtime_error(image_ + " or " + newImage_ + " was replaced during the run; " +
                             Target() + " is unchanged");
  }
  if (!output_.empty()) {
    // A copy that did not take the output's name is of no use: the image
    // it was made from is still there to run again.
    try {
      return newFile_.CommitOver(output_, "", &outputLock_);
    } catch (const std::system_error& e) {
      throw std::runtime_error("cannot write " + output_ + ": " + e.code().message() +
                               "; it is unchanged and the new image was removed");
    }
  }
  // From here on the new image is complete and on the disk: a failed
  // rename leaves it for the user. Where the system cannot replace an open
  // file, the lock on the image is let go just before the last rename.
  keepNewImage_ = true;
  return newFile_.CommitOver(image_, backup_, &lock_);
}

void ImageFiles::Discard() noexcept {
  if (!keepNewImage_) newFile_.Discard();
  if (!madeOutput_ || newFile_.Committed() || !outputLock_.Names(output_)) return;
  try {
    platform::RemoveFile(output_);
  } catch (const std::exception&) {
    // Nobody is left to tell: an empty file stays.
  }
}
