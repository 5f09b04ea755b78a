#include <tarn/support/frame.h>
#include <tarn/support/log.h>
#include <tarn/types/exceptions.h>

#include <map>
#include <stdexcept>
#include <string>

namespace Tarn { namespace Support {

void Frame__DecodeType(const char* aText, frame_type& aValue) {
  // Built per call: decoding happens on configuration, not per frame, and a
  // local map needs no synchronisation.
  const std::map<std::string, frame_type> confToValueMap = {
      {"none", kFRAME_TYPE__NONE},
      {"MONO8T", kFRAME_TYPE__MONO8},
      {"MONO12PT", kFRAME_TYPE__MONO12P},
      {"MONO16T", kFRAME_TYPE__MONO16},
      {"YUV411PT", kFRAME_TYPE__YUV411_IYU1},
      {"YUV422PT", kFRAME_TYPE__YUV422_ANY},
      {"UYVY", kFRAME_TYPE__YUV422_UYVY},
      {"YUY2", kFRAME_TYPE__YUV422_YUY2},
      {"I420PLN", kFRAME_TYPE__YUV420_I420},
      {"NV12PLN", kFRAME_TYPE__YUV420_NV12},
      {"NV21PLN", kFRAME_TYPE__YUV420_NV21},
      {"Bayer8T", kFRAME_TYPE__BAYER8_ANY},
      {"BayerRG8T", kFRAME_TYPE__BAYER8_RG},
      {"BayerGR8T", kFRAME_TYPE__BAYER8_GR},
      {"BayerBG8T", kFRAME_TYPE__BAYER8_BG},
      {"BayerGB8T", kFRAME_TYPE__BAYER8_GB},
      {"RGB24", kFRAME_TYPE__RGB24},
      {"RGBX", kFRAME_TYPE__RGBX},
      {"RGBA", kFRAME_TYPE__RGBA},
      {"JPEG", kFRAME_TYPE__JPEG},
      {"H264", kFRAME_TYPE__H264},
  };
  if (aText == nullptr) {
    // A caller's bug, but refused like any unknown text rather than crashing.
    LOG(1, "fail: value:<%s>", "");
    throw params_error();
  }
  try {
    aValue = confToValueMap.at(aText);
  } catch (const std::out_of_range&) {
    LOG(1, "fail: value:<%s>", aText);
    throw params_error();
  }
}

const char* Frame__EncodeType(const frame_type aValue) {
  // Function-local static: built once, thread-safely, and never changed, so
  // the returned pointers stay valid until the process ends.
  static const std::map<frame_type, std::string> _s_valueToTextMap = {
      {kFRAME_TYPE__MONO8, "MONO8T"},
      {kFRAME_TYPE__MONO12P, "MONO12PT"},
      {kFRAME_TYPE__MONO16, "MONO16T"},
      {kFRAME_TYPE__YUV411_IYU1, "YUV411PT"},
      {kFRAME_TYPE__YUV422_ANY, "YUV422PT"},
      {kFRAME_TYPE__YUV422_UYVY, "UYVY"},
      {kFRAME_TYPE__YUV422_YUY2, "YUY2"},
      {kFRAME_TYPE__YUV420_I420, "I420PLN"},
      {kFRAME_TYPE__YUV420_NV12, "NV12PLN"},
      {kFRAME_TYPE__YUV420_NV21, "NV21PLN"},
      {kFRAME_TYPE__BAYER8_RG, "BayerRG8T"},
      {kFRAME_TYPE__BAYER8_GR, "BayerGR8T"},
      {kFRAME_TYPE__BAYER8_BG, "BayerBG8T"},
      {kFRAME_TYPE__BAYER8_GB, "BayerGB8T"},
      {kFRAME_TYPE__RGB24, "RGB24"},
      {kFRAME_TYPE__RGBX, "RGBX"},
      {kFRAME_TYPE__RGBA, "RGBA"},
      {kFRAME_TYPE__JPEG, "JPEG"},
      {kFRAME_TYPE__H264, "H264"},
  };
  const auto found = _s_valueToTextMap.find(aValue);
  if (found == _s_valueToTextMap.end()) {
    LOG(1, "fail: unsupported (format:%d)", static_cast<int>(aValue));
    throw unsupported_error();
  }
  return found->second.c_str();
}

unsigned int Frame__GetSize(const frame_type aFrameType, const uint16_t aFrameW,
                            const uint16_t aFrameH) {
  const uint32_t w = aFrameW;
  const uint32_t h = aFrameH;
  switch (aFrameType) {
    case kFRAME_TYPE__MONO8:
    case kFRAME_TYPE__BAYER8_ANY:
    case kFRAME_TYPE__BAYER8_RG:
    case kFRAME_TYPE__BAYER8_GR:
    case kFRAME_TYPE__BAYER8_BG:
    case kFRAME_TYPE__BAYER8_GB:
      return w * h;
    case kFRAME_TYPE__MONO12P:
      return w * h * 12 / 8;
    case kFRAME_TYPE__MONO16:
    case kFRAME_TYPE__YUV422_ANY:
    case kFRAME_TYPE__YUV422_UYVY:
    case kFRAME_TYPE__YUV422_YUY2:
      return 2 * w * h;
    case kFRAME_TYPE__YUV411_IYU1:
    case kFRAME_TYPE__YUV420_I420:
    case kFRAME_TYPE__YUV420_NV12:
    case kFRAME_TYPE__YUV420_NV21:
      return w * h * 3 / 2;
    case kFRAME_TYPE__RGB24:
      return 3 * w * h;
    case kFRAME_TYPE__RGBX:
    case kFRAME_TYPE__RGBA:
      return 4 * w * h;
    default:
      break;
  }
  LOG(1, "fail: unsupported (frame-type:%d)", static_cast<int>(aFrameType));
  throw unsupported_error();
}

uint8_t FrameTypeInfo__CreateYuv(const uint8_t aBpp) { return static_cast<uint8_t>(aBpp | 0x80); }

uint8_t FrameTypeInfo__CreateYuvYu(const uint8_t aBpp) { return static_cast<uint8_t>(aBpp | 0xC0); }

uint8_t FrameTypeInfo__GetBpp(const frame_type_info_t aTypeInfo) {
  return static_cast<uint8_t>(aTypeInfo & 0x3F);
}

bool FrameTypeInfo__TestYuv(const frame_type_info_t aTypeInfo) { return (aTypeInfo & 0x80) != 0; }

bool FrameTypeInfo__TestYuvYu(const frame_type_info_t aTypeInfo) { return (aTypeInfo & 0x40) != 0; }

bool FrameType__GetInfo(frame_type_info_t& aTypeInfo, const frame_type aFrameType) {
  switch (aFrameType) {
    case kFRAME_TYPE__MONO8:
    case kFRAME_TYPE__YUV420_I420:
      aTypeInfo = 8;
      return true;
    case kFRAME_TYPE__MONO12P:
      aTypeInfo = 12;
      return true;
    case kFRAME_TYPE__MONO16:
      aTypeInfo = 16;
      return true;
    case kFRAME_TYPE__YUV411_IYU1:
      aTypeInfo = FrameTypeInfo__CreateYuv(12);
      return true;
    case kFRAME_TYPE__YUV422_UYVY:
      aTypeInfo = FrameTypeInfo__CreateYuv(16);
      return true;
    case kFRAME_TYPE__YUV422_YUY2:
      aTypeInfo = FrameTypeInfo__CreateYuvYu(16);
      return true;
    default:
      return false;
  }
}

}}  // namespace Tarn::Support
