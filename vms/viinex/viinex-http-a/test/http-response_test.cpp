// The multipart export response parser: real-looking bodies fed whole, byte
// by byte and cut at every position; the boundary forms of the content type;
// the file following the download; and what a hostile or failing peer can do:
// a boundary long enough to overflow a regular-expression engine inside the
// download coroutine, bodies that never end, bytes after the end, a full disk.
#include <tarn/support/viinex/internal/http-response.h>
#include <tarn/support/viinex/internal/http-summary.h>

#include <tarn/testing/log_capture.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/context/stack_traits.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Tarn::Support::Viinex::video_info;
using Tarn::Support::Viinex::Internal::kRESPONSE_HEADER_BLOCK_CAP;
using Tarn::Support::Viinex::Internal::kRESPONSE_KEPT_PARTS_CAP;
using Tarn::Support::Viinex::Internal::response_body_parser_up_t;
using Tarn::Support::Viinex::Internal::ResponseBodyParser__CreateVideo;
using Tarn::Support::Viinex::Internal::ResponseBodyParser__HeldBytes;
using Tarn::Support::Viinex::Internal::Summary__DecodeVideoInfo;
namespace Capture = Tarn::Testing;

// A fresh directory for the video files of one test, removed with its files.
class temp_dir {
 public:
  temp_dir() {
    char pattern[] = "/tmp/http-response-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~temp_dir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& aName) const { return path_ + "/" + aName; }

 private:
  std::string path_;
};

std::string _T_read(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string _T_records() {
  std::string out;
  for (const auto& r : Capture::LogCapture__Records())
    out += std::to_string(r.level_) + "|" + r.func_ + "|" + r.message_ + "\n";
  return out;
}

const std::string kCONTENT_TYPE = "multipart/mixed; boundary=frontier";
const std::string kD = "--frontier";

const std::string kJSON =
    "{\"length\":3000,\"tracks\":[{\"codec\":\"H264\",\"width\":1280,\"height\":720,"
    "\"interval\":[\"2024-01-01T00:00:00Z\",\"2024-01-01T00:01:00Z\"]}]}";
const std::string kJSON_AUDIO_FIRST =
    "{\"tracks\":[{\"codec\":\"AAC\"},{\"codec\":\"H265\",\"width\":640,\"height\":360,"
    "\"interval\":[\"t0\",\"t1\"]}],\"length\":17}";
const std::string kJSON_LOWER_CODEC =
    "{\"length\":3000,\"tracks\":[{\"codec\":\"h264\",\"width\":1280,\"height\":720,"
    "\"interval\":[\"a\",\"b\"]}]}";

// Video bytes full of near-delimiters: NULs, CRs, dashes, a boundary cut short,
// a blank line, and a CR of its own at the end.
const std::string kV1 = std::string("\x00\x00\x00\x18" "ftypisom", 12) + "\r\n--frontie\r\r\n--front\n-\r\n" +
                        "--frontiex\r\n\r\n" + std::string("\x00\r\n-", 5) + "mdat\r";
// A second run that ends in a blank line (only its last CR LF belongs to the delimiter).
const std::string kV2 = "second\r\n-frontier\r\n\r\n";

const std::string kVIDEO_HEAD = kD + "\r\nContent-Type: video/mp4\r\nContent-Length: 64\r\n\r\n";
const std::string kJSON_HEAD = "\r\n" + kD + "\r\nContent-Type: application/json\r\n\r\n";
const std::string kEND = "\r\n" + kD + "--";

struct outcome {
  bool complete_ = false;
  bool result_ = false;
  bool threw_ = false;
  std::string file_;
  video_info info_;
  std::string log_;
};

// Feeds aPieces to a new parser for aPath and collects what it did. aReadFile
// is false for a device such as /dev/full, which reads as endless zeros.
outcome _T_run(const std::string& aPath, const std::string& aContentType, const std::vector<std::string>& aPieces,
               bool aReadFile = true) {
  outcome out;
  // A new file each time: truncating a written file makes some file systems
  // flush it to disk on close, which would only slow the split sweeps down.
  if (aReadFile) ::unlink(aPath.c_str());
  Capture::LogCapture__Clear();
  {
    response_body_parser_up_t parser = ResponseBodyParser__CreateVideo(aPath);
    parser->setBoundary(aContentType);
    for (const auto& piece : aPieces) parser->handleChunkData(piece.data(), piece.size());
    out.complete_ = parser->testComplete();
    try {
      out.result_ = parser->getVideoInfo(out.info_);
    } catch (const std::runtime_error&) {
      out.threw_ = true;
    }
  }
  if (aReadFile) out.file_ = _T_read(aPath);
  out.log_ = _T_records();
  return out;
}

std::vector<std::string> _T_cut(const std::string& aBody, std::vector<size_t> aCuts) {
  std::sort(aCuts.begin(), aCuts.end());
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t cut : aCuts) {
    pieces.push_back(aBody.substr(from, cut - from));
    from = cut;
  }
  pieces.push_back(aBody.substr(from));
  return pieces;
}

struct body_case {
  const char* name_;
  std::string body_;
  bool complete_;
  enum { kFALSE, kTRUE, kTHROWS } result_;
  std::string file_;
  video_info info_;  // path_ is checked against the target file when the result is true
  std::string log_;  // records after feeding and getVideoInfo, "level|func|message" lines
};

const video_info kINFO = {"", "2024-01-01T00:00:00Z", "2024-01-01T00:01:00Z", 3000, 1280, 720};

std::vector<body_case> _T_body_cases() {
  const std::string typical = "preamble\r\n" + kVIDEO_HEAD + kV1 + kJSON_HEAD + kJSON + kEND + "\r\nepilogue";
  return {
      {"typical export", typical, true, body_case::kTRUE, kV1, kINFO, ""},
      {"two video parts go to the file one after the other",
       kVIDEO_HEAD + kV1 + "\r\n" + kD + "\r\nContent-Type: video/mp4\r\n\r\n" + kV2 + kJSON_HEAD + kJSON + kEND,
       true, body_case::kTRUE, kV1 + kV2, kINFO, ""},
      {"empty parts are completed",
       kVIDEO_HEAD + "\r\n" + kD + "\r\nContent-Type: text/plain\r\n\r\n\r\n" + kD +
           "\r\nContent-Type: video/mp4\r\n\r\n" + kV1 + kJSON_HEAD + kJSON + kEND,
       true, body_case::kTRUE, kV1, kINFO, ""},
      {"closing delimiter first", kD + "--\r\n", true, body_case::kFALSE, "", {}, ""},
      {"bytes after the closing delimiter change nothing",
       typical + "\r\n" + kD + "\r\nContent-Type: video/mp4\r\n\r\nMORE\r\n" + kD + "--", true, body_case::kTRUE,
       kV1, kINFO, ""},
      {"header rules: any case of names, exact value, LF-only lines, no colon, last repeat wins",
       kD + " \t\r\nCONTENT-type:\t video/mp4;codecs=x \nno colon here\r\n\r\n" + kV1 + "\r\n" + kD +
           "\r\ncontent-type: VIDEO/MP4\r\n\r\nUPPER\r\n" + kD +
           "\r\nContent-Type: video/mp4\r\nContent-Type: text/plain\r\n\r\nREPEATED\r\n" + kD +
           "\r\nContent-Type: application/json\r\n\r\n" + kJSON + kEND,
       true, body_case::kTRUE, kV1, kINFO, ""},
      {"video part last: the summary is empty text", kVIDEO_HEAD + kV1 + kEND, true, body_case::kTHROWS, kV1, {},
       ""},
      {"part without header lines", kVIDEO_HEAD + kV1 + "\r\n" + kD + "\r\n\r\n" + kJSON + kEND, true,
       body_case::kTRUE, kV1, kINFO, ""},
      {"body without its closing delimiter", kVIDEO_HEAD + kV1 + kJSON_HEAD + kJSON + "\r\n" + kD, false,
       body_case::kFALSE, kV1, {}, ""},
      {"closing dashes cut short", kVIDEO_HEAD + kV1 + kJSON_HEAD + kJSON + "\r\n" + kD + "-", false,
       body_case::kFALSE, kV1, {}, ""},
      {"no delimiter at all", "nothing but a preamble\r\n--frontie", false, body_case::kFALSE, "", {}, ""},
      {"summary with an audio track first", kVIDEO_HEAD + kV1 + kJSON_HEAD + kJSON_AUDIO_FIRST + kEND, true,
       body_case::kTRUE, kV1, {"", "t0", "t1", 17, 640, 360},
       "1|Summary__DecodeVideoInfo|fail: param <#/codec> has invalid value\n"
       "1|Summary__DecodeVideoInfo|fail: param <#/tracks/0> has invalid value\n"},
      {"summary rejected", kVIDEO_HEAD + kV1 + kJSON_HEAD + kJSON_LOWER_CODEC + kEND, true, body_case::kFALSE, kV1,
       {},
       "1|Summary__DecodeVideoInfo|fail: param <#/codec> has invalid value\n"
       "1|Summary__DecodeVideoInfo|fail: param <#/tracks/0> has invalid value\n"
       "4|Summary__DecodeVideoInfo|fail: video track not found\n"
       "1|getVideoInfo|fail: Jnode_DecodeVideoInfo\n"},
  };
}

void _T_check(const body_case& aCase, const std::string& aPath, const outcome& aOut) {
  EXPECT_EQ(aOut.complete_, aCase.complete_);
  EXPECT_EQ(aOut.threw_, aCase.result_ == body_case::kTHROWS);
  EXPECT_EQ(aOut.result_, aCase.result_ == body_case::kTRUE);
  EXPECT_EQ(aOut.file_, aCase.file_);
  EXPECT_EQ(aOut.log_, aCase.log_);
  if (aCase.result_ == body_case::kTRUE) {
    EXPECT_EQ(aOut.info_.path_, aPath);
    EXPECT_EQ(aOut.info_.min_ts_, aCase.info_.min_ts_);
    EXPECT_EQ(aOut.info_.max_ts_, aCase.info_.max_ts_);
    EXPECT_EQ(aOut.info_.size_, aCase.info_.size_);
    EXPECT_EQ(aOut.info_.width_, aCase.info_.width_);
    EXPECT_EQ(aOut.info_.height_, aCase.info_.height_);
  }
}

// The result does not depend on how the body is cut: whole, byte by byte, in
// two pieces at every position, and in three pieces at every pair of
// positions around each delimiter (CR, LF, dashes and boundary text split).
TEST(ResponseParser, BodiesGiveTheSameResultHoweverTheyAreCut) {
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  for (const auto& c : _T_body_cases()) {
    SCOPED_TRACE(c.name_);
    std::vector<std::vector<size_t>> cuts = {{}};
    std::vector<size_t> every;
    for (size_t i = 1; i < c.body_.size(); ++i) every.push_back(i);
    cuts.push_back(every);
    for (size_t i = 1; i < c.body_.size(); ++i) cuts.push_back({i});
    for (size_t at = c.body_.find(kD); at != std::string::npos; at = c.body_.find(kD, at + 1)) {
      const size_t from = at >= 3 ? at - 3 : 1;
      const size_t to = std::min(c.body_.size() - 1, at + kD.size() + 3);
      for (size_t i = std::max<size_t>(from, 1); i <= to; ++i)
        for (size_t j = i + 1; j <= to; ++j) cuts.push_back({i, j});
    }
    for (const auto& cut : cuts) {
      const outcome out = _T_run(path, kCONTENT_TYPE, _T_cut(c.body_, cut));
      std::ostringstream where;
      for (size_t p : cut) where << p << ' ';
      SCOPED_TRACE("cuts: " + where.str().substr(0, 40));
      _T_check(c, path, out);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// The body rules in their plainest form: the whole buffer searched again for
// every piece, the kept-back end found by trying every length. The parser must
// pass on exactly the same bytes after every piece.
class reference_parser {
 public:
  explicit reference_parser(const std::string& aDelimiter) : delimiter_(aDelimiter) {}

  void feed(const std::string& aPiece) {
    if (state_ == kCOMPLETE) return;
    buffer_ += aPiece;
    while (!buffer_.empty() && state_ != kCOMPLETE) {
      if (state_ == kWAITING) {
        const size_t at = buffer_.find(delimiter_);
        if (at == std::string::npos || buffer_.size() - at - delimiter_.size() < 2) return;
        buffer_.erase(0, at + delimiter_.size());
        if (buffer_.compare(0, 2, "--") == 0) {
          state_ = kCOMPLETE;
          return;
        }
        if (buffer_.compare(0, 2, "\r\n") == 0) buffer_.erase(0, 2);
        binary_ = false;
        body_.clear();
        state_ = kHEADERS;
      } else if (state_ == kHEADERS) {
        if (buffer_.size() < 2) return;
        size_t end = 0;
        size_t skip = 2;
        if (buffer_.compare(0, 2, "\r\n") != 0) {
          end = buffer_.find("\r\n\r\n");
          if (end == std::string::npos) return;
          skip = end + 4;
        }
        std::string block = buffer_.substr(0, end);
        buffer_.erase(0, skip);
        std::string type;
        bool typed = false;
        std::istringstream lines(block);
        for (std::string line; std::getline(lines, line);) {
          if (!line.empty() && line.back() == '\r') line.pop_back();
          const size_t colon = line.find(':');
          if (colon == std::string::npos) continue;
          std::string name = line.substr(0, colon);
          name.erase(0, name.find_first_not_of(" \t"));
          name.erase(name.find_last_not_of(" \t") + 1);
          for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          if (name == "content-type") {
            typed = true;
            type = line.substr(colon + 1);
          }
        }
        binary_ = typed && type.find("video/mp4") != std::string::npos;
        state_ = kBODY;
      } else {
        const size_t at = buffer_.find(delimiter_);
        if (at == std::string::npos) {
          size_t held = 0;
          const std::string crlf_delimiter = "\r\n" + delimiter_;
          for (size_t n = 1; n <= buffer_.size(); ++n) {
            const std::string end = buffer_.substr(buffer_.size() - n);
            if ((n < delimiter_.size() && delimiter_.compare(0, n, end) == 0) ||
                (n < crlf_delimiter.size() && crlf_delimiter.compare(0, n, end) == 0))
              held = n;
          }
          passOn(buffer_.substr(0, buffer_.size() - held));
          buffer_.erase(0, buffer_.size() - held);
          return;
        }
        size_t content = at;
        if (content >= 2 && buffer_.compare(content - 2, 2, "\r\n") == 0) content -= 2;
        passOn(buffer_.substr(0, content));
        buffer_.erase(0, at);
        bodies_.push_back(body_);
        state_ = kWAITING;
      }
    }
  }

  bool complete() const { return state_ == kCOMPLETE; }
  const std::string& file() const { return file_; }
  // What getVideoInfo gives: 0 false, 1 true, 2 an exception.
  int result() const {
    if (!complete() || bodies_.empty()) return 0;
    Capture::LogCapture__Clear();
    video_info info;
    try {
      return Summary__DecodeVideoInfo(info, bodies_.back()) ? 1 : 0;
    } catch (const std::runtime_error&) {
      return 2;
    }
  }

 private:
  enum { kWAITING, kHEADERS, kBODY, kCOMPLETE };
  void passOn(const std::string& aBytes) { (binary_ ? file_ : body_) += aBytes; }

  std::string delimiter_;
  std::string buffer_;
  std::string file_;
  std::string body_;
  std::vector<std::string> bodies_;
  bool binary_ = false;
  int state_ = kWAITING;
};

// Random bodies made of the pieces that matter (delimiters whole and cut
// short, CR, LF, dashes, header lines, blank lines, a summary), cut at random
// places, compared after every piece with the plain form of the rules. The
// boundaries include ones that repeat themselves, where a search that resumes
// in the middle of a near-match is easiest to get wrong.
TEST(ResponseParser, MatchesThePlainRulesOnRandomBodies) {
  const std::vector<std::string> boundaries = {"b", "frontier", "aaa", "abab", "-a-"};
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  std::mt19937 random(20240101);
  for (int round = 0; round < 1500; ++round) {
    const std::string boundary = boundaries[round % boundaries.size()];
    const std::string d = "--" + boundary;
    const std::vector<std::string> tokens = {
        d, d, d + "\r\n", d + "--", d.substr(0, d.size() - 1), "\r\n" + d.substr(0, d.size() / 2 + 1), "\r", "\n",
        "\r\n", "\r\n\r\n", "-", "--", "x", boundary, boundary.substr(0, 1), ":", "Content-Type: video/mp4\r\n",
        "content-TYPE:\tvideo/mp4 \n", "Content-Type: text/plain\r\n", "X-Other: 1\r\n", kJSON, std::string(1, '\0')};
    std::string body;
    const int count = static_cast<int>(random() % 60);
    for (int i = 0; i < count; ++i) body += tokens[random() % tokens.size()];
    std::vector<size_t> cuts;
    const bool byte_by_byte = round % 7 == 0;
    for (size_t i = 1; i < body.size(); ++i)
      if (byte_by_byte || random() % 5 == 0) cuts.push_back(i);
    const std::vector<std::string> pieces = _T_cut(body, cuts);
    SCOPED_TRACE("round " + std::to_string(round) + ", body: " + body);

    ::unlink(path.c_str());
    reference_parser reference(d);
    response_body_parser_up_t parser = ResponseBodyParser__CreateVideo(path);
    parser->setBoundary("multipart/mixed; boundary=" + boundary);
    for (const auto& piece : pieces) {
      parser->handleChunkData(piece.data(), piece.size());
      reference.feed(piece);
      ASSERT_EQ(_T_read(path), reference.file());
    }
    ASSERT_EQ(parser->testComplete(), reference.complete());
    const int expected = reference.result();
    int result = 2;
    try {
      video_info info;
      result = parser->getVideoInfo(info) ? 1 : 0;
    } catch (const std::runtime_error&) {
    }
    ASSERT_EQ(result, expected);
  }
}

// The first "boundary=" followed by something other than ";" gives the
// delimiter: its text up to the next ";" or the end, white space included,
// without enclosing double quotes. The table's texts are checked against the
// regular expression that defines the rule (here, on the main stack).
TEST(ResponseParser, BoundaryFormsOfTheContentType) {
  struct test_case {
    std::string content_type_;
    std::string boundary_;  // empty: no boundary parameter
  };
  const std::vector<test_case> cases = {
      {"multipart/mixed; boundary=abc", "abc"},
      {"multipart/mixed; boundary=\"abc\"", "abc"},
      {"multipart/mixed; boundary=abc; charset=utf-8", "abc"},
      {"multipart/mixed; boundary=\"abc\";charset=utf-8", "abc"},
      {"multipart/mixed; boundary=abc ; charset=utf-8", "abc "},
      {"multipart/mixed;boundary=a b=c", "a b=c"},
      {"multipart/mixed; boundary=;boundary=xyz", "xyz"},
      {"multipart/mixed; boundary=\"", "\""},
      {"multipart/mixed; boundary=\"abc", "\"abc"},
      {"multipart/mixed; x-boundary=abc; boundary=def", "abc"},
      {"multipart/mixed; Boundary=abc", ""},
      {"multipart/mixed", ""},
  };
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  const std::regex rule("boundary=([^;]+)");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content_type_);
    std::smatch match;
    std::string expected;
    if (std::regex_search(c.content_type_, match, rule)) {
      expected = match[1];
      if (expected.size() > 1 && expected.front() == '"' && expected.back() == '"')
        expected = expected.substr(1, expected.size() - 2);
    }
    ASSERT_EQ(expected, c.boundary_);

    const std::string d = "--" + (c.boundary_.empty() ? std::string("abc") : c.boundary_);
    const std::string body = d + "\r\nContent-Type: video/mp4\r\n\r\nVID\r\n" + d +
                             "\r\nContent-Type: application/json\r\n\r\n" + kJSON + "\r\n" + d + "--";
    const outcome out = _T_run(path, c.content_type_, {body});
    if (c.boundary_.empty()) {
      // Without a boundary the delimiter is empty: it matches at once, and the
      // body's leading "--" reads as the closing delimiter.
      EXPECT_TRUE(out.complete_);
      EXPECT_FALSE(out.result_);
      EXPECT_EQ(out.file_, "");
    } else {
      EXPECT_TRUE(out.result_) << out.log_;
      EXPECT_EQ(out.file_, "VID");
    }
  }
}

// Video bytes reach the file, flushed, as soon as they are known not to be
// part of a delimiter; only the undecided end waits.
TEST(ResponseParser, FileFollowsTheDownload) {
  const std::string d = "--boundary";
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"preamble " + d + "\r\nContent-Type: video/mp4\r\n\r\n", ""},
      {"0123", "0123"},
      {"45\r", "012345"},
      {"\n-", "012345"},
      {"x", "012345\r\n-x"},
      {"\r\n--bou", "012345\r\n-x"},
      {"nce", "012345\r\n-x\r\n--bounce"},
      {"\r\n" + d, "012345\r\n-x\r\n--bounce"},
      {"\r\n\r\n" + kJSON + "\r\n" + d + "--", "012345\r\n-x\r\n--bounce"},
  };
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  Capture::LogCapture__Clear();
  response_body_parser_up_t parser = ResponseBodyParser__CreateVideo(path);
  EXPECT_EQ(_T_read(path), "");
  parser->setBoundary("multipart/mixed; boundary=\"boundary\"");
  for (const auto& step : steps) {
    SCOPED_TRACE(step.first);
    parser->handleChunkData(step.first.data(), step.first.size());
    EXPECT_EQ(_T_read(path), step.second);
  }
  video_info info;
  EXPECT_TRUE(parser->getVideoInfo(info)) << Capture::LogCapture__Dump();
  EXPECT_EQ(info.path_, path);
}

