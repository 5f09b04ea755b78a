#include <tarn/support/frame.h>
#include <tarn/testing/log_capture.h>
#include <tarn/types/exceptions.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace Tarn;
using namespace Tarn::Support;
using namespace Tarn::Testing;

struct text_case {
  const char* text_;
  uint32_t value_;
  bool encodes_;  // false: the text is accepted on input but never produced
};

const text_case kTexts[] = {
    {"none", 0, false},      {"MONO8T", 1, true},     {"MONO12PT", 2, true},
    {"MONO16T", 3, true},    {"YUV411PT", 4, true},   {"YUV422PT", 5, true},
    {"UYVY", 6, true},       {"YUY2", 7, true},       {"I420PLN", 8, true},
    {"NV12PLN", 9, true},    {"NV21PLN", 10, true},   {"Bayer8T", 11, false},
    {"BayerRG8T", 12, true}, {"BayerGR8T", 13, true}, {"BayerBG8T", 14, true},
    {"BayerGB8T", 15, true}, {"RGB24", 16, true},     {"RGBX", 17, true},
    {"RGBA", 18, true},      {"JPEG", 19, true},      {"H264", 20, true},
};

TEST(FrameType, TextsBothWays) {
  for (const auto& c : kTexts) {
    SCOPED_TRACE(c.text_);
    frame_type decoded = static_cast<frame_type>(99);
    Frame__DecodeType(c.text_, decoded);
    EXPECT_EQ(static_cast<uint32_t>(decoded), c.value_);
    if (c.encodes_) {
      EXPECT_STREQ(Frame__EncodeType(static_cast<frame_type>(c.value_)), c.text_);
    }
  }
}

TEST(FrameType, EncodeRefusesTypesWithoutText) {
  for (const uint32_t value : {0u, 11u, 21u}) {
    SCOPED_TRACE(value);
    LogCapture__Clear();
    EXPECT_THROW(Frame__EncodeType(static_cast<frame_type>(value)), unsupported_error);
    EXPECT_TRUE(LogCapture__Has(1, "fail: unsupported (format:" + std::to_string(value) + ")",
                                "Frame__EncodeType"))
        << LogCapture__Dump();
  }
}

TEST(FrameType, EncodeReturnsStablePointer) {
  const char* first = Frame__EncodeType(kFRAME_TYPE__YUV420_NV12);
  const char* second = Frame__EncodeType(kFRAME_TYPE__YUV420_NV12);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "NV12PLN");
}

TEST(FrameType, DecodeRefusesUnknownTextAndKeepsOutput) {
  for (const char* text : {"mono8t", "MONO8", "", "yuy2", "MONO8T ", "I420"}) {
    SCOPED_TRACE(text);
    LogCapture__Clear();
    frame_type value = kFRAME_TYPE__RGBA;
    EXPECT_THROW(Frame__DecodeType(text, value), params_error);
    EXPECT_EQ(value, kFRAME_TYPE__RGBA);
    EXPECT_TRUE(LogCapture__Has(1, std::string("fail: value:<") + text + ">", "Frame__DecodeType"))
        << LogCapture__Dump();
  }
}

TEST(FrameType, DecodeRefusesNullText) {
  LogCapture__Clear();
  frame_type value = kFRAME_TYPE__RGBA;
  EXPECT_THROW(Frame__DecodeType(nullptr, value), params_error);
  EXPECT_EQ(value, kFRAME_TYPE__RGBA);
  EXPECT_TRUE(LogCapture__Has(1, "fail: value:<>", "Frame__DecodeType")) << LogCapture__Dump();
}

TEST(FrameType, Sizes) {
  struct size_case {
    frame_type type_;
    uint16_t w_, h_;
    unsigned int bytes_;
  };
  const size_case table[] = {
      {kFRAME_TYPE__MONO8, 1920, 1080, 2073600},
      {kFRAME_TYPE__YUV420_I420, 1920, 1080, 3110400},
      {kFRAME_TYPE__YUV422_YUY2, 1920, 1080, 4147200},
      {kFRAME_TYPE__RGB24, 1920, 1080, 6220800},
      {kFRAME_TYPE__RGBA, 1920, 1080, 8294400},
      {kFRAME_TYPE__MONO12P, 1920, 1080, 3110400},
      {kFRAME_TYPE__MONO16, 1920, 1080, 4147200},
      {kFRAME_TYPE__YUV422_UYVY, 1920, 1080, 4147200},
      {kFRAME_TYPE__YUV422_ANY, 1920, 1080, 4147200},
      {kFRAME_TYPE__YUV420_NV12, 1920, 1080, 3110400},
      {kFRAME_TYPE__YUV420_NV21, 1920, 1080, 3110400},
      {kFRAME_TYPE__YUV411_IYU1, 1920, 1080, 3110400},
      {kFRAME_TYPE__BAYER8_ANY, 1920, 1080, 2073600},
      {kFRAME_TYPE__BAYER8_GB, 1920, 1080, 2073600},
      {kFRAME_TYPE__RGBX, 1920, 1080, 8294400},
      // Odd pixel counts: the 12-bit-per-pixel types round down.
      {kFRAME_TYPE__YUV420_I420, 1, 1, 1},
      {kFRAME_TYPE__MONO12P, 1, 1, 1},
      {kFRAME_TYPE__YUV420_I420, 3, 1, 4},
      {kFRAME_TYPE__MONO12P, 3, 1, 4},
      {kFRAME_TYPE__YUV411_IYU1, 3, 1, 4},
      {kFRAME_TYPE__MONO8, 0, 1080, 0},
      // A large frame whose intermediate products still fit 32 bits.
      {kFRAME_TYPE__MONO12P, 16384, 8192, 201326592u},
      {kFRAME_TYPE__YUV420_I420, 16384, 8192, 201326592u},
      {kFRAME_TYPE__RGBA, 16384, 8192, 536870912u},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(std::to_string(c.type_) + " " + std::to_string(c.w_) + "x" + std::to_string(c.h_));
    EXPECT_EQ(Frame__GetSize(c.type_, c.w_, c.h_), c.bytes_);
  }
}

