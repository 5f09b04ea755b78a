// The export summary decoder, on the 128 KiB stack of a download coroutine:
// whatever the server sends as its summary, decoding ends with true, false or
// the JSON value tree's exception, and never overflows that stack. A true
// result must hold what the summary says: "length", and the picture size and
// interval texts of an H264/H265 track of "tracks".
#include <tarn/support/jnode.h>
#include <tarn/support/viinex/internal/http-summary.h>

#include "fuzz_support.h"

#include <cstdint>
#include <exception>
#include <string>

namespace {

using Tarn::Support::from_string;
using Tarn::Support::jnode;
using Tarn::Support::jnode_map;
using Tarn::Support::jnode_type;
using Tarn::Support::Viinex::video_info;
using Tarn::Support::Viinex::Internal::Summary__DecodeVideoInfo;

bool _T_is_int(const jnode_map& aMap, const char* aKey, int64_t aValue) {
  const auto it = aMap.find(aKey);
  return it != aMap.end() && it->second.get_type() == jnode_type::kINT64 && it->second.asIntRef() == aValue;
}

// An accepted summary, read back the plain way: the result must be what one
// of its tracks says.
void _T_check_accepted(const std::string& aText, const video_info& aInfo) {
  const jnode root = from_string(aText);
  FUZZ_CHECK(root.get_type() == jnode_type::kJNODE_MAP);
  const jnode_map& summary = root.asMapRef();
  FUZZ_CHECK(_T_is_int(summary, "length", aInfo.size_));
  const auto tracks = summary.find("tracks");
  FUZZ_CHECK(tracks != summary.end() && tracks->second.get_type() == jnode_type::kJNODE_VECTOR);
  for (const jnode& track : tracks->second.asVectorRef()) {
    if (track.get_type() != jnode_type::kJNODE_MAP) continue;
    const jnode_map& t = track.asMapRef();
    const auto codec = t.find("codec");
    const auto interval = t.find("interval");
    if (codec == t.end() || codec->second.get_type() != jnode_type::kSTRING) continue;
    if (codec->second.asStringRef() != "H264" && codec->second.asStringRef() != "H265") continue;
    if (!_T_is_int(t, "width", aInfo.width_) || !_T_is_int(t, "height", aInfo.height_)) continue;
    if (interval == t.end() || interval->second.get_type() != jnode_type::kJNODE_VECTOR) continue;
    const auto& texts = interval->second.asVectorRef();
    if (texts.size() == 2 && texts[0].get_type() == jnode_type::kSTRING &&
        texts[1].get_type() == jnode_type::kSTRING && texts[0].asStringRef() == aInfo.min_ts_ &&
        texts[1].asStringRef() == aInfo.max_ts_)
      return;
  }
  Fuzz__Fail("accepted summary holds no track with the result's fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  video_info info;
  bool accepted = false;
  try {
    Fuzz__RunOnSmallStack([&] { accepted = Summary__DecodeVideoInfo(info, text); });
  } catch (const std::exception&) {
    // Text that is no JSON object: the tree's exception (or JsonCpp's) is the
    // outcome the parser passes on. Anything else escapes and is a crash.
    return 0;
  }
  FUZZ_CHECK(info.path_.empty());
  if (accepted) _T_check_accepted(text, info);
  return 0;
}
