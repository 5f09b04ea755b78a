// Decoding of the JSON summary that ends every VMS export response.
//
// Both functions work only on their arguments (no state, no locks) and log
// every rejection at level 1 before returning false. They write each field of
// aVideoInfo as soon as it is read, so the record is meaningful only when the
// result is true; path_ is never touched.
#pragma once

#include <tarn/support/jnode.h>
#include <tarn/support/viinex/http/types/media.h>

#include <string>

namespace Tarn { namespace Support { namespace Viinex { namespace Internal {

// Nesting of arrays and objects a summary may have (a real one has 4). The
// text is refused before parsing when it goes deeper, because parsing, the
// tree conversion and its destruction all recurse once per level, and the
// download coroutine that calls us has a small stack.
constexpr int kSUMMARY_MAX_DEPTH = 32;

// Decodes a whole summary: "length" into size_, then the first track of
// "tracks" that the track function accepts. Returns false after logging when
// the summary is rejected or nested deeper than kSUMMARY_MAX_DEPTH. Text that
// is not JSON (empty text included) and a top level that is not an object end
// with the JSON value tree's std::runtime_error (or JsonCpp's own exception for
// an integer beyond 64 bits), which passes through.
bool Summary__DecodeVideoInfo(video_info& aVideoInfo, const std::string& aJsonData);

// Decodes one track object: an "H264"/"H265" "codec", "width", "height" and a
// two-text "interval" into width_, height_, min_ts_ and max_ts_. Returns false
// after logging when the track is rejected. Never throws for bad content.
bool Summary__DecodeVideoInfo(video_info& aVideoInfo, const jnode_map& aTrackMap);

}}}}  // namespace Tarn::Support::Viinex::Internal