TEST(ResponseParser, CreationCreatesOrTruncatesTheFileOrThrows) {
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  { std::ofstream(path) << "old content"; }
  { ResponseBodyParser__CreateVideo(path); }
  EXPECT_EQ(_T_read(path), "");

  const std::string bad = dir.file("missing-dir/video.mp4");
  try {
    ResponseBodyParser__CreateVideo(bad);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to open video file: " + bad);
  }
}

// A full disk fails the export: one level-1 line naming the file, no further
// write for the rest of the body, and no result even though the body and the
// summary are fine.
TEST(ResponseParser, FailedWriteFailsTheExport) {
  const std::string body = kVIDEO_HEAD + kV1 + "\r\n" + kD + "\r\nContent-Type: video/mp4\r\n\r\n" + kV2 +
                           kJSON_HEAD + kJSON + kEND;
  for (size_t piece : {body.size(), size_t{1}, size_t{7}}) {
    SCOPED_TRACE(piece);
    std::vector<std::string> pieces;
    for (size_t at = 0; at < body.size(); at += piece) pieces.push_back(body.substr(at, piece));
    const outcome out = _T_run("/dev/full", kCONTENT_TYPE, pieces, false);
    EXPECT_TRUE(out.complete_);
    EXPECT_FALSE(out.threw_);
    EXPECT_FALSE(out.result_);
    EXPECT_EQ(out.log_, "1|passOn|fail: ofstream::write (file:/dev/full)\n");
  }
}

