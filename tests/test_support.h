// Helpers shared by the unit tests; the system-specific ones in test_support_*.cpp.
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
// The names in `directory`, in byte order.
std::vector<std::string> ListNames(const std::string& directory);

// Captures stdout and stderr while alive, as written (no Windows line ends).
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

// True on Linux, where the interop tools and devices such as /dev/full exist.
extern const bool kLinuxHost;
// The system's null device ("/dev/null", "NUL").
extern const char* const kNullDevice;

// Skips the current test outside Linux, saying why.
#define WPE_LINUX_ONLY(reason) \
  if (!testing_support::kLinuxHost) GTEST_SKIP() << "runs only on Linux: " << (reason)

// A symbolic link `link` to `target`; false where none can be made (kNoSymbolicLinks).
bool MakeSymbolicLink(const std::string& target, const std::string& link, bool directory = false);
extern const char* const kNoSymbolicLinks;
// A link to the directory `target`; under Wine one made on the Unix side.
bool MakeDirectoryLink(const std::string& target, const std::string& link);
// Removes the link itself (Boost cannot always remove one to a directory).
bool RemoveSymbolicLink(const std::string& link);
// Which file `path` names itself (device and inode, volume and index); "" if none.
std::string FileIdentityOf(const std::string& path);

// The bytes the file takes on the disk (less than its size when sparse).
std::uint64_t AllocatedBytes(const std::string& path);

// Sets an environment variable, or removes it when `value` is null.
void SetEnvironment(const std::string& name, const char* value);

// Runs a shell command; returns its exit status (0 on success).
int Run(const std::string& command);
// Runs a shell command and returns its standard output.
std::string RunOutput(const std::string& command);

// Interruptions a test can cause (on Windows, Ctrl-C and Ctrl-Break only).
enum class InterruptionKind { Interrupt, Terminate, HangUp };

// Causes `what` in this process as the system would; false, with `why`, where it cannot.
bool InterruptThisProcess(InterruptionKind what, std::string& why);

// A helper program, its output and errors through one pipe (own console on Windows).
class ChildProcess {
 public:
  // Starts arguments[0] with the rest as its arguments; throws when it cannot.
  explicit ChildProcess(const std::vector<std::string>& arguments);
  // Ends the child if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Everything it writes until it ends (Windows line ends as "\n").
  std::string ReadRest();
  // Its exit code (128 + the signal's number when a signal ended it).
  int Wait();

 private:
  struct Impl;
  Impl* impl_;
};

// Opens (creates or empties) a capture file; its descriptor, -1 on failure.
int OpenCaptureFile(const std::string& path);

// Packs `tree` with genisoimage -iso-level 4, bootable when a boot image is named; 0: done.
int MakeGenisoimage(const std::string& tree, const std::string& output,
                    const std::string& bootImageInTree = "", const std::string& extraArgs = "");

}  // namespace testing_support
