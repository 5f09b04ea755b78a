// The streamer unit fed frame after frame while the video library beneath it
// fails in every way it can - a refused format, a refused wrap, a failed
// copy, a refused frame - and the stream changes format as it goes. After
// each frame the unit must be exactly where a working unit would be (frame
// count, announced format, one log line per failure), nothing of the library
// may be left alive but the unit's allocator and server, and the buffer must
// be unmapped. LeakSanitizer (scripts/sanitize.sh) checks the heap besides.
#include <tarn/support/mediastreamer/vnx.h>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <tarn/testing/log_capture.h>
#include <tarn/testing/vnxvideo_double.h>
#include <tarn/types/exceptions.h>

namespace Tarn { namespace Support { namespace {

using Testing::LogCapture__Clear;
using Testing::LogCapture__Dump;
using Testing::LogCapture__Records;
using Testing::VnxDouble__Count;
using Testing::VnxDouble__Reset;
using Testing::VnxDouble__State;

struct stream_format {
  frame_type type_;
  uint16_t w_, h_;
  int format_;        // what the library is told
  const char* text_;  // what the statistics say
  size_t size_;       // packed bytes of one frame
};

// Odd sizes included: chroma planes are truncated halves.
const stream_format kFormats[] = {
    {kFRAME_TYPE__YUV420_I420, 64, 48, EMF_I420, "I420PLN", 64 * 48 + 2 * 32 * 24},
    {kFRAME_TYPE__YUV420_NV12, 64, 48, EMF_NV12, "NV12PLN", 64 * 48 + 64 * 24},
    {kFRAME_TYPE__MONO8, 64, 48, EMF_GRAY, "MONO8T", 64 * 48},
    {kFRAME_TYPE__YUV420_I420, 30, 18, EMF_I420, "I420PLN", 30 * 18 + 2 * 15 * 9},
    {kFRAME_TYPE__YUV420_NV12, 96, 32, EMF_NV12, "NV12PLN", 96 * 32 + 96 * 16},
    {kFRAME_TYPE__MONO8, 17, 5, EMF_GRAY, "MONO8T", 17 * 5},
};

enum failure { kNONE, kREFUSED_FORMAT, kREFUSED_WRAP, kFAILED_COPY, kREFUSED_PROCESS };

// A failure at each step of the frame path, with the call the library
// refuses and the line the unit must leave.
struct failure_row {
  failure failure_;
  const char* call_;
  int answer_;
  int level_;
  const char* line_;
  const char* func_;
};
const failure_row kFailures[] = {
    {kREFUSED_FORMAT, "vnxvideo_rawproc_set_format", -1, 2, "fail: vnxvideo_rawproc_set_format (answer:-1)",
     "handleStreamFrame"},
    {kREFUSED_WRAP, "vnxvideo_raw_sample_wrap", -2, 2, "fail: vnxvideo_raw_sample_wrap (answer:-2)",
     "handleStreamFrame"},
    {kFAILED_COPY, "vnxvideo_raw_sample_copy", -3, 1, "fail: vnxvideo_raw_sample_copy (answer:-3)",
     "VnxAllocator__DeepCopySample"},
    {kREFUSED_PROCESS, "vnxvideo_rawproc_process", -2, 2, nullptr, "handleStreamFrame"},
};

// A frame of pixels the test owns, wrapped as a GStreamer buffer without a
// copy; its bytes depend on the frame number, so a stale or mixed copy shows.
struct owned_frame {
  owned_frame(const stream_format& aFormat, uint64_t aNumber) : bytes_(aFormat.size_) {
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = uint8_t(i * 13 + aNumber * 7);
    buffer_ = gst_buffer_new_wrapped_full(GstMemoryFlags(0), bytes_.data(), bytes_.size(), 0, bytes_.size(),
                                          nullptr, nullptr);
  }
  ~owned_frame() { gst_buffer_unref(buffer_); }
  owned_frame(const owned_frame&) = delete;
  owned_frame& operator=(const owned_frame&) = delete;

