// Frame__DecodeType against the catalogue's table, and its round trip with
// Frame__EncodeType: a text of the table decodes to its type, and the type
// encodes back to the same text (but for "none" and "Bayer8T", which are
// decoded only); any other text is refused with params_error and leaves the
// output alone. Every 32-bit value either encodes to a text that decodes back
// to it, or is refused with unsupported_error.
#include <tarn/support/frame.h>
#include <tarn/types/exceptions.h>

#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace {

using namespace Tarn::Support;

const std::map<std::string, uint32_t>& _T_table() {
  static const auto* table = new std::map<std::string, uint32_t>{
      {"none", 0},       {"MONO8T", 1},     {"MONO12PT", 2},   {"MONO16T", 3},    {"YUV411PT", 4},
      {"YUV422PT", 5},   {"UYVY", 6},       {"YUY2", 7},       {"I420PLN", 8},    {"NV12PLN", 9},
      {"NV21PLN", 10},   {"Bayer8T", 11},   {"BayerRG8T", 12}, {"BayerGR8T", 13}, {"BayerBG8T", 14},
      {"BayerGB8T", 15}, {"RGB24", 16},     {"RGBX", 17},      {"RGBA", 18},      {"JPEG", 19},
      {"H264", 20}};
  return *table;
}

constexpr frame_type kUNTOUCHED = static_cast<frame_type>(0xA5A5A5A5u);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  // A C string: the text ends at the first NUL.
  const std::string text(reinterpret_cast<const char*>(aData), strnlen(reinterpret_cast<const char*>(aData), aSize));
  const auto known = _T_table().find(text);

  frame_type value = kUNTOUCHED;
  bool refused = false;
  try {
    Frame__DecodeType(text.c_str(), value);
  } catch (const Tarn::params_error&) {
    refused = true;
  }
  if (known == _T_table().end()) {
    FUZZ_CHECK(refused && value == kUNTOUCHED);
  } else {
    FUZZ_CHECK(!refused && value == known->second);
    const bool decodeOnly = text == "none" || text == "Bayer8T";
    try {
      const char* encoded = Frame__EncodeType(value);
      FUZZ_CHECK(!decodeOnly && text == encoded);
    } catch (const Tarn::unsupported_error&) {
      FUZZ_CHECK(decodeOnly);
    }
  }

  // The first four bytes as a type value.
  uint32_t raw = 0;
  std::memcpy(&raw, aData, aSize < sizeof raw ? aSize : sizeof raw);
  try {
    const char* encoded = Frame__EncodeType(static_cast<frame_type>(raw));
    FUZZ_CHECK(raw <= 20 && raw != 0 && raw != 11);
    frame_type back = kUNTOUCHED;
    Frame__DecodeType(encoded, back);
    FUZZ_CHECK(back == raw);
  } catch (const Tarn::unsupported_error&) {
    FUZZ_CHECK(raw == 0 || raw == 11 || raw > 20);
  }
  return 0;
}
