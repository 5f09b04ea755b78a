// Decoding of the VMS export summary into the result record.
#include <tarn/support/viinex/internal/http-summary.h>

#include <tarn/support/jnode-jnode.h>
#include <tarn/support/jnode-text.h>
#include <tarn/support/jnode-uint16.h>
#include <tarn/support/jnode-uint32.h>
#include <tarn/support/log.h>

namespace Tarn { namespace Support { namespace Viinex { namespace Internal {

namespace {

// Deepest nesting of arrays and objects in the first JSON value of aText, as
// the JSON reader will meet it: brackets inside strings (escapes honoured) and
// inside comments do not count, and the scan ends with the first value. Stops
// early, returning aLimit + 1, once the nesting passes aLimit, so the cost is
// one pass over the text at most and the stack use is constant.
int _T_json_depth(const std::string& aText, int aLimit) {
  const size_t size = aText.size();
  int depth = 0;
  int deepest = 0;
  for (size_t i = 0; i < size; ++i) {
    const char c = aText[i];
    if (c == '"') {
      for (++i; i < size && aText[i] != '"'; ++i)
        if (aText[i] == '\\') ++i;
      if (depth == 0) return deepest;  // the first value is a string
    } else if (c == '/' && i + 1 < size && aText[i + 1] == '*') {
      const size_t end = aText.find("*/", i + 2);
      if (end == std::string::npos) return deepest;  // the reader fails here
      i = end + 1;
    } else if (c == '/' && i + 1 < size && aText[i + 1] == '/') {
      while (i < size && aText[i] != '\n' && aText[i] != '\r') ++i;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > aLimit) return deepest;
    } else if (c == ']' || c == '}') {
      if (depth == 0 || --depth == 0) return deepest;  // first value ended (or the reader fails)
    } else if (depth == 0 && c != ' ' && c != '\t' && c != '\n' && c != '\r') {
      return deepest;  // the first value is a number, a literal or an error
    }
  }
  return deepest;
}

}  // namespace

bool Summary__DecodeVideoInfo(video_info& aVideoInfo, const std::string& aJsonData) {
  // Refused before parsing: the reader, the conversion into a tree and the
  // tree's destruction all recurse once per level.
  if (_T_json_depth(aJsonData, kSUMMARY_MAX_DEPTH) > kSUMMARY_MAX_DEPTH) {
    LOG(1, "fail: summary nested deeper than %d levels", kSUMMARY_MAX_DEPTH);
    return false;
  }
  const jnode root = from_string(aJsonData);
  const jnode_map& summary = root.asMapRef();

  if (!Jnode__GetUint32(summary, "length", aVideoInfo.size_)) {
    LOG(1, "fail: param <#/length> has invalid value");
    return false;
  }
  const jnode* tracks = nullptr;
  if (!Jnode__GetJnodeWithList(summary, "tracks", tracks)) {
    LOG(1, "fail: param <#/tracks> has invalid value");
    return false;
  }
  const jnode_vector& items = tracks->asVectorRef();
  for (size_t index = 0; index < items.size(); ++index) {
    const jnode& track = items[index];
    if (track.get_type() == jnode_type::kJNODE_MAP && Summary__DecodeVideoInfo(aVideoInfo, track.asMapRef()))
      return true;
    LOG(1, "fail: param <#/tracks/%d> has invalid value", static_cast<int>(index));
  }
  LOG(4, "fail: video track not found");
  return false;
}

bool Summary__DecodeVideoInfo(video_info& aVideoInfo, const jnode_map& aTrackMap) {
  std::string codec;
  if (!Jnode__GetText(aTrackMap, "codec", codec) || (codec != "H264" && codec != "H265")) {
    LOG(1, "fail: param <#/codec> has invalid value");
    return false;
  }
  if (!Jnode__GetUint16(aTrackMap, "width", aVideoInfo.width_)) {
    LOG(1, "fail: param <#/width> has invalid value");
    return false;
  }
  if (!Jnode__GetUint16(aTrackMap, "height", aVideoInfo.height_)) {
    LOG(1, "fail: param <#/height> has invalid value");
    return false;
  }
  const jnode* interval = nullptr;
  if (!Jnode__GetJnodeWithList(aTrackMap, "interval", interval) || interval->asVectorRef().size() != 2) {
    LOG(1, "fail: param <#/interval> has invalid value");
    return false;
  }
  if (!Jnode__GetText(interval->asVectorRef(), 0, aVideoInfo.min_ts_)) {
    LOG(1, "fail: param <#/interval/0> has invalid value");
    return false;
  }
  if (!Jnode__GetText(interval->asVectorRef(), 1, aVideoInfo.max_ts_)) {
    LOG(1, "fail: param <#/interval/1> has invalid value");
    return false;
  }
  return true;
}

}}}}  // namespace Tarn::Support::Viinex::Internal
