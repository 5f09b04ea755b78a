// What passes between a media-streamer host and a unit with every frame: the
// frame description and the stream handler interface.
//
// The slot order of stream_handler_like is part of the binary contract with
// the host: never reorder, insert or remove operations. There is no virtual
// destructor on purpose (the host never deletes through this interface).
#pragma once

#include <cstdint>

#include <tarn/support/frame.h>

// GStreamer's buffer type, declared here so that hosts and units need not pull
// the GStreamer headers in through this one.
typedef struct _GstBuffer GstBuffer;

namespace Tarn { namespace Support {

// The host's description of one video frame.
struct frame_info2 {
  uint64_t exposure_start_ts_;  // host time unit; the VMS timestamp is this / 1000
  uint16_t width_;              // pixels
  uint16_t height_;             // pixels
  frame_type type_;             // pixel layout of the buffer
};

// Equal when the stream format is the same: type, width and height (compared
// in that order). The timestamp takes no part.
inline bool operator==(const frame_info2& aLeft, const frame_info2& aRight) {
  return aLeft.type_ == aRight.type_ && aLeft.width_ == aRight.width_ &&
         aLeft.height_ == aRight.height_;
}

inline bool operator!=(const frame_info2& aLeft, const frame_info2& aRight) {
  return !(aLeft == aRight);
}

// Receives the frames of a host pipeline. Calls on one handler must not
// overlap; they may come from any host thread.
class stream_handler_like {
 public:
  virtual void handleStreamStart() = 0;
  // aFrame must not be null and must hold the complete frame that aFrameInfo
  // describes; it is needed only for the duration of the call. Throws
  // internal_error when the buffer cannot be mapped or the frame cannot be
  // copied; the handler is then unchanged and takes the next frame normally.
  virtual void handleStreamFrame(const frame_info2& aFrameInfo, GstBuffer* aFrame) = 0;
  virtual void handleStreamEnd() = 0;

 protected:
  ~stream_handler_like() = default;
};

}}  // namespace Tarn::Support
