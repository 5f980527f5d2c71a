// The files of a run beside the image: the image itself, held for the
// whole run so that no second run works on it; the new image, written to
// IMAGE.tmp, a file this run creates; and the old image, kept as IMAGE.bak.
//
// With an output file (-o) the image is only read: it is held shared, so
// that other runs may read it too but none customizes it meanwhile. The
// output file is held like an image that is customized, so that no second
// run writes it; the new image is written under a fresh name beside it and
// then takes its name; there is no IMAGE.tmp and no IMAGE.bak.
#pragma once

#include <string>

#include "app/command_line.h"
#include "platform/file_lock.h"
#include "platform/new_file.h"

// Before any work: the output file must be a regular file or nothing, in
// an existing directory, and neither the image, a source nor inside one or
// inside the -t workspace. False after a warning line naming it and why.
bool OutputIsUsable(const OptionValues& values);

class ImageFiles {
 public:
  // `output` "" replaces the image.
  ImageFiles(const std::string& image, const std::string& output);
  // Removes the new image unless it replaced the image or a failed rename
  // left it complete.
  ~ImageFiles();

  // Before any work: the image must be a regular file, and IMAGE.tmp and
  // IMAGE.bak regular files or nothing; the image is locked, an IMAGE.tmp
  // left by an interrupted run is removed and the new image's file made.
  // False after a warning line saying what is wrong. An image that does not
  // exist is left for the reader to report.
  bool Prepare();

  // True once Prepare has locked the image and made the new image's file.
  bool Held() const { return present_; }
  const std::string& Image() const { return image_; }
  // The file that gets the new image: the output file, or the image.
  const std::string& Target() const { return output_.empty() ? image_ : output_; }
  const std::string& NewImage() const { return newImage_; }
  // The new image's file, made by Prepare, for the pack to write.
  platform::NewFile& NewImageFile() { return newFile_; }

  // After a successful pack: checks that nobody replaced the image or the
  // new image meanwhile, gives the new image the image's permissions and
  // access control list (and when it replaces the image, its owner and
  // group too), and flushes it. Throws an
  // exception naming the file and the reason; Discard then removes the new
  // image.
  void ReadyNewImage();
  // The swap: the old image becomes IMAGE.bak and the new image takes the
  // image's name (or the output file's, without a backup). Throws when a
  // rename fails; the complete new image then stays where it was written,
  // except with an output file, where Discard removes it (the image is
  // still there to run again). Returns "" or, when the directory could not
  // be flushed afterwards, why.
  std::string Commit();
  bool Committed() const { return newFile_.Committed(); }

  // Removes the new image file if this run made it and it is still there
  // uncommitted, and an output file that this run made empty to hold it.
  // Never throws.
  void Discard() noexcept;

 private:
  enum class LockOutcome { Held, Gone, Refused };
  // Locks the image. Gone: nothing is there (the reader reports it);
  // Refused after a warning line.
  LockOutcome LockImage(platform::FileLock::Mode mode);
  bool PrepareInPlace();
  bool PrepareOutput();
  // Holds the output file, made empty when nothing is there yet. False
  // after a warning line.
  bool LockOutput();
  // Creates the new image's file beside the output file under a name
  // nobody has taken.
  void CreateBesideOutput();

  std::string image_;
  std::string output_;
  std::string newImage_;
  std::string backup_;
  bool present_ = false;  // the image existed and is held
  bool keepNewImage_ = false;
  bool madeOutput_ = false;  // the held output file is this run's empty one
  platform::FileLock lock_;
  platform::FileLock outputLock_;
  platform::NewFile newFile_;
};