  // No mapping is left: a block refuses a write mapping while it is mapped
  // for reading.
  bool unmapped() const {
    GstMemory* memory = gst_buffer_peek_memory(buffer_, 0);
    GstMapInfo info;
    if (!gst_memory_map(memory, &info, GST_MAP_WRITE)) return false;
    gst_memory_unmap(memory, &info);
    return true;
  }

  std::vector<uint8_t> bytes_;
  GstBuffer* buffer_;
};

std::string _T_Stats(streamer_unit_like* aUnit) {
  std::string text;
  aUnit->collectStats([](void* aOut, const char* aText) { *static_cast<std::string*>(aOut) = aText; }, &text);
  return text;
}

std::string _T_StatsText(uint64_t aCount, const char* aFormat, int aW, int aH) {
  return std::string(R"({"type":"vnx-streamer","name": "mediagrabber.0~vnx-streamer.0","stat": {"frame-count": )") +
         std::to_string(aCount) + R"(,"format": ")" + aFormat + R"(","wh": [)" + std::to_string(aW) + "," +
         std::to_string(aH) + "]}}";
}

class VnxUnitFailureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
  void SetUp() override {
    VnxDouble__Reset();
    LogCapture__Clear();
  }
  void TearDown() override { VnxDouble__Reset(); }
};

TEST_F(VnxUnitFailureTest, TenThousandFramesThroughFormatChangesAndEveryLibraryFailure) {
  constexpr uint64_t kFrames = 10000;
  constexpr uint64_t kFramesPerFormat = 97;
  auto& state = VnxDouble__State();
  streamer_unit_like* unit = Streamer__CreateVnx(R"({"endpoint": "cam-f", "max-size-mb": 8})");
  ASSERT_NE(nullptr, unit) << LogCapture__Dump();

  // The model of a working unit: what was announced and what was counted.
  std::optional<size_t> announced;
  uint64_t counted = 0;
  size_t seen[5] = {0, 0, 0, 0, 0};
  size_t announcements = 0, segments = 0;
  uint32_t lcg = 12345;
  for (uint64_t i = 0; i < kFrames; ++i) {
    const size_t format = (i / kFramesPerFormat) % (sizeof kFormats / sizeof kFormats[0]);
    const stream_format& f = kFormats[format];
    // Failures come at random, and the first frame of every third format
    // finds its announcement refused, so the next one must announce again.
    lcg = lcg * 1103515245u + 12345u;
    const uint32_t draw = (lcg >> 16) % 12;
    const failure_row* fail = draw < 4 ? &kFailures[draw] : nullptr;
    if (i % kFramesPerFormat == 0 && (i / kFramesPerFormat) % 3 == 1) fail = &kFailures[0];
    SCOPED_TRACE(::testing::Message() << "frame " << i << " format " << format << " failure "
                                      << (fail ? fail->call_ : "none"));

    state.answers_.clear();
    if (fail) state.answers_[fail->call_] = fail->answer_;
    state.calls_.clear();
    state.processed_.clear();
    state.wraps_.clear();
    state.set_formats_.clear();
    state.freed_wrapped_.clear();
    LogCapture__Clear();

    owned_frame frame(f, i);
    const frame_info2 info{i * 1000 + 999, f.w_, f.h_, f.type_};
    const bool announces = !announced || *announced != format;
    segments += i == 0 || format != (i - 1) / kFramesPerFormat % (sizeof kFormats / sizeof kFormats[0]);
    bool threw = false;
    try {
      unit->handleStreamFrame(info, frame.buffer_);
    } catch (const internal_error&) {
      threw = true;
    }

    // Only the failure that the frame reaches counts: a frame without an
    // announcement to make never calls set_format.
    failure reached = kNONE;
    if (fail && (fail->failure_ != kREFUSED_FORMAT || announces)) reached = fail->failure_;
    ASSERT_EQ(announces ? 1u : 0u, state.set_formats_.size());
    if (announces) {
      EXPECT_EQ(f.format_, state.set_formats_[0].format_);
      EXPECT_EQ(f.w_, state.set_formats_[0].width_);
      EXPECT_EQ(f.h_, state.set_formats_[0].height_);
      if (reached != kREFUSED_FORMAT) {
        announced = format;
        ++announcements;
      }
    }
    ++seen[reached];
    ASSERT_EQ(reached == kFAILED_COPY, threw);
    EXPECT_EQ(reached == kREFUSED_FORMAT ? 0u : 1u, state.wraps_.size());
    const bool processed = reached == kNONE || reached == kREFUSED_PROCESS;
    ASSERT_EQ(processed ? 1u : 0u, state.processed_.size());
    if (processed) {
      EXPECT_EQ(i, state.processed_[0].ts_);
      EXPECT_EQ("cam-f", state.processed_[0].allocator_);
      EXPECT_EQ(frame.bytes_, state.processed_[0].pixels_);
    }
    counted += reached == kNONE;

    // One line for a failure, at its level; none for a good frame.
    std::vector<std::string> lines;
    for (const auto& r : LogCapture__Records()) {
      if (r.level_ <= 2) lines.push_back(std::to_string(r.level_) + " " + r.func_ + ": " + r.message_);
    }
    if (reached == kNONE) {
      EXPECT_TRUE(lines.empty()) << LogCapture__Dump();
    } else {
      const std::string line = fail->line_ ? fail->line_
                                           : "fail: vnxvideo_rawproc_process (answer:-2, ts:" + std::to_string(i) + ")";
      EXPECT_EQ(std::vector<std::string>{std::to_string(fail->level_) + " " + fail->func_ + ": " + line}, lines);
    }

    // Nothing of the frame outlives the call.
    EXPECT_EQ(0, state.live_samples_);
    EXPECT_TRUE(frame.unmapped());
    ASSERT_TRUE(state.errors_.empty()) << state.errors_.front();
    const stream_format* shown = announced ? &kFormats[*announced] : nullptr;
    ASSERT_EQ(_T_StatsText(counted, shown ? shown->text_ : "", shown ? shown->w_ : 0, shown ? shown->h_ : 0),
              _T_Stats(unit));
  }
  // Every kind of failure happened many times, and so did format changes
  // (only a frame that announces can meet a refused format).
  for (failure k : {kNONE, kREFUSED_WRAP, kFAILED_COPY, kREFUSED_PROCESS}) {
    EXPECT_GT(seen[k], 500u) << "failure kind " << k;
  }
  EXPECT_GE(seen[kREFUSED_FORMAT], kFrames / kFramesPerFormat / 3);
  // Each format was announced once, in the end, however often it was refused.
  EXPECT_EQ(kFrames / kFramesPerFormat + 1, segments);
  EXPECT_EQ(segments, announcements);
  EXPECT_EQ(1, state.live_servers_);
  EXPECT_EQ(1, state.live_allocators_);

  unit->destroy();
  EXPECT_EQ(0, state.live_samples_);
  EXPECT_EQ(0, state.live_servers_);
  EXPECT_EQ(0, state.live_allocators_);
  EXPECT_TRUE(state.errors_.empty());
}

// A library that fails at destruction time too: the flush is refused and the
// unit still frees its server and its allocator, in that order.
TEST_F(VnxUnitFailureTest, RefusedFlushStillReleasesServerThenAllocator) {
  auto& state = VnxDouble__State();
  streamer_unit_like* unit = Streamer__CreateVnx(R"({"endpoint": "cam-g", "max-size-mb": 8})");
  ASSERT_NE(nullptr, unit) << LogCapture__Dump();
  owned_frame frame(kFormats[0], 1);
  unit->handleStreamFrame(frame_info2{1000, kFormats[0].w_, kFormats[0].h_, kFormats[0].type_}, frame.buffer_);
  state.answers_["vnxvideo_rawproc_flush"] = -3;
  state.calls_.clear();
  unit->destroy();
  EXPECT_EQ(std::vector<std::string>({"vnxvideo_rawproc_flush", "vnxvideo_rawproc_free", "vnxvideo_shm_allocator_free"}),
            state.calls_);
  EXPECT_EQ(0, state.live_servers_);
  EXPECT_EQ(0, state.live_allocators_);
  EXPECT_EQ(0, state.live_samples_);
}

}}}  // namespace Tarn::Support::(anonymous)
