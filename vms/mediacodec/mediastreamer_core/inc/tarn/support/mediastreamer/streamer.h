// A unit of a media-streamer plug-in, as the host drives it.
//
// Slot order (part of the binary contract with the host): handleStreamStart,
// handleStreamFrame, handleStreamEnd, start, stop, destroy, collectStats.
// There is no virtual destructor: a unit is ended with destroy() only, after
// which the pointer is dead. Calls on one unit must not overlap.
#pragma once

#include <tarn/support/mediastreamer/stream.h>
#include <tarn/support/stats/handler.h>

namespace Tarn { namespace Support {

class streamer_unit_like : public stream_handler_like {
 public:
  virtual void start() = 0;
  virtual void stop() = 0;
  // Ends the unit and releases its memory.
  virtual void destroy() = 0;
  // Calls aHandler (not null) exactly once, before returning, with
  // aHandlerArg and the statistics text; the text lives only during the call.
  virtual void collectStats(stats_handler_fn aHandler, void* aHandlerArg) = 0;

 protected:
  ~streamer_unit_like() = default;
};

}}  // namespace Tarn::Support
