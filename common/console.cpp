#include "common/console.h"

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::string firstFailure;
std::string latestLog;
unsigned warnings = 0;

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

// The image classes print through std::cout; stdout is flushed first so
// that both streams keep the order the lines were made in.
std::string WriteLine(std::FILE* stream, const char* prefix, const char* format, va_list args) {
  std::string text = FormatV(format, args);
  std::fflush(stdout);
  std::fputs(prefix, stream);
  std::fputs(text.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
  return text;
}

}  // namespace

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  latestLog = WriteLine(stdout, "Log: ", format, args);
  va_end(args);
}

void Warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(stderr, "Warning: ", format, args);
  va_end(args);
  ++warnings;
}

void FailureLine(const std::string& text) {
  std::cout << text << std::endl;
  if (firstFailure.empty()) firstFailure = text;
}

void ForgetFailureLines() { firstFailure.clear(); }

const std::string& FirstFailureLine() { return firstFailure; }

unsigned WarningsWritten() { return warnings; }

const std::string& LatestLog() { return latestLog; }
