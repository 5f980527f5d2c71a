// Console line writers of the run and the editor.
//
// Log writes "Log: " + text to standard output, Warning writes
// "Warning: " + text to standard error; both end the line and flush, so
// that the two streams interleave in the order the lines were made.
#pragma once

#include <string>

#include <cstdio>  // defines __MINGW_PRINTF_FORMAT where there is one

// mingw-w64's C++ runtime formats with its own C99 printf (%zu, %lld),
// which its headers name __MINGW_PRINTF_FORMAT; plain "printf" would check
// against the older system runtime's.
#if defined(__MINGW_PRINTF_FORMAT)
#define WPE_PRINTF(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define WPE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define WPE_PRINTF(fmt, args)
#endif

void Log(const char* format, ...) WPE_PRINTF(1, 2);
void Warning(const char* format, ...) WPE_PRINTF(1, 2);

// The failure lines of the image classes, printed bare on standard output.
// The first one since ForgetFailureLines is kept, so that a run that stops
// on it can repeat the reason on standard error, where scripts look.
void FailureLine(const std::string& text);
void ForgetFailureLines();
const std::string& FirstFailureLine();
// How many Warning lines the process has written, and the text of its
// latest Log line: a step that fails without a word is named by the line
// that began it.
unsigned WarningsWritten();
const std::string& LatestLog();
