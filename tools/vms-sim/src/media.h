// The recording the simulated VMS serves: an H.264 MP4 file made with
// GStreamer, and what the summary needs to know about it.
#pragma once

#include <cstdint>
#include <string>

namespace Tarn::Tools::VmsSim {

struct media_info {
  std::string bytes_;          // the whole file; a few MiB at most
  unsigned width_ = 0;         // of the video track
  unsigned height_ = 0;
  uint64_t duration_ms_ = 0;   // of the movie
};

// Reads width, height and duration from an MP4 held in aBytes. Returns false,
// with a reason in aError, when the file has no video track or a box runs
// past its parent.
bool Media__Inspect(media_info& aInfo, std::string& aError);

// Encodes a fresh recording into aPath with gst-launch-1.0 (written next to it
// first, then renamed, so a half-made file never takes the name). Returns
// false with a reason in aError.
bool Media__Make(const std::string& aPath, std::string& aError);

// Loads aPath and inspects it; makes it first when it does not exist.
bool Media__Load(media_info& aInfo, const std::string& aPath, std::string& aError);

}  // namespace Tarn::Tools::VmsSim
