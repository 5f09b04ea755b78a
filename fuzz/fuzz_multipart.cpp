// The multipart export response parser, differential: one body fed whole to
// one parser and in pieces to another must give the same file bytes, the same
// completion and the same result of getVideoInfo, since the HTTP layer may cut
// a body anywhere. After every piece the memory the parser holds must stay
// under its caps, and the file may only grow.
//
// Input layout (all of it chosen by the fuzzer):
//   byte 0     mode: bits 0-2 the boundary (0-5 a fixed one, 6-7 one taken
//              from the input), bits 3-4 how the content type spells it,
//              bits 5-6 how the body is cut, bit 7 a further field below
//   byte 1     number of cut positions n (at most 64 are used)
//   2n bytes   cut positions, 16 bits little-endian each, scaled to the body
//   if the boundary is taken from the input: one length byte, then its bytes
//   if bit 7: three bytes; when the first is 0xF0 or more, the body is made
//              long by repeating a stretch of it: the first byte's low bits
//              give the length (72 KiB or 144 KiB: past the header block cap),
//              the other two where the stretch begins and ends, scaled to the
//              body
//   the rest   the body
// A missing field reads as zero. "Whole" is one call for a body of up to 64
// KiB, the most the HTTP layer hands on at once, and 64 KiB pieces beyond.
#include <tarn/support/viinex/internal/http-response.h>

#include "fuzz_support.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <typeinfo>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Tarn::Support::Viinex::video_info;
using Tarn::Support::Viinex::Internal::kRESPONSE_HEADER_BLOCK_CAP;
using Tarn::Support::Viinex::Internal::kRESPONSE_KEPT_PARTS_CAP;
using Tarn::Support::Viinex::Internal::response_body_parser_up_t;
using Tarn::Support::Viinex::Internal::ResponseBodyParser__CreateVideo;
using Tarn::Support::Viinex::Internal::ResponseBodyParser__HeldBytes;

// The HTTP layer hands the body on in pieces no larger than this.
constexpr size_t kLARGEST_PIECE = 64 * 1024;
constexpr size_t kLONG_BODY_STEP = 72 * 1024;