// A boundary of about a thousand characters, handled where downloads run:
// inside a coroutine with the default 128 KiB stack. A regular-expression
// search for it there overflows the stack and kills the process.
TEST(ResponseParser, LongBoundaryInsideADownloadCoroutine) {
  ASSERT_EQ(boost::context::stack_traits::default_size(), 128u * 1024u);
  std::string boundary;
  for (int i = 0; boundary.size() < 1000; ++i) boundary += "0123456789abcdef-_"[i % 18];
  const std::string d = "--" + boundary;
  const std::string body = "preamble\r\n" + d + "\r\nContent-Type: video/mp4\r\n\r\n" + kV1 + "\r\n" + d +
                           "\r\nContent-Type: application/json\r\n\r\n" + kJSON + "\r\n" + d + "--\r\n";
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  for (const std::string& content_type :
       {"multipart/mixed; boundary=" + boundary, "multipart/mixed; boundary=\"" + boundary + "\"; charset=x"}) {
    for (size_t piece : {body.size(), size_t{1}, size_t{999}}) {
      Capture::LogCapture__Clear();
      boost::asio::io_context ioc;
      bool complete = false;
      bool result = false;
      video_info info;
      boost::asio::spawn(
          ioc,
          [&](boost::asio::yield_context) {
            response_body_parser_up_t parser = ResponseBodyParser__CreateVideo(path);
            parser->setBoundary(content_type);
            for (size_t at = 0; at < body.size(); at += piece)
              parser->handleChunkData(body.data() + at, std::min(piece, body.size() - at));
            complete = parser->testComplete();
            result = parser->getVideoInfo(info);
          },
          [](std::exception_ptr aError) {
            if (aError) std::rethrow_exception(aError);
          });
      ioc.run();
      EXPECT_TRUE(complete);
      EXPECT_TRUE(result) << Capture::LogCapture__Dump();
      EXPECT_EQ(info.min_ts_, kINFO.min_ts_);
      EXPECT_EQ(_T_read(path), kV1);
    }
  }
}

