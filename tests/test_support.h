// Small helpers shared by the unit tests: scratch directories, whole-file
// reads and writes, capturing the console, feeding standard input, and
// building images with genisoimage.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// A fresh empty directory under the build tree, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
void MakeDirs(const std::string& path);
bool Exists(const std::string& path);

// Captures what is written to stdout (std::cout and printf alike) and
// stderr while alive.
class CaptureOutput {
 public:
  CaptureOutput();
  ~CaptureOutput();
  // Stops capturing (if still on) and returns what was captured.
  std::string Stdout();
  std::string Stderr();

 private:
  void Stop();
  bool active_ = true;
  int savedOut_ = -1, savedErr_ = -1;
  std::string outPath_, errPath_, out_, err_;
};

// Replaces std::cin with the given text while alive.
class FeedStdin {
 public:
  explicit FeedStdin(const std::string& text);
  ~FeedStdin();
  // What has not been read yet.
  std::string Unread();

 private:
  std::istringstream input_;
  std::streambuf* saved_;
};

// The text of the exception `step` throws; "" when it throws none.
std::string Failure(const std::function<void()>& step);

// Runs a shell command; returns its exit status (0 on success).
int Run(const std::string& command);
// Runs a shell command and returns its standard output.
std::string RunOutput(const std::string& command);

// Packs `tree` with genisoimage (no Rock Ridge/Joliet, plain ISO 9660 names
// as given with -iso-level 4 -untranslated-filenames); with a boot image
// path relative to the tree, makes it an El Torito no-emulation image.
// Returns 0 on success.
int MakeGenisoimage(const std::string& tree, const std::string& output,
                    const std::string& bootImageInTree = "", const std::string& extraArgs = "");

}  // namespace testing_support
