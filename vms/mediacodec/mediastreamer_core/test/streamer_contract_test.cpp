#include <tarn/support/mediastreamer/streamer.h>

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

namespace Tarn { namespace Support { namespace {

TEST(FrameInfo2, EqualityIsTheStreamFormatOnly) {
  const frame_info2 base{1000, 1920, 1080, kFRAME_TYPE__YUV420_I420};
  struct row {
    const char* what_;
    frame_info2 other_;
    bool equal_;
  };
  const row rows[] = {
      {"same", base, true},
      {"timestamp only", {999999, 1920, 1080, kFRAME_TYPE__YUV420_I420}, true},
      {"width", {1000, 1280, 1080, kFRAME_TYPE__YUV420_I420}, false},
      {"height", {1000, 1920, 720, kFRAME_TYPE__YUV420_I420}, false},
      {"type", {1000, 1920, 1080, kFRAME_TYPE__YUV420_NV12}, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what_);
    EXPECT_EQ(r.equal_, base == r.other_);
    EXPECT_EQ(r.equal_, r.other_ == base);
    EXPECT_EQ(!r.equal_, base != r.other_);
  }
}

TEST(FrameInfo2, LayoutTheHostSees) {
  EXPECT_EQ(4u, sizeof(frame_type));
  EXPECT_TRUE(std::is_standard_layout<frame_info2>::value);
  EXPECT_EQ(0u, offsetof(frame_info2, exposure_start_ts_));
  EXPECT_EQ(8u, offsetof(frame_info2, width_));
  EXPECT_EQ(10u, offsetof(frame_info2, height_));
  EXPECT_EQ(12u, offsetof(frame_info2, type_));
}

// Under the Itanium C++ ABI a pointer to a virtual member function holds
// 1 + the byte offset of its slot in the vtable: this reads the slot order a
// host compiled against these headers relies on.
template <typename TMember>
size_t _T_SlotOf(TMember aMember) {
  static_assert(sizeof(TMember) == 2 * sizeof(uintptr_t), "Itanium member pointer");
  uintptr_t words[2];
  std::memcpy(words, &aMember, sizeof(words));
  return (words[0] - 1) / sizeof(void*);
}

TEST(StreamerUnitLike, SlotOrder) {
  EXPECT_EQ(0u, _T_SlotOf(&streamer_unit_like::handleStreamStart));
  EXPECT_EQ(1u, _T_SlotOf(&streamer_unit_like::handleStreamFrame));
  EXPECT_EQ(2u, _T_SlotOf(&streamer_unit_like::handleStreamEnd));
  EXPECT_EQ(3u, _T_SlotOf(&streamer_unit_like::start));
  EXPECT_EQ(4u, _T_SlotOf(&streamer_unit_like::stop));
  EXPECT_EQ(5u, _T_SlotOf(&streamer_unit_like::destroy));
  EXPECT_EQ(6u, _T_SlotOf(&streamer_unit_like::collectStats));
}

TEST(StreamerUnitLike, NoDataNoVirtualDestructor) {
  EXPECT_FALSE(std::has_virtual_destructor<stream_handler_like>::value);
  EXPECT_FALSE(std::has_virtual_destructor<streamer_unit_like>::value);
  EXPECT_EQ(sizeof(void*), sizeof(stream_handler_like));
  EXPECT_EQ(sizeof(void*), sizeof(streamer_unit_like));
  EXPECT_TRUE(std::is_abstract<streamer_unit_like>::value);
}

}}}  // namespace Tarn::Support::(anonymous)
