// Streaming parser of the VMS export response body.
//
// The body is a multipart body: a preamble, then parts that each start after a
// delimiter ("--" and the boundary) with a header block ending in a blank line,
// and a closing delimiter ("--" right after it). The content of a video part
// goes straight to the target file; every other part is kept in memory, and
// the last one, the JSON summary, becomes the result.
//
// Everything here runs inside a download coroutine with a small stack, on
// bytes from a server we do not control: no recursion, no regular
// expressions, bounded memory and a search that never looks at a byte twice
// more than a delimiter's length.
#include <tarn/support/viinex/internal/http-response.h>
#include <tarn/support/viinex/internal/http-summary.h>

#include <tarn/support/log.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace Tarn { namespace Support { namespace Viinex { namespace Internal {

namespace {

// Incremental search for one pattern in a byte stream (Knuth-Morris-Pratt):
// fed one byte at a time, it knows the length of the longest end of the stream
// that is a beginning of the pattern, so a delimiter cut over two pieces is
// found without searching the first piece again.
class _T_stream_matcher {
 public:
  void reset(const std::string& aPattern) {
    pattern_ = aPattern;
    fail_.assign(pattern_.size(), 0);
    for (size_t i = 1, k = 0; i < pattern_.size(); ++i) {
      while (k > 0 && pattern_[i] != pattern_[k]) k = fail_[k - 1];
      if (pattern_[i] == pattern_[k]) ++k;
      fail_[i] = k;
    }
    state_ = 0;
  }
  void restart() { state_ = 0; }
  size_t size() const { return pattern_.size(); }
  // The first byte of the pattern, which the pattern must not be empty for.
  char front() const { return pattern_.front(); }
  // Length of the longest end of the bytes fed so far that begins the pattern.
  size_t state() const { return state_; }
  // Feeds one byte; true when it completes an occurrence of the pattern.
  // The pattern must not be empty.
  bool feed(char aByte) {
    while (state_ > 0 && pattern_[state_] != aByte) state_ = fail_[state_ - 1];
    if (pattern_[state_] == aByte) ++state_;
    if (state_ < pattern_.size()) return false;
    state_ = fail_[state_ - 1];
    return true;
  }

 private:
  std::string pattern_;
  std::vector<size_t> fail_;
  size_t state_ = 0;
};

constexpr char _T_CRLF[] = "\r\n";
constexpr char _T_BLANK_LINE[] = "\r\n\r\n";
// A buffer whose capacity grew past this (one big piece) is given back once
// most of it has been consumed.
constexpr size_t _T_BUFFER_SHRINK_ABOVE = 256 * 1024;
// Bookkeeping charged per header field against the kept-parts cap, on top of
// the texts of its name and value.
constexpr size_t _T_HEADER_FIELD_OVERHEAD = 64;

// The bytes received and not yet consumed. Consuming from the front only
// moves an offset; the consumed bytes are dropped once per appended piece.
// A piece holding many small parts would otherwise move its remaining bytes
// once per part, which costs the square of the piece's size.
class _T_byte_window {
 public:
  size_t size() const { return bytes_.size() - head_; }
  bool empty() const { return size() == 0; }
  const char* data() const { return bytes_.data() + head_; }
  char operator[](size_t aAt) const { return bytes_[head_ + aAt]; }
  size_t capacity() const { return bytes_.capacity(); }
  std::string_view view() const { return std::string_view(data(), size()); }

  // Consumes the first aCount bytes.
  void consume(size_t aCount) {
    head_ += aCount;
    if (head_ == bytes_.size()) {
      bytes_.clear();
      head_ = 0;
    }
  }
  void append(const char* aData, size_t aSize) {
    compact();
    bytes_.append(aData, aSize);
  }
  void assign(const char* aData, size_t aSize) {
    bytes_.assign(aData, aSize);
    head_ = 0;
  }
  // Gives the memory back.
  void release() {
    std::string().swap(bytes_);
    head_ = 0;
  }
  // A buffer whose capacity grew past aAbove (one big piece) is given back
  // once most of it has been consumed.
  void shrinkIfMostlyFree(size_t aAbove) {
    if (bytes_.capacity() > aAbove && size() < bytes_.capacity() / 4) {
      compact();
      bytes_.shrink_to_fit();
    }
  }

 private:
  void compact() {
    if (head_ == 0) return;
    bytes_.erase(0, head_);
    head_ = 0;
  }

