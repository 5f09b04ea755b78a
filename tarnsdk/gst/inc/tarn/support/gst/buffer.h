// Scoped mapping of a whole GStreamer buffer.
//
// The constructor maps every memory block of the buffer as one range; the
// destructor unmaps it. The buffer is not owned and must outlive the mapper.
// A failed mapping is logged once and thrown as internal_error; nothing is
// mapped then. Not copyable; use on one thread.
#pragma once

#include <cstddef>

#include <gst/gst.h>

namespace Tarn { namespace Support {

class gst_buffer_mapper {
 public:
  gst_buffer_mapper(GstBuffer* aBuffer, GstMapFlags aFlags);
  ~gst_buffer_mapper();

  gst_buffer_mapper(const gst_buffer_mapper&) = delete;
  gst_buffer_mapper& operator=(const gst_buffer_mapper&) = delete;

  // The first mapped byte, as the element type the caller reads.
  template <typename TData>
  TData* getData() const {
    return reinterpret_cast<TData*>(map_info_.data);
  }

  // Number of mapped bytes.
  size_t getSize() const { return map_info_.size; }

 private:
  GstBuffer* buffer_;
  GstMapInfo map_info_;
};

}}  // namespace Tarn::Support
