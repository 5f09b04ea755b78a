#include <tarn/support/gst/buffer.h>

#include <tarn/support/log.h>
#include <tarn/types/exceptions.h>

namespace Tarn { namespace Support {

gst_buffer_mapper::gst_buffer_mapper(GstBuffer* aBuffer, GstMapFlags aFlags) : buffer_(aBuffer), map_info_() {
  // Memory block 0, length -1: all memory of the buffer as one mapping.
  if (!aBuffer || !gst_buffer_map_range(aBuffer, 0, -1, &map_info_, aFlags)) {
    LOG(1, "fail: gst_buffer_map_range");
    throw internal_error();
  }
}

gst_buffer_mapper::~gst_buffer_mapper() { gst_buffer_unmap(buffer_, &map_info_); }

}}  // namespace Tarn::Support