TEST(FrameType, SizeRefusesTypesWithoutFixedSize) {
  for (const uint32_t value : {0u, 19u, 20u, 21u}) {
    SCOPED_TRACE(value);
    LogCapture__Clear();
    EXPECT_THROW(Frame__GetSize(static_cast<frame_type>(value), 640, 480), unsupported_error);
    EXPECT_TRUE(LogCapture__Has(1, "fail: unsupported (frame-type:" + std::to_string(value) + ")",
                                "Frame__GetSize"))
        << LogCapture__Dump();
  }
}

TEST(FrameType, Descriptors) {
  struct info_case {
    frame_type type_;
    bool known_;
    uint8_t info_, bpp_;
    bool yuv_, yuvyu_;
  };
  const info_case table[] = {
      {kFRAME_TYPE__MONO8, true, 0x08, 8, false, false},
      {kFRAME_TYPE__MONO12P, true, 0x0C, 12, false, false},
      {kFRAME_TYPE__MONO16, true, 0x10, 16, false, false},
      {kFRAME_TYPE__YUV411_IYU1, true, 0x8C, 12, true, false},
      {kFRAME_TYPE__YUV422_UYVY, true, 0x90, 16, true, false},
      {kFRAME_TYPE__YUV422_YUY2, true, 0xD0, 16, true, true},
      {kFRAME_TYPE__YUV420_I420, true, 0x08, 8, false, false},
      {kFRAME_TYPE__NONE, false, 0, 0, false, false},
      {kFRAME_TYPE__YUV422_ANY, false, 0, 0, false, false},
      {kFRAME_TYPE__YUV420_NV12, false, 0, 0, false, false},
      {kFRAME_TYPE__YUV420_NV21, false, 0, 0, false, false},
      {kFRAME_TYPE__BAYER8_RG, false, 0, 0, false, false},
      {kFRAME_TYPE__RGB24, false, 0, 0, false, false},
      {kFRAME_TYPE__RGBA, false, 0, 0, false, false},
      {kFRAME_TYPE__H264, false, 0, 0, false, false},
      {static_cast<frame_type>(21), false, 0, 0, false, false},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(static_cast<int>(c.type_));
    LogCapture__Clear();
    frame_type_info_t info = 0x55;
    EXPECT_EQ(FrameType__GetInfo(info, c.type_), c.known_);
    if (!c.known_) {
      EXPECT_EQ(info, 0x55);  // untouched
      EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
      continue;
    }
    EXPECT_EQ(info, c.info_);
    EXPECT_EQ(FrameTypeInfo__GetBpp(info), c.bpp_);
    EXPECT_EQ(FrameTypeInfo__TestYuv(info), c.yuv_);
    EXPECT_EQ(FrameTypeInfo__TestYuvYu(info), c.yuvyu_);
  }
}

TEST(FrameType, DescriptorConstructors) {
  EXPECT_EQ(FrameTypeInfo__CreateYuv(12), 0x8C);
  EXPECT_EQ(FrameTypeInfo__CreateYuvYu(16), 0xD0);
  EXPECT_EQ(FrameTypeInfo__GetBpp(FrameTypeInfo__CreateYuvYu(63)), 63);
  EXPECT_TRUE(FrameTypeInfo__TestYuvYu(FrameTypeInfo__CreateYuvYu(0)));
  EXPECT_FALSE(FrameTypeInfo__TestYuvYu(FrameTypeInfo__CreateYuv(16)));
}

// A host that includes only the catalogue header describes its frames with
// it: the frame description and its format equality come with the types.
TEST(FrameInfo2, ComesWithTheCatalogue) {
  const frame_info2 first{1000, 320, 240, kFRAME_TYPE__YUV420_NV12};
  const frame_info2 later{2000, 320, 240, kFRAME_TYPE__YUV420_NV12};
  const frame_info2 other{1000, 320, 240, kFRAME_TYPE__YUV420_I420};
  EXPECT_TRUE(first == later);
  EXPECT_FALSE(first != later);
  EXPECT_TRUE(first != other);
}

}  // namespace
