// The fuzz targets' LogWrite. Every line is formatted in full, so a format
// that does not match its arguments still shows under the sanitizers, and
// then dropped: millions of inputs would otherwise fill memory or the terminal.
// TARN_FUZZ_LOG=1 prints the lines on stderr, for reading one input's run.
#include <tarn/support/log.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool _T_echo() {
  static const bool echo = [] {
    const char* value = std::getenv("TARN_FUZZ_LOG");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return echo;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void LogWrite(const char* file, unsigned long long line,
                                                                const char* func, int level, const char* fmt,
                                                                ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  if (_T_echo()) std::fprintf(stderr, "%d|%s|%s:%llu|%s\n", level, func, file, line, text);
}