  std::string bytes_;
  size_t head_ = 0;
};

void _T_trim(std::string& aText) {
  const char* const kBlank = " \t";
  const size_t first = aText.find_first_not_of(kBlank);
  if (first == std::string::npos) {
    aText.clear();
    return;
  }
  const size_t last = aText.find_last_not_of(kBlank);
  aText = aText.substr(first, last - first + 1);
}

bool _T_begins_with(const _T_byte_window& aBytes, const char* aPrefix, size_t aPrefixSize) {
  return aBytes.size() >= aPrefixSize && std::memcmp(aBytes.data(), aPrefix, aPrefixSize) == 0;
}

class video_response_body_parser : public response_body_parser_like {
 public:
  explicit video_response_body_parser(const std::string& aVideoPath)
      : video_path_(aVideoPath), state_(WAITING_FOR_BOUNDARY) {
    // Unbuffered: every run of video bytes is written and flushed at once
    // anyway, and after a failed write no bytes may stay behind in a buffer
    // for the stream to try again when it is closed.
    video_stream_.rdbuf()->pubsetbuf(nullptr, 0);
    video_stream_.open(video_path_, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!video_stream_.is_open()) throw std::runtime_error("Failed to open video file: " + aVideoPath);
    resetMatchers();
  }

  ~video_response_body_parser() override {
    if (video_stream_.is_open()) video_stream_.close();
  }

  void setBoundary(const std::string& aContentType) override;
  void handleChunkData(const char* aBufferData, size_t aBufferSize) override;
  bool testComplete() const override { return state_ == COMPLETE; }
  bool getVideoInfo(video_info& aVideoInfo) const override;

  size_t heldBytes() const { return buffer_.capacity() + kept_bytes_; }

 private:
  struct part {
    std::map<std::string, std::string> headers_;
    std::string body_;
    bool binary_ = false;
  };
  using parts_t = std::vector<part>;
  enum state { WAITING_FOR_BOUNDARY = 0, READING_HEADERS = 1, READING_BODY = 2, COMPLETE = 3 };

  bool findPartBoundary();
  bool parsePartHeaders();
  bool parsePartBody();
  bool scanBody(const char* aData, size_t aEnd);
  void passOn(const char* aData, size_t aSize);
  bool keep(size_t aSize);
  void refuse();
  void resetMatchers();

  std::string video_path_;
  std::ofstream video_stream_;
  _T_byte_window buffer_;
  std::string boundary_;
  parts_t parts_;
  part part_;
  state state_;

