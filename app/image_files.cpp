#include "app/image_files.h"

#include <stdexcept>

#include "common/console.h"
#include "platform/file_kind.h"

namespace {

using platform::FileKind;

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

}  // namespace

ImageFiles::ImageFiles(const std::string& image)
    : image_(image), newImage_(image + ".tmp"), backup_(image + ".bak") {}

ImageFiles::~ImageFiles() { Discard(); }

bool ImageFiles::Prepare() {
  try {
    const FileKind kind = platform::KindOf(image_);
    if (kind == FileKind::None) return true;
    if (kind != FileKind::Regular) {
      RefuseImage(image_, kind);
      return false;
    }
    if (!NameIsFree(newImage_, "new image") || !NameIsFree(backup_, "backup of the image")) {
      return false;
    }
    switch (lock_.Acquire(image_, platform::FileLock::Mode::Exclusive)) {
      case platform::FileLock::Result::Locked:
        break;
      case platform::FileLock::Result::Missing:
        return true;
      case platform::FileLock::Result::Busy:
        Warning("another run is customizing %s; run again when it has ended", image_.c_str());
        return false;
      case platform::FileLock::Result::NotRegular:
        RefuseImage(image_, platform::KindOf(image_));
        return false;
    }
    if (platform::KindOf(newImage_) == FileKind::Regular) {
      Log("removing %s left by an interrupted run", newImage_.c_str());
      platform::RemoveFile(newImage_);
    }
    newFile_.Create(newImage_);
    present_ = true;
    return true;
  } catch (const std::exception& e) {
    Warning("%s", e.what());
    return false;
  }
}

void ImageFiles::ReadyNewImage() {
  if (!present_ || !lock_.Names(image_)) {
    throw std::runtime_error(image_ + " was replaced or removed during the run; the new image "
                             "was not put in its place");
  }
  if (!newFile_.StillNamed()) {
    throw std::runtime_error(newImage_ + " was replaced or removed during the run; " + image_ +
                             " is unchanged");
  }
  newFile_.TakeAttributes(lock_.Attributes());
  newFile_.Flush();
}

std::string ImageFiles::Commit() {
  if (!lock_.Names(image_) || !newFile_.StillNamed()) {
    throw std::runtime_error(image_ + " or " + newImage_ + " was replaced during the run; " +
                             image_ + " is unchanged");
  }
  // From here on the new image is complete and on the disk: a failed
  // rename leaves it for the user.
  keepNewImage_ = true;
  return newFile_.CommitOver(image_, backup_);
}

void ImageFiles::Discard() noexcept {
  if (!keepNewImage_) newFile_.Discard();
}
