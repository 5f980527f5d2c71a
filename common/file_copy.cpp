#include "common/file_copy.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>
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
  try {
    target.Create(to, platform::NewFileAccess::Ordinary);
  } catch (const std::system_error& e) {
    Fail(from, to, e.code().value());
  }
  std::vector<char> buffer(1 << 16);
  try {
    for (;;) {
      const size_t n = std::fread(buffer.data(), 1, buffer.size(), source.get());
      target.Write(buffer.data(), n);
      if (n < buffer.size()) {
        if (std::ferror(source.get())) Fail(from, to, errno ? errno : EIO);
        break;
      }
    }
    target.Close();
  } catch (const std::system_error& e) {
    target.Discard();
    Fail(from, to, e.code().value());
  } catch (...) {
    target.Discard();
    throw;
  }
}
