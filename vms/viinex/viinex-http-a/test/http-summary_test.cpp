// Decoding of the export summary: accepted and rejected summaries with their
// exact log lines, the exceptions for text that is not a JSON object, and the
// nesting limit that keeps a hostile summary from overflowing the download
// coroutine's stack.
#include <tarn/support/viinex/internal/http-summary.h>

#include <tarn/testing/log_capture.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/context/stack_traits.hpp>
#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Tarn::Support::Viinex::video_info;
using Tarn::Support::Viinex::Internal::kSUMMARY_MAX_DEPTH;
using Tarn::Support::Viinex::Internal::Summary__DecodeVideoInfo;
namespace Capture = Tarn::Testing;

struct log_line {
  int level_;
  const char* func_;
  std::string message_;
};

const char* const kDECODE = "Summary__DecodeVideoInfo";

std::string _T_records() {
  std::string out;
  for (const auto& r : Capture::LogCapture__Records())
    out += std::to_string(r.level_) + "|" + r.func_ + "|" + r.message_ + "\n";
  return out;
}

std::string _T_expected(const std::vector<log_line>& aLines) {
  std::string out;
  for (const auto& l : aLines) out += std::to_string(l.level_) + "|" + l.func_ + "|" + l.message_ + "\n";
  return out;
}

std::string _T_track(const std::string& aCodec, const std::string& aWidth, const std::string& aHeight,
                     const std::string& aInterval) {
  return "{\"codec\":" + aCodec + ",\"width\":" + aWidth + ",\"height\":" + aHeight + ",\"interval\":" + aInterval +
         "}";
}

std::string _T_summary(const std::string& aTracks) { return "{\"length\":123456,\"tracks\":[" + aTracks + "]}"; }

const std::string kVIDEO = _T_track("\"H264\"", "1920", "1080", "[\"20240101T000000\",\"20240101T000100\"]");
const std::string kNOT_FOUND = "fail: video track not found";
const std::string kTRACK0 = "fail: param <#/tracks/0> has invalid value";

std::string _T_nested(int aDepth) { return std::string(aDepth, '[') + std::string(aDepth, ']'); }

// Accepted summaries: every field of the record comes from the summary as is.
TEST(SummaryDecode, AcceptsAndTakesTheFirstAcceptableTrack) {
  struct test_case {
    const char* name_;
    std::string json_;
    video_info expected_;
    std::vector<log_line> log_;
  };
  const std::vector<test_case> cases = {
      {"one H264 track", _T_summary(kVIDEO), {"", "20240101T000000", "20240101T000100", 123456, 1920, 1080}, {}},
      {"H265, extremes of every range",
       "{\"tracks\":[" + _T_track("\"H265\"", "65535", "0", "[\"a\",\"b\"]") + "],\"length\":4294967295}",
       {"", "a", "b", 4294967295u, 65535, 0},
       {}},
      {"whole number with a fraction part", _T_summary(_T_track("\"H264\"", "640.0", "480", "[\"x\",\"y\"]")),
       {"", "x", "y", 123456, 640, 480},
       {}},
      {"audio track first, then video",
       _T_summary("{\"codec\":\"AAC\",\"interval\":[\"q\",\"r\"]}," + kVIDEO),
       {"", "20240101T000000", "20240101T000100", 123456, 1920, 1080},
       {{1, kDECODE, "fail: param <#/codec> has invalid value"}, {1, kDECODE, kTRACK0}}},
      {"first of two acceptable tracks",
       _T_summary(kVIDEO + "," + _T_track("\"H265\"", "352", "288", "[\"c\",\"d\"]")),
       {"", "20240101T000000", "20240101T000100", 123456, 1920, 1080},
       {}},
      {"rejected track leaves fields, the accepted one overwrites them",
       _T_summary(_T_track("\"H264\"", "320", "240", "[1,2]") + "," + kVIDEO),
       {"", "20240101T000000", "20240101T000100", 123456, 1920, 1080},
       {{1, "_T_jnode__get_text", "fail: param #/0 has invalid type"},
        {1, kDECODE, "fail: param <#/interval/0> has invalid value"},
        {1, kDECODE, kTRACK0}}},
      {"track that is not an object is skipped", _T_summary("5," + kVIDEO),
       {"", "20240101T000000", "20240101T000100", 123456, 1920, 1080},
       {{1, kDECODE, kTRACK0}}},
      {"other members and brackets in strings and comments are ignored",
       "/* [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[ */ {\"note\":\"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\","
       "\"esc\":\"\\\"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\", // {{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{\n"
       "\"length\":1,\"tracks\":[" + kVIDEO + "]}",
       {"", "20240101T000000", "20240101T000100", 1, 1920, 1080},
       {}},
      {"nesting at the limit is accepted",
       "{\"x\":" + _T_nested(kSUMMARY_MAX_DEPTH - 1) + ",\"length\":7,\"tracks\":[" + kVIDEO + "]}",
       {"", "20240101T000000", "20240101T000100", 7, 1920, 1080},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name_);
    Capture::LogCapture__Clear();
    video_info info;
    info.path_ = "/untouched";
    ASSERT_TRUE(Summary__DecodeVideoInfo(info, c.json_)) << _T_records();
    EXPECT_EQ(info.path_, "/untouched");
    EXPECT_EQ(info.min_ts_, c.expected_.min_ts_);
    EXPECT_EQ(info.max_ts_, c.expected_.max_ts_);
    EXPECT_EQ(info.size_, c.expected_.size_);
    EXPECT_EQ(info.width_, c.expected_.width_);
    EXPECT_EQ(info.height_, c.expected_.height_);
    EXPECT_EQ(_T_records(), _T_expected(c.log_));
  }
}

