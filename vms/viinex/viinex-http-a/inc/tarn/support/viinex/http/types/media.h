// The result of one recorded-video download.
#pragma once

#include <cstdint>
#include <string>

namespace Tarn { namespace Support { namespace Viinex {

struct video_info {
  std::string path_;    // the target file of the request
  std::string min_ts_;  // first timestamp text of the video track's "interval", unchanged
  std::string max_ts_;  // last timestamp text of the video track's "interval", unchanged
  uint32_t size_ = 0;   // the summary's "length": the VMS's figure, not a byte count of ours
  uint16_t width_ = 0;  // picture size of the accepted video track
  uint16_t height_ = 0;
};

}}}  // namespace Tarn::Support::Viinex
