// Streaming parser of the VMS export response body (a multipart body whose
// video part goes straight to a file and whose last part is the JSON summary).
//
// One parser serves one export exchange, on one thread: create it with the
// target path (the file is created or truncated at once), call setBoundary
// with the response's Content-Type, feed every piece of the body in arrival
// order, then ask getVideoInfo once. Feeding never throws; whatever is wrong
// with the body shows as a false result of getVideoInfo.
//
// The body comes from a server we do not control, so what one parser holds in
// memory is bounded whatever it sends: while looking for a delimiter it keeps
// no more than a delimiter's length of undecided bytes, bytes after the
// closing delimiter are dropped, and a part's header block and the parts kept
// in memory are capped (see below). A body that passes a cap is malformed: it
// never completes and getVideoInfo is false, after one log line naming the cap.
// Searching is linear in the body size, whatever the boundary.
#pragma once

#include <tarn/support/viinex/http/types/media.h>

#include <cstddef>
#include <memory>
#include <string>

namespace Tarn { namespace Support { namespace Viinex { namespace Internal {

class response_body_parser_like {
 public:
  virtual ~response_body_parser_like() = default;
  // Takes the delimiter from the "boundary=" parameter; leaves it empty when there is none.
  virtual void setBoundary(const std::string& aContentType) = 0;
  // Consumes the next piece of the body; the piece may be cut anywhere.
  virtual void handleChunkData(const char* aBufferData, size_t aBufferSize) = 0;
  // True once the closing delimiter was read.
  virtual bool testComplete() const = 0;
  // Fills aVideoInfo from the summary part; false (after logging) when the body
  // is incomplete or the summary is rejected. The decoder's exceptions for text
  // that is not a JSON object pass through.
  virtual bool getVideoInfo(video_info& aVideoInfo) const = 0;
};

using response_body_parser_up_t = std::unique_ptr<response_body_parser_like>;

// Largest header block of one part, in bytes (without its closing blank line).
constexpr size_t kRESPONSE_HEADER_BLOCK_CAP = 64 * 1024;
// Largest amount of memory the parts kept by one parser may take: the contents
// of the parts kept in memory (the summary) plus every part's header fields and
// bookkeeping. A real export keeps a few hundred bytes.
constexpr size_t kRESPONSE_KEPT_PARTS_CAP = 16 * 1024 * 1024;

// Opens aVideoPath for binary output; throws std::runtime_error
// "Failed to open video file: <path>" when it cannot.
response_body_parser_up_t ResponseBodyParser__CreateVideo(const std::string& aVideoPath);

// Bytes of memory aParser holds right now: the capacity of its byte buffer plus
// what its kept parts take. For diagnostics and tests; 0 for a parser that was
// not made by ResponseBodyParser__CreateVideo.
size_t ResponseBodyParser__HeldBytes(const response_body_parser_like& aParser);

}}}}  // namespace Tarn::Support::Viinex::Internal
