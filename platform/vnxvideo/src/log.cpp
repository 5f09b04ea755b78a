// The library's own log lines: stored sink, level check before formatting.
#include "vnxvideo_internal.h"

#include <cstdarg>
#include <cstdio>

namespace vnxvideo_impl {
namespace {

struct log_config {
  vnxvideo_log_t fn_ = nullptr;
  void* usrptr_ = nullptr;
  ELogLevel max_level_ = VNXLOG_NONE;
};

std::mutex _s_logMutex;
log_config _s_log;

}  // namespace

void Log(ELogLevel aLevel, const char* aSubsystem, const char* aFmt, ...) {
  log_config config;
  {
    std::lock_guard<std::mutex> lock(_s_logMutex);
    config = _s_log;
  }
  if (config.fn_ == nullptr || aLevel > config.max_level_ || aLevel == VNXLOG_NONE) return;
  char message[1024];
  va_list args;
  va_start(args, aFmt);
  std::vsnprintf(message, sizeof message, aFmt, args);
  va_end(args);
  config.fn_(config.usrptr_, aLevel, aSubsystem, message);
}

}  // namespace vnxvideo_impl

using namespace vnxvideo_impl;

extern "C" int vnxvideo_init(vnxvideo_log_t aLog, void* aUsrPtr, ELogLevel aMaxLevel) {
  {
    std::lock_guard<std::mutex> lock(_s_logMutex);
    _s_log.fn_ = aLog;
    _s_log.usrptr_ = aUsrPtr;
    _s_log.max_level_ = aMaxLevel;
  }
  Log(VNXLOG_INFO, "vnxvideo", "initialised (log level %d)", static_cast<int>(aMaxLevel));
  return vnxvideo_err_ok;
}
