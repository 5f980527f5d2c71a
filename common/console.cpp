#include "common/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// Formats into a growing buffer: texts such as paths have no fixed bound.
std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

void WriteLine(std::FILE* stream, const char* prefix, const std::string& text) {
  std::fputs(prefix, stream);
  std::fputs(text.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  // The image classes print through std::cout; keep both in order.
  std::fflush(stdout);
  WriteLine(stdout, "Log: ", text);
}

void Warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  std::fflush(stdout);
  WriteLine(stderr, "Warning: ", text);
}
