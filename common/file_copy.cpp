#include "common/file_copy.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include <boost/filesystem.hpp>

#include "platform/new_file.h"

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& from, const std::string& to, int error) {
  throw fs::filesystem_error("copy_file", from, to,
                             boost::system::error_code(error, boost::system::generic_category()));
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

void CopyFileNoOverwrite(const std::string& from, const std::string& to) {
  File source(std::fopen(from.c_str(), "rb"));
  if (!source) Fail(from, to, errno);
  // Exclusive creation, so an existing target is never touched.
  platform::NewFile target;
  if (!target.Create(to)) Fail(from, to, errno);

  std::vector<char> buffer(1 << 16);
  int error = 0;
  for (;;) {
    size_t n = std::fread(buffer.data(), 1, buffer.size(), source.get());
    if (n > 0 && !target.Write(buffer.data(), n)) {
      error = errno ? errno : EIO;
      break;
    }
    if (n < buffer.size()) {
      if (std::ferror(source.get())) error = errno ? errno : EIO;
      break;
    }
  }
  if (!target.Close() && error == 0) error = errno ? errno : EIO;
  if (error != 0) {
    std::remove(to.c_str());
    Fail(from, to, error);
  }
}