// Rejected summaries: false, and exactly these log lines (the accessors' own
// line first, then the decoder's).
TEST(SummaryDecode, RejectsWithTheExactLogLines) {
  struct test_case {
    const char* name_;
    std::string json_;
    std::vector<log_line> log_;
  };
  const std::vector<test_case> cases = {
      {"codec in lower case", _T_summary(_T_track("\"h264\"", "1920", "1080", "[\"a\",\"b\"]")),
       {{1, kDECODE, "fail: param <#/codec> has invalid value"}, {1, kDECODE, kTRACK0}, {4, kDECODE, kNOT_FOUND}}},
      {"codec that is not text", _T_summary(_T_track("264", "1920", "1080", "[\"a\",\"b\"]")),
       {{1, "_T_jnode__get_text", "fail: param #/codec has invalid type"},
        {1, kDECODE, "fail: param <#/codec> has invalid value"},
        {1, kDECODE, kTRACK0},
        {4, kDECODE, kNOT_FOUND}}},
      {"fractional width", _T_summary(_T_track("\"H264\"", "1920.5", "1080", "[\"a\",\"b\"]")),
       {{1, "_T_jnode__get_uint16", "fail: param #/width has invalid type"},
        {1, kDECODE, "fail: param <#/width> has invalid value"},
        {1, kDECODE, kTRACK0},
        {4, kDECODE, kNOT_FOUND}}},
      {"width above 65535", _T_summary(_T_track("\"H264\"", "65536", "1080", "[\"a\",\"b\"]")),
       {{1, "_T_jnode__get_uint16", "fail: param #/width has invalid value (actual:65536, max:65535)"},
        {1, kDECODE, "fail: param <#/width> has invalid value"},
        {1, kDECODE, kTRACK0},
        {4, kDECODE, kNOT_FOUND}}},
      {"negative height", _T_summary(_T_track("\"H265\"", "1920", "-1", "[\"a\",\"b\"]")),
       {{1, "_T_jnode__get_uint16", "fail: param #/height has invalid value (actual:-1, min:0)"},
        {1, kDECODE, "fail: param <#/height> has invalid value"},
        {1, kDECODE, kTRACK0},
        {4, kDECODE, kNOT_FOUND}}},
      {"interval of numbers", _T_summary(_T_track("\"H264\"", "1920", "1080", "[1,2]")),
       {{1, "_T_jnode__get_text", "fail: param #/0 has invalid type"},
        {1, kDECODE, "fail: param <#/interval/0> has invalid value"},
        {1, kDECODE, kTRACK0},
        {4, kDECODE, kNOT_FOUND}}},
      {"interval ending in a number", _T_summary(_T_track("\"H264\"", "1920", "1080", "[\"a\",2]")),
       {{1, "_T_jnode__get_text", "fail: param #/1 has invalid type"},
        {1, kDECODE, "fail: param <#/interval/1> has invalid value"},
        {1, kDECODE, kTRACK0},
        {4, kDECODE, kNOT_FOUND}}},
      {"interval of three items", _T_summary(_T_track("\"H264\"", "1920", "1080", "[\"a\",\"b\",\"c\"]")),
       {{1, kDECODE, "fail: param <#/interval> has invalid value"}, {1, kDECODE, kTRACK0}, {4, kDECODE, kNOT_FOUND}}},
      {"interval that is not an array", _T_summary(_T_track("\"H264\"", "1920", "1080", "\"a,b\"")),
       {{1, kDECODE, "fail: param <#/interval> has invalid value"}, {1, kDECODE, kTRACK0}, {4, kDECODE, kNOT_FOUND}}},
      {"empty tracks", _T_summary(""), {{4, kDECODE, kNOT_FOUND}}},
      {"second of two bad tracks is named by its index", _T_summary("null,[]"),
       {{1, kDECODE, kTRACK0}, {1, kDECODE, "fail: param <#/tracks/1> has invalid value"}, {4, kDECODE, kNOT_FOUND}}},
      {"length missing, before tracks are looked at", "{\"tracks\":[" + kVIDEO + "]}",
       {{1, "Jnode__GetUint32", "fail: param #/length is absent"},
        {1, kDECODE, "fail: param <#/length> has invalid value"}}},
      {"length above 32 bits", "{\"length\":4294967296,\"tracks\":[" + kVIDEO + "]}",
       {{1, "_T_jnode__get_uint32", "fail: param #/length has invalid value (actual:4294967296, max:4294967295)"},
        {1, kDECODE, "fail: param <#/length> has invalid value"}}},
      {"tracks missing", "{\"length\":1}", {{1, kDECODE, "fail: param <#/tracks> has invalid value"}}},
      {"tracks not an array", "{\"length\":1,\"tracks\":{}}",
       {{1, kDECODE, "fail: param <#/tracks> has invalid value"}}},
      {"nesting one past the limit",
       "{\"x\":" + _T_nested(kSUMMARY_MAX_DEPTH) + ",\"length\":7,\"tracks\":[" + kVIDEO + "]}",
       {{1, kDECODE, "fail: summary nested deeper than " + std::to_string(kSUMMARY_MAX_DEPTH) + " levels"}}},
      {"deep nesting of objects", std::string(100, '{'),
       {{1, kDECODE, "fail: summary nested deeper than " + std::to_string(kSUMMARY_MAX_DEPTH) + " levels"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name_);
    Capture::LogCapture__Clear();
    video_info info;
    EXPECT_FALSE(Summary__DecodeVideoInfo(info, c.json_));
    EXPECT_EQ(_T_records(), _T_expected(c.log_));
  }
}

// Text that is not a JSON object ends with the JSON value tree's exception,
// and the decoder adds no log line of its own.
TEST(SummaryDecode, TextThatIsNotAnObjectThrowsTheTreesException) {
  const std::vector<std::string> texts = {"", "   ", "{\"length\":1,", "[" + kVIDEO + "]", "\"text\"", "42"};
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    Capture::LogCapture__Clear();
    video_info info;
    EXPECT_THROW(Summary__DecodeVideoInfo(info, text), std::runtime_error);
    EXPECT_EQ(_T_records(), "");
  }
}

// The track function on its own, over a tree the caller built.
TEST(SummaryDecode, DecodesOneTrackObject) {
  using Tarn::Support::jnode;
  using Tarn::Support::jnode_map;
  using Tarn::Support::jnode_vector;
  jnode_map track;
  track["codec"] = jnode("H265");
  track["width"] = jnode(int64_t{1280});
  track["height"] = jnode(int64_t{720});
  track["interval"] = jnode(jnode_vector{jnode("from"), jnode("to")});
  Capture::LogCapture__Clear();
  video_info info;
  ASSERT_TRUE(Summary__DecodeVideoInfo(info, track));
  EXPECT_EQ(info.width_, 1280);
  EXPECT_EQ(info.height_, 720);
  EXPECT_EQ(info.min_ts_, "from");
  EXPECT_EQ(info.max_ts_, "to");
  EXPECT_EQ(_T_records(), "");

  track.erase("height");
  EXPECT_FALSE(Summary__DecodeVideoInfo(info, track));
  EXPECT_EQ(_T_records(), _T_expected({{1, "Jnode__GetUint16", "fail: param #/height is absent"},
                                       {1, kDECODE, "fail: param <#/height> has invalid value"}}));
}

// A hostile summary decoded where downloads run: inside a coroutine with the
// default 128 KiB stack. Parsing 500 levels there would overflow the stack
// and kill the process; the decoder refuses it before parsing instead, while
// a summary at the limit still decodes there.
TEST(SummaryDecode, DeepSummaryIsRefusedInsideADownloadCoroutine) {
  ASSERT_EQ(boost::context::stack_traits::default_size(), 128u * 1024u);
  struct test_case {
    std::string json_;
    bool accepted_;
  };
  const std::vector<test_case> cases = {
      {_T_nested(500), false},
      {"{\"length\":1,\"tracks\":[" + _T_nested(500) + "]}", false},
      {"{\"length\":1,\"tracks\":[" + std::string(500, '{') + std::string(500, '}') + "]}", false},
      {"{\"x\":" + _T_nested(kSUMMARY_MAX_DEPTH - 1) + ",\"length\":1,\"tracks\":[" + kVIDEO + "]}", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json_.substr(0, 60));
    Capture::LogCapture__Clear();
    boost::asio::io_context ioc;
    bool ran = false;
    bool result = !c.accepted_;
    boost::asio::spawn(
        ioc,
        [&](boost::asio::yield_context) {
          video_info info;
          result = Summary__DecodeVideoInfo(info, c.json_);
          ran = true;
        },
        [](std::exception_ptr aError) {
          if (aError) std::rethrow_exception(aError);
        });
    ioc.run();
    ASSERT_TRUE(ran);
    EXPECT_EQ(result, c.accepted_);
    if (!c.accepted_) {
      EXPECT_TRUE(Capture::LogCapture__Has(
          1, "fail: summary nested deeper than " + std::to_string(kSUMMARY_MAX_DEPTH) + " levels", kDECODE))
          << Capture::LogCapture__Dump();
    }
  }
}

}  // namespace
