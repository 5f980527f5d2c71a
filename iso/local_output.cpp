#include "iso/local_output.h"

#include <cstring>
#include <stdexcept>
#include <system_error>

namespace {

// The file's own failures are reported as runtime errors, whatever the
// layer below throws.
template <typename Step>
void Reported(Step step) {
  try {
    step();
  } catch (const std::system_error& e) {
    throw std::runtime_error(e.what());
  }
}

}  // namespace

LocalOutputFile::LocalOutputFile(const std::string& path) {
  try {
    file_.Create(path, platform::NewFileAccess::Ordinary);
  } catch (const std::system_error& e) {
    throw std::runtime_error("cannot open " + path + " for writing: " +
                             std::strerror(e.code().value()));
  }
}

void LocalOutputFile::Write(const void* data, std::size_t length) {
  Reported([&] { file_.Write(data, length); });
}

void LocalOutputFile::Close() {
  Reported([&] { file_.Close(); });
}