// The same download coroutine receiving a summary nested 500 levels deep:
// the export fails cleanly instead of overflowing the stack.
TEST(ResponseParser, DeepSummaryInsideADownloadCoroutineFailsTheExport) {
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  const std::string body =
      kVIDEO_HEAD + kV1 + kJSON_HEAD + std::string(500, '[') + std::string(500, ']') + kEND;
  Capture::LogCapture__Clear();
  boost::asio::io_context ioc;
  bool result = true;
  boost::asio::spawn(
      ioc,
      [&](boost::asio::yield_context) {
        response_body_parser_up_t parser = ResponseBodyParser__CreateVideo(path);
        parser->setBoundary(kCONTENT_TYPE);
        parser->handleChunkData(body.data(), body.size());
        video_info info;
        result = parser->getVideoInfo(info);
      },
      [](std::exception_ptr aError) {
        if (aError) std::rethrow_exception(aError);
      });
  ioc.run();
  EXPECT_FALSE(result);
  EXPECT_EQ(_T_records(),
            "1|Summary__DecodeVideoInfo|fail: summary nested deeper than 32 levels\n"
            "1|getVideoInfo|fail: Jnode_DecodeVideoInfo\n");
}

// What one parser holds in memory stays bounded whatever the server sends:
// an endless preamble, a header block or a kept part without end, a flood of
// small parts, bytes after the end, or a long video part. Each case feeds its
// bytes in 64 KiB pieces and records the most memory held after any piece.
TEST(ResponseParser, MemoryStaysBoundedWhateverTheServerSends) {
  const size_t kPiece = 64 * 1024;
  const size_t kMiB = 1024 * 1024;
  const std::string kHeaderCap =
      "1|fail: part header block exceeds " + std::to_string(kRESPONSE_HEADER_BLOCK_CAP) + " bytes\n";
  const std::string kKeptCap =
      "1|fail: parts kept in memory exceed " + std::to_string(kRESPONSE_KEPT_PARTS_CAP) + " bytes\n";
  struct test_case {
    const char* name_;
    std::string head_;    // fed first
    std::string filler_;  // then repeated up to filler_bytes_
    size_t filler_bytes_;
    std::string tail_;    // fed last
    bool result_;
    std::string log_;
    size_t max_held_;    // most memory held after any piece
    size_t final_held_;  // memory held at the end
    size_t file_size_;
  };
  const std::string part_flood = kD + "\r\nContent-Type: text/plain\r\n\r\n" + std::string(100, 'p') + "\r\n";
  const std::vector<test_case> cases = {
      {"body without any delimiter", "", std::string(1000, 'x'), 40 * kMiB, "", false, "", kMiB, kMiB, 0},
      {"endless preamble with delimiter beginnings", "", "\r\n--frontie", 40 * kMiB, "", false, "", kMiB, kMiB, 0},
      {"header block without end", kD + "\r\n", "X-Filler: 0123456789\r\n", 40 * kMiB, "", false, kHeaderCap,
       kMiB, kMiB, 0},
      {"header block just below the cap", kD + "\r\nX-Long: ",
       std::string(kRESPONSE_HEADER_BLOCK_CAP - 10 - 8, 'h'), kRESPONSE_HEADER_BLOCK_CAP - 10 - 8,
       "\r\n\r\n" + kJSON + kEND, true, "", kMiB, kMiB, 0},
      {"kept part without end", kD + "\r\nContent-Type: application/json\r\n\r\n", std::string(1000, 'j'),
       40 * kMiB, "", false, kKeptCap, kRESPONSE_KEPT_PARTS_CAP + kMiB, kMiB, 0},
      {"flood of small kept parts", "", part_flood, 40 * kMiB, "", false, kKeptCap,
       kRESPONSE_KEPT_PARTS_CAP + kMiB, kMiB, 0},
      {"bytes after the closing delimiter", kVIDEO_HEAD + kV1 + kJSON_HEAD + kJSON + kEND,
       "\r\n" + kD + "\r\n" + std::string(1000, 'z'), 40 * kMiB, "", true, "", kMiB, kMiB, kV1.size()},
      {"long video part", kVIDEO_HEAD, std::string("\r\n-\r\n--frontie\r\x00", 16), 40 * kMiB,
       kJSON_HEAD + kJSON + kEND, true, "", kMiB, kMiB, 40 * kMiB},
  };
  temp_dir dir;
  const std::string path = dir.file("video.mp4");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name_);
    Capture::LogCapture__Clear();
    response_body_parser_up_t parser = ResponseBodyParser__CreateVideo(path);
    parser->setBoundary(kCONTENT_TYPE);
    size_t max_held = 0;
    auto feed = [&](const std::string& aBytes) {
      for (size_t at = 0; at < aBytes.size(); at += kPiece) {
        parser->handleChunkData(aBytes.data() + at, std::min(kPiece, aBytes.size() - at));
        max_held = std::max(max_held, ResponseBodyParser__HeldBytes(*parser));
      }
    };
    feed(c.head_);
    std::string block;
    while (block.size() < 4 * kMiB) block += c.filler_;
    for (size_t fed = 0; fed < c.filler_bytes_;) {
      const size_t n = std::min(block.size() - block.size() % c.filler_.size(), c.filler_bytes_ - fed);
      feed(block.substr(0, n));
      fed += n;
    }
    feed(c.tail_);
    video_info info;
    EXPECT_EQ(parser->getVideoInfo(info), c.result_);
    // Which step meets a cap first depends on where the bytes fall; the line
    // itself is fixed.
    std::string log;
    for (const auto& r : Capture::LogCapture__Records()) log += std::to_string(r.level_) + "|" + r.message_ + "\n";
    EXPECT_EQ(log, c.log_);
    EXPECT_LE(max_held, c.max_held_);
    EXPECT_LE(ResponseBodyParser__HeldBytes(*parser), c.final_held_);
    parser.reset();
    EXPECT_EQ(_T_read(path).size(), c.file_size_);
  }
}

}  // namespace
