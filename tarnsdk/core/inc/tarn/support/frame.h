// Catalogue of raw and coded video frame types: the enumeration used in every
// frame description, the text name of each type (configuration, statistics),
// the byte size of one packed raw frame and a one-byte pixel descriptor.
//
// Threads: every function may run on any thread at once; the only shared
// state is the encoder's text map, built once and only read afterwards.
// Errors: failures are logged once (level 1) and thrown as the SDK's
// exceptions (params_error, unsupported_error); FrameType__GetInfo answers
// false instead.
#pragma once

#include <tarn/types/basic.h>

namespace Tarn { namespace Support {

enum frame_type : uint32_t {
  kFRAME_TYPE__NONE = 0,
  kFRAME_TYPE__MONO8 = 1,
  kFRAME_TYPE__MONO12P = 2,
  kFRAME_TYPE__MONO16 = 3,
  kFRAME_TYPE__YUV411_IYU1 = 4,
  kFRAME_TYPE__YUV422_ANY = 5,
  kFRAME_TYPE__YUV422_UYVY = 6,
  kFRAME_TYPE__YUV422_YUY2 = 7,
  kFRAME_TYPE__YUV420_I420 = 8,
  kFRAME_TYPE__YUV420_NV12 = 9,
  kFRAME_TYPE__YUV420_NV21 = 10,
  kFRAME_TYPE__BAYER8_ANY = 11,
  kFRAME_TYPE__BAYER8_RG = 12,
  kFRAME_TYPE__BAYER8_GR = 13,
  kFRAME_TYPE__BAYER8_BG = 14,
  kFRAME_TYPE__BAYER8_GB = 15,
  kFRAME_TYPE__RGB24 = 16,
  kFRAME_TYPE__RGBX = 17,
  kFRAME_TYPE__RGBA = 18,
  kFRAME_TYPE__JPEG = 19,
  kFRAME_TYPE__H264 = 20,
};

// The host's description of one video frame, passed with every frame.
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

// Pixel descriptor: bits 0-5 bits per pixel, bit 6 the YuvYu flag (YUY2
// order), bit 7 the packed-YUV flag.
typedef uint8_t frame_type_info_t;

// Stores the type named by aText (exact, case-sensitive; "none" and "Bayer8T"
// are accepted too). Unknown text: logs and throws params_error, aValue
// untouched. A null aText is refused the same way.
void Frame__DecodeType(const char* aText, frame_type& aValue);

// The type's text; the pointer stays valid until the process ends. Types
// without text (NONE, BAYER8_ANY, values above H264): logs and throws
// unsupported_error.
const char* Frame__EncodeType(const frame_type aValue);

// Bytes of one frame with packed rows (32-bit arithmetic; frames whose
// 12*w*h exceeds 2^31 are outside the supported range). Types without a
// fixed size (NONE, JPEG, H264, unknown): logs and throws unsupported_error.
unsigned int Frame__GetSize(const frame_type aFrameType, const uint16_t aFrameW,
                            const uint16_t aFrameH);

// Descriptor constructors: aBpp must be below 64, it is not masked.
uint8_t FrameTypeInfo__CreateYuv(const uint8_t aBpp);
uint8_t FrameTypeInfo__CreateYuvYu(const uint8_t aBpp);
uint8_t FrameTypeInfo__GetBpp(const frame_type_info_t aTypeInfo);
bool FrameTypeInfo__TestYuv(const frame_type_info_t aTypeInfo);
bool FrameTypeInfo__TestYuvYu(const frame_type_info_t aTypeInfo);

// True and the descriptor for MONO8, MONO12P, MONO16, IYU1, UYVY, YUY2 and
// I420; false, aTypeInfo untouched and no log line, for every other type.
bool FrameType__GetInfo(frame_type_info_t& aTypeInfo, const frame_type aFrameType);

}}  // namespace Tarn::Support