  // How far buffer_ has been fed to the matchers (the body step and the
  // delimiter search), and how far the blank line has been searched.
  _T_stream_matcher delimiter_;       // boundary_
  _T_stream_matcher crlf_delimiter_;  // CR LF followed by boundary_
  size_t scanned_ = 0;
  size_t header_scanned_ = 0;
  // Memory taken by parts_ and part_, charged against kRESPONSE_KEPT_PARTS_CAP.
  size_t kept_bytes_ = 0;
  // The body passed a cap: it is malformed and every further byte is dropped.
  bool refused_ = false;
  // Writing the video file failed: nothing more is written, no result.
  bool write_failed_ = false;
};

void video_response_body_parser::resetMatchers() {
  delimiter_.reset(boundary_);
  crlf_delimiter_.reset(_T_CRLF + boundary_);
  scanned_ = 0;
}

void video_response_body_parser::setBoundary(const std::string& aContentType) {
  // The first "boundary=" that is followed by at least one byte other than ";"
  // gives the parameter: everything up to the next ";" or the end, white space
  // included. This is what a search for "boundary=([^;]+)" gives, without a
  // regular-expression engine that recurses once per byte of a long boundary.
  static const std::string kKey = "boundary=";
  for (size_t at = aContentType.find(kKey); at != std::string::npos; at = aContentType.find(kKey, at + 1)) {
    const size_t begin = at + kKey.size();
    size_t end = aContentType.find(';', begin);
    if (end == std::string::npos) end = aContentType.size();
    if (end == begin) continue;
    std::string value = aContentType.substr(begin, end - begin);
    if (value.size() > 1 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    boundary_ = "--" + value;
    resetMatchers();
    return;
  }
}

void video_response_body_parser::handleChunkData(const char* aBufferData, size_t aBufferSize) {
  // Nothing after the closing delimiter can matter, nor anything of a body
  // already refused.
  if (state_ == COMPLETE || refused_) return;
  // Inside a part with nothing held back, the piece is searched where it lies
  // and its content passed on from there, not copied through buffer_ first:
  // only the end that may begin a delimiter is kept. A piece in which the
  // part ends takes the general way below, searched again from its start.
  if (state_ == READING_BODY && buffer_.empty() && delimiter_.size() > 0 && scanned_ == 0 &&
      delimiter_.state() == 0 && crlf_delimiter_.state() == 0) {
    if (!scanBody(aBufferData, aBufferSize)) {
      const size_t held = std::max(delimiter_.state(), crlf_delimiter_.state());
      passOn(aBufferData, aBufferSize - held);
      if (refused_) return;
      buffer_.assign(aBufferData + aBufferSize - held, held);
      scanned_ = held;
      buffer_.shrinkIfMostlyFree(_T_BUFFER_SHRINK_ABOVE);
      return;
    }
    delimiter_.restart();
    crlf_delimiter_.restart();
    scanned_ = 0;
  }
  buffer_.append(aBufferData, aBufferSize);
  while (!buffer_.empty() && state_ != COMPLETE && !refused_) {
    bool advanced = false;
    switch (state_) {
      case WAITING_FOR_BOUNDARY:
        advanced = findPartBoundary();
        if (advanced) state_ = READING_HEADERS;
        break;
      case READING_HEADERS:
        advanced = parsePartHeaders();
        if (advanced) state_ = READING_BODY;
        break;
      case READING_BODY:
        advanced = parsePartBody();
        if (advanced) state_ = WAITING_FOR_BOUNDARY;
        break;
      case COMPLETE:
        break;
    }
    if (!advanced) break;
  }
  buffer_.shrinkIfMostlyFree(_T_BUFFER_SHRINK_ABOVE);
}

bool video_response_body_parser::findPartBoundary() {
  size_t at = 0;
  if (delimiter_.size() > 0) {
    bool found = false;
    while (scanned_ < buffer_.size() && !found) found = delimiter_.feed(buffer_[scanned_++]);
    if (!found) {
      // Only the end that may still begin a delimiter can matter: a preamble
      // of any length costs no more than that.
      buffer_.consume(buffer_.size() - delimiter_.state());
      scanned_ = buffer_.size();
      return false;
    }
    at = scanned_ - delimiter_.size();
  }
  // What follows the delimiter is decided only when two bytes are there.
  if (buffer_.size() - at - boundary_.size() < 2) {
    buffer_.consume(at);
    delimiter_.restart();
    scanned_ = 0;
    return false;
  }
  buffer_.consume(at + boundary_.size());
  delimiter_.restart();
  scanned_ = 0;
  if (_T_begins_with(buffer_, "--", 2)) {
    state_ = COMPLETE;
    buffer_.release();
    return false;
  }
  if (_T_begins_with(buffer_, _T_CRLF, 2)) buffer_.consume(2);
  part_ = part();
  header_scanned_ = 0;
  return keep(sizeof(part));
}

bool video_response_body_parser::parsePartHeaders() {
  // A part without header fields: the blank line follows the delimiter's line
  // at once, and the part's content starts right after it.
  if (buffer_.size() < 2) return false;
  const bool headerless = _T_begins_with(buffer_, _T_CRLF, 2);
  size_t end = 0;
  if (!headerless) {
    end = buffer_.view().find(_T_BLANK_LINE, header_scanned_, 4);
    if (end == std::string_view::npos) {
      // The blank line may begin in the last three bytes at the earliest, so
      // neither the search nor the cap depends on how the body is cut.
      header_scanned_ = buffer_.size() >= 3 ? buffer_.size() - 3 : 0;
      if (header_scanned_ > kRESPONSE_HEADER_BLOCK_CAP) {
        LOG(1, "fail: part header block exceeds %zu bytes", kRESPONSE_HEADER_BLOCK_CAP);
        refuse();
      }
      return false;
    }
    if (end > kRESPONSE_HEADER_BLOCK_CAP) {
      LOG(1, "fail: part header block exceeds %zu bytes", kRESPONSE_HEADER_BLOCK_CAP);
      refuse();
      return false;
    }
  }
  const std::string block(buffer_.data(), end);
  buffer_.consume(headerless ? 2 : end + 4);

  for (size_t begin = 0; begin <= block.size();) {
    size_t stop = block.find('\n', begin);
    if (stop == std::string::npos) stop = block.size();
    std::string line = block.substr(begin, stop - begin);
    begin = stop + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    _T_trim(name);
    _T_trim(value);
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!keep(name.size() + value.size() + _T_HEADER_FIELD_OVERHEAD)) return false;
    part_.headers_[name] = std::move(value);
  }
  const auto type = part_.headers_.find("content-type");
  if (type != part_.headers_.end() && type->second.find("video/mp4") != std::string::npos) part_.binary_ = true;
  resetMatchers();
  return true;
}

bool video_response_body_parser::parsePartBody() {
  size_t at = 0;
  if (delimiter_.size() > 0) {
    const bool found = scanBody(buffer_.data(), buffer_.size());
    if (!found) {
      // Keep back the end that may still begin CR LF and a delimiter, or a
      // delimiter alone; everything before it is content.
      const size_t held = std::max(delimiter_.state(), crlf_delimiter_.state());
      passOn(buffer_.data(), buffer_.size() - held);
      if (refused_) return false;
      buffer_.consume(buffer_.size() - held);
      scanned_ = buffer_.size();
      return false;
    }
    at = scanned_ - delimiter_.size();
  }
  size_t content = at;
  if (content >= 2 && std::memcmp(buffer_.data() + content - 2, _T_CRLF, 2) == 0) content -= 2;
  passOn(buffer_.data(), content);
  if (refused_) return false;
  buffer_.consume(at);
  resetMatchers();
  parts_.push_back(std::move(part_));
  part_ = part();
  return true;
}

bool video_response_body_parser::scanBody(const char* aData, size_t aEnd) {
  // While neither matcher has a partial match, a byte that starts neither
  // pattern changes nothing: jump to the next byte that starts one (found with
  // memchr, each byte value looked for again only once passed), so video
  // bytes are fed to the matchers only around CRs and dashes. The search
  // stays linear and finds exactly what feeding every byte finds.
  const char first = delimiter_.front(), crlfFirst = crlf_delimiter_.front();
  size_t nextFirst = 0, nextCrlfFirst = 0;  // positions found last; searched again once behind scanned_
  bool searched = false;
  auto next = [&](char aByte, size_t& aAt) {
    const void* hit = std::memchr(aData + scanned_, aByte, aEnd - scanned_);
    aAt = hit ? size_t(static_cast<const char*>(hit) - aData) : aEnd;
  };
  while (scanned_ < aEnd) {
    if (delimiter_.state() == 0 && crlf_delimiter_.state() == 0) {
      if (!searched || nextFirst < scanned_) next(first, nextFirst);
      if (!searched || nextCrlfFirst < scanned_) next(crlfFirst, nextCrlfFirst);
      searched = true;
      scanned_ = std::min(nextFirst, nextCrlfFirst);
      if (scanned_ == aEnd) break;
    }
    const char byte = aData[scanned_++];
    crlf_delimiter_.feed(byte);
    if (delimiter_.feed(byte)) return true;
  }
  return false;
}

void video_response_body_parser::passOn(const char* aData, size_t aSize) {
  if (aSize == 0) return;
  if (!part_.binary_) {
    if (keep(aSize)) part_.body_.append(aData, aSize);
    return;
  }
  if (write_failed_) return;
  // Flushed at once, so the file on disk follows the download.
  video_stream_.write(aData, static_cast<std::streamsize>(aSize));
  video_stream_.flush();
  if (!video_stream_) {
    LOG(1, "fail: ofstream::write (file:%s)", video_path_.c_str());
    write_failed_ = true;
  }
}

bool video_response_body_parser::keep(size_t aSize) {
  if (aSize > kRESPONSE_KEPT_PARTS_CAP - kept_bytes_) {
    LOG(1, "fail: parts kept in memory exceed %zu bytes", kRESPONSE_KEPT_PARTS_CAP);
    refuse();
    return false;
  }
  kept_bytes_ += aSize;
  return true;
}

void video_response_body_parser::refuse() {
  refused_ = true;
  buffer_.release();
  parts_t().swap(parts_);
  part_ = part();
  kept_bytes_ = 0;
}

bool video_response_body_parser::getVideoInfo(video_info& aVideoInfo) const {
  if (state_ != COMPLETE) return false;
  // The write failure was logged where it happened, naming the file.
  if (write_failed_) return false;
  if (parts_.empty()) return false;
  if (!Summary__DecodeVideoInfo(aVideoInfo, parts_.back().body_)) {
    LOG(1, "fail: Jnode_DecodeVideoInfo");
    return false;
  }
  aVideoInfo.path_ = video_path_;
  return true;
}

}  // namespace

response_body_parser_up_t ResponseBodyParser__CreateVideo(const std::string& aVideoPath) {
  return response_body_parser_up_t(new video_response_body_parser(aVideoPath));
}

size_t ResponseBodyParser__HeldBytes(const response_body_parser_like& aParser) {
  const auto* parser = dynamic_cast<const video_response_body_parser*>(&aParser);
  return parser ? parser->heldBytes() : 0;
}

}}}}  // namespace Tarn::Support::Viinex::Internal
