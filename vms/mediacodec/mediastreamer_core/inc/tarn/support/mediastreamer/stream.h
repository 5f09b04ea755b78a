// What passes between a media-streamer host and a unit with every frame: the
// stream handler interface (the frame description, frame_info2, comes with
// the frame type catalogue).
//
// The slot order of stream_handler_like is part of the binary contract with
// the host: never reorder, insert or remove operations. There is no virtual
// destructor on purpose (the host never deletes through this interface).
#pragma once

#include <tarn/support/frame.h>

// GStreamer's buffer type, declared here so that hosts and units need not pull
// the GStreamer headers in through this one.
typedef struct _GstBuffer GstBuffer;

namespace Tarn { namespace Support {

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
