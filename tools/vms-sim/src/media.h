// The recordings the simulated VMS serves: H.264 MP4 files made with
// GStreamer, and what the summary needs to know about them.
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

// Recordings of 1 to kMaxSeconds whole seconds, one file each in a directory
// ("recording-<N>s.mp4"): an export gets the one that covers its interval.
constexpr unsigned kMaxSeconds = 10;

struct media_set {
  media_info bySeconds_[kMaxSeconds + 1];  // [0] unused

  // The recording for an interval of aMs milliseconds: the shortest one not
  // shorter than it, the longest for anything longer.
  const media_info& forInterval(uint64_t aMs) const;
  const media_info& longest() const { return bySeconds_[kMaxSeconds]; }
};

// The file of the recording of aSeconds in aDir.
std::string Media__Path(const std::string& aDir, unsigned aSeconds);

// Encodes a recording of aSeconds into aPath with gst-launch-1.0 (written next
// to it first, then renamed, so a half-made file never takes the name).
// Returns false with a reason in aError.
bool Media__Make(const std::string& aPath, unsigned aSeconds, std::string& aError);

// Makes every recording of aDir afresh.
bool Media__MakeAll(const std::string& aDir, std::string& aError);

// Loads and inspects every recording of aDir, making the missing ones first.
bool Media__Load(media_set& aSet, const std::string& aDir, std::string& aError);

}  // namespace Tarn::Tools::VmsSim
