#include <tarn/support/gst/buffer.h>

#include <gtest/gtest.h>

#include <tarn/testing/log_capture.h>
#include <tarn/types/exceptions.h>

namespace Tarn { namespace Support { namespace {

using Testing::LogCapture__Clear;
using Testing::LogCapture__Dump;
using Testing::LogCapture__Has;

class GstBufferMapperTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
  void SetUp() override { LogCapture__Clear(); }
};

// Whether the buffer's first memory block can be mapped for writing now: a
// block refuses that while a read mapping of it is held, so this tells
// whether a mapping is left.
bool _T_CanMapForWrite(GstBuffer* aBuffer) {
  GstMemory* memory = gst_buffer_peek_memory(aBuffer, 0);
  GstMapInfo info;
  if (!gst_memory_map(memory, &info, GST_MAP_WRITE)) return false;
  gst_memory_unmap(memory, &info);
  return true;
}

TEST_F(GstBufferMapperTest, MapsAllMemoryAsOneRangeAndUnmapsOnScopeExit) {
  // Two memory blocks: the mapping joins them into one range.
  GstBuffer* buffer = gst_buffer_new();
  const guint8 first[3] = {1, 2, 3};
  const guint8 second[2] = {4, 5};
  gst_buffer_append_memory(buffer, gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<guint8*>(first),
                                                          sizeof(first), 0, sizeof(first), nullptr, nullptr));
  gst_buffer_append_memory(buffer, gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<guint8*>(second),
                                                          sizeof(second), 0, sizeof(second), nullptr, nullptr));
  {
    gst_buffer_mapper mapper(buffer, GST_MAP_READ);
    ASSERT_EQ(5u, mapper.getSize());
    const uint8_t* data = mapper.getData<const uint8_t>();
    EXPECT_EQ(std::vector<uint8_t>({1, 2, 3, 4, 5}), std::vector<uint8_t>(data, data + 5));
  }
  gst_buffer_unref(buffer);

  // A single block is mapped in place, without a copy.
  guint8 bytes[4] = {9, 8, 7, 6};
  buffer = gst_buffer_new_wrapped_full(GstMemoryFlags(0), bytes, sizeof(bytes), 0, sizeof(bytes), nullptr, nullptr);
  {
    gst_buffer_mapper mapper(buffer, GST_MAP_READ);
    EXPECT_EQ(bytes, mapper.getData<uint8_t>());
    EXPECT_FALSE(_T_CanMapForWrite(buffer)) << "mapped for reading while the mapper lives";
  }
  EXPECT_TRUE(_T_CanMapForWrite(buffer)) << "unmapped when the mapper goes";
  gst_buffer_unref(buffer);
  EXPECT_TRUE(LogCapture__Dump().empty()) << LogCapture__Dump();
}

TEST_F(GstBufferMapperTest, RefusedMappingThrowsAfterOneLine) {
  guint8 bytes[4] = {0, 0, 0, 0};
  GstBuffer* buffer =
      gst_buffer_new_wrapped_full(GstMemoryFlags(0), bytes, sizeof(bytes), 0, sizeof(bytes), nullptr, nullptr);
  // A buffer with two owners is not writable: GStreamer refuses to map it for
  // writing (and says so on stderr).
  gst_buffer_ref(buffer);
  EXPECT_THROW(gst_buffer_mapper(buffer, GST_MAP_WRITE), internal_error);
  EXPECT_TRUE(LogCapture__Has(1, "fail: gst_buffer_map_range", "gst_buffer_mapper")) << LogCapture__Dump();
  EXPECT_TRUE(_T_CanMapForWrite(buffer)) << "nothing is left mapped";
  // Reading is still possible.
  {
    gst_buffer_mapper mapper(buffer, GST_MAP_READ);
    EXPECT_EQ(bytes, mapper.getData<uint8_t>());
  }
  gst_buffer_unref(buffer);
  gst_buffer_unref(buffer);
}

TEST_F(GstBufferMapperTest, NullBufferThrowsAfterOneLine) {
  EXPECT_THROW(gst_buffer_mapper(nullptr, GST_MAP_READ), internal_error);
  EXPECT_TRUE(LogCapture__Has(1, "fail: gst_buffer_map_range", "gst_buffer_mapper")) << LogCapture__Dump();
}

}}}  // namespace Tarn::Support::(anonymous)