class _T_reader {
 public:
  _T_reader(const uint8_t* aData, size_t aSize) : data_(aData), size_(aSize) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() {
    const uint16_t low = byte();
    return static_cast<uint16_t>(low | (byte() << 8));
  }
  std::string bytes(size_t aCount) {
    const size_t n = std::min(aCount, size_ - at_);
    std::string out(reinterpret_cast<const char*>(data_) + at_, n);
    at_ += n;
    return out;
  }
  std::string rest() { return bytes(size_ - at_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct _T_input {
  std::string content_type_;
  size_t delimiter_size_ = 0;  // at most "--" and the boundary
  std::string body_;
  std::vector<size_t> cuts_;  // ascending, each within (0, body size)
};

std::string _T_content_type(const std::string& aBoundary, unsigned aForm) {
  switch (aForm) {
    case 0: return "multipart/mixed; boundary=" + aBoundary;
    case 1: return "multipart/mixed; boundary=\"" + aBoundary + "\"";
    case 2: return "multipart/mixed;boundary=" + aBoundary + ";charset=utf-8";
    default: return "multipart/mixed";  // no parameter: an empty delimiter
  }
}

_T_input _T_decode(const uint8_t* aData, size_t aSize) {
  static const char* const kBOUNDARIES[] = {"frontier", "b", "aaa", "abab", "-a-", "\r\n"};
  _T_reader in(aData, aSize);
  const uint8_t mode = in.byte();
  std::vector<uint16_t> positions(std::min<size_t>(in.byte(), 64));
  for (auto& p : positions) p = in.u16();

  _T_input out;
  const unsigned choice = mode & 7;
  std::string boundary = choice < 6 ? kBOUNDARIES[choice] : in.bytes(in.byte());
  // A semicolon would end the parameter early; the form decides quoting.
  boundary.erase(std::remove(boundary.begin(), boundary.end(), ';'), boundary.end());
  const unsigned form = (mode >> 3) & 3;
  if (boundary.empty() && form != 3) boundary = "x";
  out.content_type_ = _T_content_type(boundary, form);
  if (form != 3) out.delimiter_size_ = boundary.size() + 2;

  // Long bodies are slow to feed (every byte compared under the coverage
  // hooks), so they are rare and no longer than needed to pass the caps that
  // small bodies cannot reach; the kept-parts cap is left to the unit tests.
  bool longBody = false;
  size_t longSize = 0, from = 0, to = 0;
  if (mode & 0x80) {
    const uint8_t size = in.byte();
    longBody = size >= 0xF0;
    longSize = kLONG_BODY_STEP << (size & 1);
    from = in.byte();
    to = in.byte();
  }
  out.body_ = in.rest();
  if (longBody && !out.body_.empty()) {
    // Repeat the stretch [from, to) (scaled to the body) until the body is
    // about longSize bytes: an endless preamble, header block, summary or
    // video part, depending on where the stretch lies.
    const size_t n = out.body_.size();
    size_t begin = from * n / 256, end = std::max(to * n / 256, begin + 1);
    end = std::min(end, n);
    begin = std::min(begin, end - 1);
    const std::string stretch = out.body_.substr(begin, end - begin);
    std::string grown = out.body_.substr(0, end);
    grown.reserve(longSize + n);
    while (grown.size() < longSize) grown += stretch;
    grown += out.body_.substr(end);
    out.body_.swap(grown);
  }

  const size_t n = out.body_.size();
  const unsigned cutting = (mode >> 5) & 3;
  if (cutting == 1 && !longBody) {
    for (size_t i = 1; i < n; ++i) out.cuts_.push_back(i);  // byte by byte
  } else if (cutting == 2 && !positions.empty()) {
    // Even steps: the same cut relative to every repetition of a stretch.
    const size_t step = std::max<size_t>(1, positions[0] % 4096);
    for (size_t i = step; i < n; i += step) out.cuts_.push_back(i);
  } else {
    for (uint16_t p : positions) out.cuts_.push_back(static_cast<size_t>(p) * n / 65536);
  }
  // Pieces never exceed what the HTTP layer delivers at once.
  std::vector<size_t> cuts;
  size_t last = 0;
  std::sort(out.cuts_.begin(), out.cuts_.end());
  for (size_t c : out.cuts_) {
    if (c == 0 || c >= n || c == last) continue;
    while (c - last > kLARGEST_PIECE) cuts.push_back(last += kLARGEST_PIECE);
    if (c > last) cuts.push_back(last = c);
  }
  while (n - last > kLARGEST_PIECE) cuts.push_back(last += kLARGEST_PIECE);
  out.cuts_.swap(cuts);
  return out;
}

// What one parser made of the body.
struct _T_outcome {
  bool complete_ = false;
  enum { kFALSE, kTRUE, kTHROWS } result_ = kFALSE;
  video_info info_;
  std::string error_;  // type and text of the exception
  std::string file_;
};

std::string _T_read(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

off_t _T_file_size(const std::string& aPath) {
  struct stat st;
  FUZZ_CHECK(::stat(aPath.c_str(), &st) == 0);
  return st.st_size;
}

// Memory a parser may hold between two pieces: its parts under the kept-parts
// cap, and a buffer that holds at most a header block under its cap, or a
// delimiter and the bytes that decide what follows it (with room for the
// buffer's growth and its delayed shrinking).
size_t _T_held_bound(const _T_input& aInput) {
  return kRESPONSE_KEPT_PARTS_CAP + 4 * (kRESPONSE_HEADER_BLOCK_CAP + aInput.delimiter_size_ + 8);
}

// Feeds the body in the pieces given by aCuts (none: whole) and asks for the
// result, on a download coroutine's stack.
_T_outcome _T_run(const _T_input& aInput, const std::vector<size_t>& aCuts, const std::string& aPath) {
  _T_outcome out;
  Fuzz__RunOnSmallStack([&] {
    response_body_parser_up_t parser = ResponseBodyParser__CreateVideo(aPath);
    parser->setBoundary(aInput.content_type_);
    const size_t bound = _T_held_bound(aInput);
    off_t written = 0;
    bool complete = false;
    size_t begin = 0;
    for (size_t i = 0; i <= aCuts.size(); ++i) {
      const size_t end = i < aCuts.size() ? aCuts[i] : aInput.body_.size();
      parser->handleChunkData(aInput.body_.data() + begin, end - begin);
      begin = end;
      const size_t held = ResponseBodyParser__HeldBytes(*parser);
      if (held > bound) Fuzz__Fail("parser holds %zu bytes after %zu of %zu, bound %zu", held, end,
                                   aInput.body_.size(), bound);
      // Completion is final, and the file follows the body without going back.
      FUZZ_CHECK(!complete || parser->testComplete());
      complete = parser->testComplete();
      // Looked at after some 64 pieces spread over the body: a look per byte
      // would cost more than the parsing.
      if (i % (aCuts.size() / 64 + 1) == 0 || i == aCuts.size()) {
        const off_t size = _T_file_size(aPath);
        FUZZ_CHECK(size >= written);
        written = size;
      }
    }
    out.complete_ = parser->testComplete();
    try {
      out.result_ = parser->getVideoInfo(out.info_) ? _T_outcome::kTRUE : _T_outcome::kFALSE;
    } catch (const std::exception& e) {
      // The decoder's exceptions for a summary that is no JSON object are an
      // outcome like any other here; they must agree, and nothing else may
      // escape (an exception of another kind ends the run as a crash).
      out.result_ = _T_outcome::kTHROWS;
      out.error_ = std::string(typeid(e).name()) + ": " + e.what();
    }
    if (out.result_ == _T_outcome::kTRUE) FUZZ_CHECK(out.info_.path_ == aPath);
  });
  out.file_ = _T_read(aPath);
  // Gone at once: a run that ends in a crash leaves at most the directory.
  ::unlink(aPath.c_str());
  return out;
}

// A directory of this process for the two video files, on tmpfs when there is
// one, removed at exit. Kept for the life of the process, never destroyed, so
// the exit handler can still use it.
const std::string& _T_directory() {
  static const std::string* dir = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    auto* path = new std::string(std::string(base) + "/tarn-fuzz-multipart-XXXXXX");
    if (::mkdtemp(&(*path)[0]) == nullptr) Fuzz__Fail("mkdtemp %s", path->c_str());
    std::atexit([] {
      ::unlink((*dir + "/whole.mp4").c_str());
      ::unlink((*dir + "/pieces.mp4").c_str());
      ::rmdir(dir->c_str());
    });
    return path;
  }();
  return *dir;
}

void _T_expect_same(const _T_outcome& aWhole, const _T_outcome& aPieces) {
  if (aWhole.complete_ != aPieces.complete_)
    Fuzz__Fail("complete: whole %d, in pieces %d", aWhole.complete_, aPieces.complete_);
  if (aWhole.file_ != aPieces.file_) {
    const auto diff = std::mismatch(aWhole.file_.begin(), aWhole.file_.end(), aPieces.file_.begin(),
                                    aPieces.file_.end());
    Fuzz__Fail("file: whole %zu bytes, in pieces %zu bytes, first difference at %zu", aWhole.file_.size(),
               aPieces.file_.size(), static_cast<size_t>(diff.first - aWhole.file_.begin()));
  }
  if (aWhole.result_ != aPieces.result_)
    Fuzz__Fail("getVideoInfo: whole %d, in pieces %d", aWhole.result_, aPieces.result_);
  if (aWhole.error_ != aPieces.error_)
    Fuzz__Fail("exception: whole <%s>, in pieces <%s>", aWhole.error_.c_str(), aPieces.error_.c_str());
  if (aWhole.result_ == _T_outcome::kTRUE) {
    const video_info& a = aWhole.info_;
    const video_info& b = aPieces.info_;
    FUZZ_CHECK(a.min_ts_ == b.min_ts_ && a.max_ts_ == b.max_ts_ && a.size_ == b.size_ && a.width_ == b.width_ &&
               a.height_ == b.height_);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const _T_input input = _T_decode(aData, aSize);
  const std::string dir = _T_directory();
  const std::string wholePath = dir + "/whole.mp4";
  const std::string piecesPath = dir + "/pieces.mp4";
  std::vector<size_t> wholeCuts;
  for (size_t at = kLARGEST_PIECE; at < input.body_.size(); at += kLARGEST_PIECE) wholeCuts.push_back(at);
  const _T_outcome whole = _T_run(input, wholeCuts, wholePath);
  const _T_outcome pieces = _T_run(input, input.cuts_, piecesPath);
  _T_expect_same(whole, pieces);
  return 0;
}
