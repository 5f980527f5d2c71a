// Console line writers of the run and the editor.
//
// Log writes "Log: " + text to standard output, Warning writes
// "Warning: " + text to standard error; both end the line and flush, so
// that the two streams interleave in the order the lines were made.
#pragma once

#if defined(__GNUC__)
#define WPE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define WPE_PRINTF(fmt, args)
#endif

void Log(const char* format, ...) WPE_PRINTF(1, 2);
void Warning(const char* format, ...) WPE_PRINTF(1, 2);
