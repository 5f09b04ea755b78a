// The plug-in's entry points: kept tiny, the unit does the work.
#include <tarn/support/mediastreamer/vnx_bundle.h>

#include <vnxvideo/vnxvideo.h>

#include <tarn/support/log.h>
#include <tarn/support/mediastreamer/vnx.h>

#define TARN_BUNDLE_EXPORT __attribute__((visibility("default")))

extern "C" {

TARN_BUNDLE_EXPORT bool MediaStreamerInitBundle() {
  // Every line of the library lands in the product log at level 4, whatever
  // its own level.
  static const vnxvideo_log_t _s_bridge = [](void* /*usrptr*/, ELogLevel /*level*/, const char* aSubsystem,
                                             const char* aMessage) {
    LOG(4, "%s: %s", aSubsystem ? aSubsystem : "", aMessage ? aMessage : "");
  };
  const int answer = vnxvideo_init(_s_bridge, nullptr, VNXLOG_HIGHEST);
  if (answer != vnxvideo_err_ok) {
    LOG(1, "fail: vnxvideo_init (answer:%d)", answer);
    return false;
  }
  LOG(4, "done");
  return true;
}

TARN_BUNDLE_EXPORT void MediaStreamerFiniBundle() { LOG(4, "done"); }

TARN_BUNDLE_EXPORT Tarn::Support::streamer_unit_like* MediaStreamerCreateUnit(const char* aConf) {
  return Tarn::Support::Streamer__CreateVnx(aConf);
}

}  // extern "C"
