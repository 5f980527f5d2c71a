#include "tests/test_support.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace testing_support {

namespace {

// A name under the build tree's scratch folder that no other test uses.
std::string UniqueScratchName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  const fs::path base = fs::path(WPE_BINARY_DIR) / "test-scratch";
  fs::create_directories(base);
  return (base / (prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++))).string();
}

void FlushStandardStreams() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace

ScratchDir::ScratchDir() {
  path_ = UniqueScratchName("t");
  fs::remove_all(path_);
  fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  boost::system::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string Failure(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

bool Exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> ListNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

CaptureOutput::CaptureOutput() {
  const std::string stem = UniqueScratchName("capture-");
  outPath_ = stem + ".out";
  errPath_ = stem + ".err";
  FlushStandardStreams();
  savedOut_ = ::dup(1);
  savedErr_ = ::dup(2);
  int out = OpenCaptureFile(outPath_);
  int err = OpenCaptureFile(errPath_);
  ::dup2(out, 1);
  ::dup2(err, 2);
  ::close(out);
  ::close(err);
}

void CaptureOutput::Stop() {
  if (!active_) return;
  active_ = false;
  FlushStandardStreams();
  ::dup2(savedOut_, 1);
  ::dup2(savedErr_, 2);
  ::close(savedOut_);
  ::close(savedErr_);
  out_ = ReadFile(outPath_);
  err_ = ReadFile(errPath_);
  std::remove(outPath_.c_str());
  std::remove(errPath_.c_str());
}

CaptureOutput::~CaptureOutput() { Stop(); }

std::string CaptureOutput::Stdout() {
  Stop();
  return out_;
}

std::string CaptureOutput::Stderr() {
  Stop();
  return err_;
}

FeedStdin::FeedStdin(const std::string& text) : input_(text) {
  std::cin.clear();
  saved_ = std::cin.rdbuf(input_.rdbuf());
}

FeedStdin::~FeedStdin() {
  std::cin.rdbuf(saved_);
  std::cin.clear();
}

std::string FeedStdin::Unread() {
  return std::string(std::istreambuf_iterator<char>(input_.rdbuf()), {});
}

std::string RunOutput(const std::string& command) {
  std::string result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.append(buffer.data(), n);
  ::pclose(pipe);
  return result;
}

int MakeGenisoimage(const std::string& tree, const std::string& output,
                    const std::string& bootImageInTree, const std::string& extraArgs) {
  std::string command = "genisoimage -quiet -iso-level 4 -untranslated-filenames " + extraArgs;
  if (!bootImageInTree.empty()) {
    command += " -b '" + bootImageInTree + "' -no-emul-boot -boot-load-size 4";
  }
  command += " -o '" + output + "' '" + tree + "' 2>/dev/null";
  return Run(command);
}

}  // namespace testing_support
