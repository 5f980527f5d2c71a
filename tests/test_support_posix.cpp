// The Linux side of the test helpers.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/test_support.h"

namespace testing_support {

const bool kLinuxHost = true;
const char* const kNullDevice = "/dev/null";
const char* const kNoSymbolicLinks = "no symbolic links here";

bool MakeSymbolicLink(const std::string& target, const std::string& link, bool /*directory*/) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool MakeDirectoryLink(const std::string& target, const std::string& link) {
  return MakeSymbolicLink(target, link, true);
}

bool RemoveSymbolicLink(const std::string& link) { return ::unlink(link.c_str()) == 0; }

std::string FileIdentityOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

void SetEnvironment(const std::string& name, const char* value) {
  value ? ::setenv(name.c_str(), value, 1) : ::unsetenv(name.c_str());
}

int Run(const std::string& command) {
  int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::uint64_t AllocatedBytes(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_blocks) * 512u;
}

int OpenCaptureFile(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

}  // namespace testing_support

namespace testing_support {

bool InterruptThisProcess(InterruptionKind what, std::string& why) {
  const int number = what == InterruptionKind::Interrupt   ? SIGINT
                     : what == InterruptionKind::Terminate ? SIGTERM
                                                       : SIGHUP;
  // To the process, not the thread: the thread that waits for signals
  // takes it.
  if (::kill(::getpid(), number) == 0) return true;
  why = "kill failed";
  return false;
}

struct ChildProcess::Impl {
  pid_t pid = -1;
  FILE* output = nullptr;
  int status = -1;
};

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) : impl_(new Impl) {
  int pipeEnds[2];
  if (arguments.empty() || ::pipe(pipeEnds) != 0) throw std::runtime_error("cannot make a pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeEnds[1], 1);
    ::dup2(pipeEnds[1], 2);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  if (pid < 0) {
    ::close(pipeEnds[0]);
    throw std::runtime_error("cannot start " + arguments[0]);
  }
  impl_->pid = pid;
  impl_->output = ::fdopen(pipeEnds[0], "r");
}

ChildProcess::~ChildProcess() {
  if (impl_->status < 0 && impl_->pid > 0) {
    ::kill(impl_->pid, SIGKILL);
    Wait();
  }
  if (impl_->output) std::fclose(impl_->output);
  delete impl_;
}

std::string ChildProcess::ReadRest() {
  std::string rest;
  for (int c; (c = std::fgetc(impl_->output)) != EOF;) rest += static_cast<char>(c);
  return rest;
}

int ChildProcess::Wait() {
  if (impl_->status >= 0) return impl_->status;
  int status = 0;
  while (::waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  impl_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return impl_->status;
}

}  // namespace testing_support
