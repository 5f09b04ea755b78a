#include <tarn/support/mediastreamer/vnx.h>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tarn/testing/log_capture.h>
#include <tarn/testing/vnxvideo_double.h>
#include <tarn/types/exceptions.h>

// A GStreamer allocator whose memory can be neither mapped nor copied: a
// buffer made of it cannot be mapped at all.
struct TUnmappable {
  GstAllocator parent_;
};
struct TUnmappableClass {
  GstAllocatorClass parent_class_;
};
G_DEFINE_TYPE(TUnmappable, t_unmappable, GST_TYPE_ALLOCATOR)
static void t_unmappable_class_init(TUnmappableClass* aClass) {
  GST_ALLOCATOR_CLASS(aClass)->free = [](GstAllocator*, GstMemory* aMemory) { g_free(aMemory); };
}
static void t_unmappable_init(TUnmappable* aSelf) {
  GstAllocator* allocator = GST_ALLOCATOR(aSelf);
  allocator->mem_type = "unmappable";
  allocator->mem_map = [](GstMemory*, gsize, GstMapFlags) -> gpointer { return nullptr; };
  allocator->mem_unmap = [](GstMemory*) {};
  allocator->mem_copy = [](GstMemory*, gssize, gssize) -> GstMemory* { return nullptr; };
  allocator->mem_share = [](GstMemory*, gssize, gssize) -> GstMemory* { return nullptr; };
  allocator->mem_is_span = [](GstMemory*, GstMemory*, gsize*) -> gboolean { return FALSE; };
}

namespace Tarn { namespace Support { namespace {

using Testing::LogCapture__Clear;
using Testing::LogCapture__Count;
using Testing::LogCapture__Dump;
using Testing::LogCapture__Has;
using Testing::LogCapture__Records;
using Testing::VnxDouble__Count;
using Testing::VnxDouble__Reset;
using Testing::VnxDouble__State;

const char* const kConf = R"({"endpoint": "cam-1", "max-size-mb": 64})";
const char* const kFreshStats =
    R"({"type":"vnx-streamer","name": "mediagrabber.0~vnx-streamer.0","stat": {"frame-count": 0,"format": "","wh": [0,0]}})";

// A frame in memory the test owns, wrapped as a GStreamer buffer without a
// copy, so that plane starts can be compared with the test's own addresses.
struct test_frame {
  test_frame(frame_type aType, uint16_t aW, uint16_t aH, uint64_t aTs, size_t aSize)
      : info_{aTs, aW, aH, aType}, bytes_(aSize) {
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = uint8_t(i * 7 + aW);
    // An empty frame is a buffer without memory blocks.
    buffer_ = bytes_.empty() ? gst_buffer_new()
                             : gst_buffer_new_wrapped_full(GstMemoryFlags(0), bytes_.data(), bytes_.size(), 0,
                                                           bytes_.size(), nullptr, nullptr);
  }
  test_frame(frame_type aType, uint16_t aW, uint16_t aH, uint64_t aTs = 0)
      : test_frame(aType, aW, aH, aTs, _T_Size(aType, aW, aH)) {}
  ~test_frame() { gst_buffer_unref(buffer_); }
  test_frame(const test_frame&) = delete;
  test_frame& operator=(const test_frame&) = delete;

  // Packed size of the planes the unit reads.
  static size_t _T_Size(frame_type aType, size_t aW, size_t aH) {
    switch (aType) {
      case kFRAME_TYPE__YUV420_I420: return aW * aH + 2 * (aW / 2) * (aH / 2);
      case kFRAME_TYPE__YUV420_NV12: return aW * aH + aW * (aH / 2);
      case kFRAME_TYPE__RGB24: return 3 * aW * aH;
      default: return aW * aH;
    }
  }

  // Whether no mapping of the buffer is left (a block refuses a write
  // mapping while it is mapped for reading).
  bool unmapped() const {
    if (gst_buffer_n_memory(buffer_) == 0) return true;
    GstMemory* memory = gst_buffer_peek_memory(buffer_, 0);
    GstMapInfo info;
    if (!gst_memory_map(memory, &info, GST_MAP_WRITE)) return false;
    gst_memory_unmap(memory, &info);
    return true;
  }

  frame_info2 info_;
  std::vector<uint8_t> bytes_;
  GstBuffer* buffer_;
};

class VnxUnitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  void SetUp() override {
    VnxDouble__Reset();
    LogCapture__Clear();
    unit_ = Streamer__CreateVnx(kConf);
    ASSERT_NE(nullptr, unit_) << LogCapture__Dump();
    VnxDouble__State().calls_.clear();
    LogCapture__Clear();
  }

  void TearDown() override {
    if (unit_) unit_->destroy();
    auto& state = VnxDouble__State();
    EXPECT_TRUE(state.errors_.empty()) << state.errors_.front();
    EXPECT_EQ(0, state.live_samples_);
    EXPECT_EQ(0, state.live_servers_);
    EXPECT_EQ(0, state.live_allocators_);
  }

  void Send(const test_frame& aFrame) { unit_->handleStreamFrame(aFrame.info_, aFrame.buffer_); }

  std::string Stats() {
    std::string text;
    int calls = 0;
    struct sink {
      std::string* text_;
      int* calls_;
    } s{&text, &calls};
    unit_->collectStats(
        [](void* aArg, const char* aText) {
          auto* out = static_cast<sink*>(aArg);
          *out->text_ = aText;
          ++*out->calls_;
        },
        &s);
    EXPECT_EQ(1, calls);
    return text;
  }

  static std::string StatsText(int aCount, const char* aFormat, int aW, int aH) {
    return std::string(R"({"type":"vnx-streamer","name": "mediagrabber.0~vnx-streamer.0","stat": {"frame-count": )") +
           std::to_string(aCount) + R"(,"format": ")" + aFormat + R"(","wh": [)" + std::to_string(aW) + "," +
           std::to_string(aH) + "]}}";
  }

  streamer_unit_like* unit_ = nullptr;
};

TEST_F(VnxUnitTest, CreatesTheServerInsideItsOwnAllocator) {
  auto& state = VnxDouble__State();
  EXPECT_EQ("cam-1", state.allocator_name_);
  EXPECT_EQ(64, state.allocator_max_size_mb_);
  EXPECT_EQ("cam-1", state.server_name_);
  EXPECT_EQ(64, state.server_max_size_mb_);
  EXPECT_EQ("cam-1", state.server_allocator_) << "the unit's allocator is current while the server is made";
  EXPECT_EQ(1, state.live_allocators_);
  EXPECT_EQ(1, state.live_servers_);
}

TEST_F(VnxUnitTest, DestroyFlushesThenFreesServerThenAllocator) {
  unit_->destroy();
  unit_ = nullptr;
  EXPECT_EQ(std::vector<std::string>({"vnxvideo_rawproc_flush", "vnxvideo_rawproc_free", "vnxvideo_shm_allocator_free"}),
            VnxDouble__State().calls_);
  EXPECT_TRUE(LogCapture__Has(5, "exec", "~vnx_streamer_unit")) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "done", "~vnx_streamer_unit")) << LogCapture__Dump();
}

TEST_F(VnxUnitTest, FactoryLogsTheConfigurationItBuilds) {
  unit_->destroy();
  VnxDouble__Reset();
  LogCapture__Clear();
  unit_ = Streamer__CreateVnx(R"({"endpoint": "yard", "max-size-mb": 0})");
  ASSERT_NE(nullptr, unit_);
  EXPECT_TRUE(LogCapture__Has(5, "exec", "Streamer__CreateVnx")) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(3, "exec: endpoint:<yard>, max-size-mb:<0>", "vnx_streamer_unit")) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "done", "vnx_streamer_unit")) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "done", "Streamer__CreateVnx")) << LogCapture__Dump();
  EXPECT_EQ("yard", VnxDouble__State().server_name_);
  EXPECT_EQ(0, VnxDouble__State().server_max_size_mb_);
}

TEST_F(VnxUnitTest, FactoryFailuresGiveNullAndLeaveNothing) {
  unit_->destroy();
  unit_ = nullptr;
  struct row {
    const char* what_;
    const char* conf_;
    const char* call_;  // call forced to fail, or null
    int answer_;
    bool null_server_;
    bool skip_actions_;
    std::vector<std::string> lines_;  // level-1 lines, in order
  };
  const row rows[] = {
      {"not JSON", "{endpoint", nullptr, 0, false, false, {"fail: VnxStreamerConf__Decode"}},
      {"no size", R"({"endpoint": "cam-1"})", nullptr, 0, false, false, {"fail: VnxStreamerConf__Decode"}},
      {"null text", nullptr, nullptr, 0, false, false, {"fail: VnxStreamerConf__Decode"}},
      {"allocator refused", kConf, "vnxvideo_with_shm_allocator_str", -2, false, false,
       {"fail: uncaught vnxvideo_with_shm_allocator_str (answer:-2)", "fail"}},
      {"allocator never handed out", kConf, nullptr, 0, false, true,
       {"fail: vnxvideo_with_shm_allocator_str gave no allocator (name:<cam-1>, rc:0)", "fail"}},
      {"server refused", kConf, "vnxvideo_local_server_create", -2, false, false,
       {"fail: vnxvideo_local_server_create (name:<cam-1>, answer:-2)", "fail"}},
      {"server scope refused", kConf, "vnxvideo_with_shm_allocator_ptr", -1, false, false,
       {"fail: vnxvideo_local_server_create (name:<cam-1>, answer:-1)", "fail"}},
      {"no server handed out", kConf, nullptr, 0, true, false,
       {"fail: vnxvideo_local_server_create gave no server (name:<cam-1>)", "fail"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what_);
    VnxDouble__Reset();
    LogCapture__Clear();
    if (r.call_) VnxDouble__State().answers_[r.call_] = r.answer_;
    VnxDouble__State().null_server_ = r.null_server_;
    VnxDouble__State().skip_actions_ = r.skip_actions_;
    EXPECT_EQ(nullptr, Streamer__CreateVnx(r.conf_));
    std::vector<std::string> failures;
    for (const auto& record : LogCapture__Records()) {
      if (record.level_ == 1 && record.func_ != "VnxStreamerConf__Decode" &&
          record.func_ != "cJSON__DecodeJsonReqParamU32") {
        failures.push_back(record.message_);
      }
    }
    EXPECT_EQ(r.lines_, failures) << LogCapture__Dump();
    EXPECT_TRUE(LogCapture__Has(1, r.lines_.back(), "Streamer__CreateVnx")) << LogCapture__Dump();
    EXPECT_EQ(0, VnxDouble__State().live_allocators_) << "a half-built unit frees its allocator";
    EXPECT_EQ(0, VnxDouble__State().live_servers_);
  }
}

TEST_F(VnxUnitTest, FreshStatisticsAreExact) {
  EXPECT_EQ(kFreshStats, Stats());
  // Without start or stream start the unit takes frames all the same, and
  // these calls touch nothing.
  unit_->start();
  unit_->handleStreamStart();
  unit_->handleStreamEnd();
  unit_->stop();
  EXPECT_TRUE(VnxDouble__State().calls_.empty());
  EXPECT_EQ(kFreshStats, Stats());
}

TEST_F(VnxUnitTest, FirstFrameAnnouncesOnceLaterFramesDoNot) {
  const uint64_t stamps[] = {0, 5000000, 17, 5000000};
  for (uint64_t ts : stamps) {
    test_frame frame(kFRAME_TYPE__YUV420_I420, 320, 240, ts);
    Send(frame);
  }
  auto& state = VnxDouble__State();
  ASSERT_EQ(1u, state.set_formats_.size());
  EXPECT_EQ(EMF_I420, state.set_formats_[0].format_);
  EXPECT_EQ(320, state.set_formats_[0].width_);
  EXPECT_EQ(240, state.set_formats_[0].height_);
  EXPECT_EQ(1u, LogCapture__Count("done: vnxvideo_rawproc_set_format (answer:0)"));
  EXPECT_TRUE(LogCapture__Has(3, "done: vnxvideo_rawproc_set_format (answer:0)", "handleStreamFrame"));
  EXPECT_EQ(4u, state.processed_.size());
  EXPECT_EQ(StatsText(4, "I420PLN", 320, 240), Stats());
}

TEST_F(VnxUnitTest, ChangeOfTypeOrSizeAnnouncesAgainAndStatisticsFollow) {
  struct row {
    frame_type type_;
    uint16_t w_, h_;
    bool announces_;
    int format_;
    const char* text_;
  };
  const row rows[] = {
      {kFRAME_TYPE__YUV420_I420, 1920, 1080, true, EMF_I420, "I420PLN"},
      {kFRAME_TYPE__YUV420_I420, 1920, 1080, false, EMF_I420, "I420PLN"},
      {kFRAME_TYPE__YUV420_NV12, 1920, 1080, true, EMF_NV12, "NV12PLN"},
      {kFRAME_TYPE__YUV420_NV12, 1280, 720, true, EMF_NV12, "NV12PLN"},
      {kFRAME_TYPE__YUV420_NV12, 1280, 1080, true, EMF_NV12, "NV12PLN"},
      {kFRAME_TYPE__MONO8, 1280, 1080, true, EMF_GRAY, "MONO8T"},
      {kFRAME_TYPE__MONO8, 1280, 1080, false, EMF_GRAY, "MONO8T"},
  };
  auto& state = VnxDouble__State();
  int count = 0;
  for (const row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.text_ << " " << r.w_ << "x" << r.h_);
    const size_t announcedBefore = state.set_formats_.size();
    const size_t callsBefore = state.calls_.size();
    test_frame frame(r.type_, r.w_, r.h_, 1000);
    Send(frame);
    ASSERT_EQ(announcedBefore + (r.announces_ ? 1 : 0), state.set_formats_.size());
    if (r.announces_) {
      EXPECT_EQ(r.format_, state.set_formats_.back().format_);
      EXPECT_EQ(r.w_, state.set_formats_.back().width_);
      EXPECT_EQ(r.h_, state.set_formats_.back().height_);
      EXPECT_EQ("vnxvideo_rawproc_set_format", state.calls_[callsBefore]) << "announced before the frame";
    }
    EXPECT_EQ(r.format_, state.processed_.back().format_.format_);
    EXPECT_EQ(StatsText(++count, r.text_, r.w_, r.h_), Stats());
  }
}

TEST_F(VnxUnitTest, RefusedAnnouncementDropsTheFrameAndIsRetried) {
  auto& state = VnxDouble__State();
  state.answers_["vnxvideo_rawproc_set_format"] = -1;
  test_frame frame(kFRAME_TYPE__YUV420_NV12, 320, 240, 1000);
  Send(frame);
  EXPECT_TRUE(LogCapture__Has(2, "fail: vnxvideo_rawproc_set_format (answer:-1)", "handleStreamFrame"))
      << LogCapture__Dump();
  EXPECT_TRUE(state.wraps_.empty());
  EXPECT_TRUE(state.processed_.empty());
  EXPECT_EQ(kFreshStats, Stats());

  state.answers_.erase("vnxvideo_rawproc_set_format");
  Send(frame);
  EXPECT_EQ(2u, state.set_formats_.size()) << "the next frame announces again";
  EXPECT_EQ(1u, state.processed_.size());
  EXPECT_EQ(StatsText(1, "NV12PLN", 320, 240), Stats());
}

TEST_F(VnxUnitTest, RefusedAnnouncementAfterAChangeKeepsTheOldFormat) {
  auto& state = VnxDouble__State();
  test_frame first(kFRAME_TYPE__YUV420_I420, 320, 240);
  Send(first);
  state.answers_["vnxvideo_rawproc_set_format"] = -2;
  test_frame changed(kFRAME_TYPE__YUV420_I420, 640, 480);
  Send(changed);
  EXPECT_EQ(StatsText(1, "I420PLN", 320, 240), Stats());
  // Back to the announced format: nothing to announce, the frame goes out.
  Send(first);
  EXPECT_EQ(2u, state.set_formats_.size());
  EXPECT_EQ(StatsText(2, "I420PLN", 320, 240), Stats());
}

TEST_F(VnxUnitTest, UnsupportedTypeIsDroppedWithoutAnnouncement) {
  test_frame frame(kFRAME_TYPE__RGB24, 320, 240, 1000);
  Send(frame);
  EXPECT_TRUE(LogCapture__Has(1, "fail: unsupported (frame-type:16)", "handleStreamFrame")) << LogCapture__Dump();
  EXPECT_EQ(1u, LogCapture__Records().size()) << LogCapture__Dump();
  EXPECT_TRUE(VnxDouble__State().calls_.empty()) << "not even an announcement";
  EXPECT_TRUE(frame.unmapped());
  EXPECT_EQ(kFreshStats, Stats());
}

TEST_F(VnxUnitTest, NullFrameIsDroppedWithALine) {
  const frame_info2 info{1000, 320, 240, kFRAME_TYPE__YUV420_I420};
  unit_->handleStreamFrame(info, nullptr);
  EXPECT_TRUE(LogCapture__Has(1, "fail: frame:null", "handleStreamFrame")) << LogCapture__Dump();
  EXPECT_TRUE(VnxDouble__State().calls_.empty());
  EXPECT_EQ(kFreshStats, Stats());
}

TEST_F(VnxUnitTest, PlaneStartsStridesAndTheOneCopy) {
  struct row {
    frame_type type_;
    int format_;
    int strides_[3];
    long offsets_[3];  // from the first byte; -1 for no plane
  };
  const row rows[] = {
      {kFRAME_TYPE__YUV420_I420, EMF_I420, {320, 160, 160}, {0, 76800, 96000}},
      {kFRAME_TYPE__YUV420_NV12, EMF_NV12, {320, 320, 0}, {0, 76800, -1}},
      {kFRAME_TYPE__MONO8, EMF_GRAY, {320, 0, 0}, {0, -1, -1}},
  };
  auto& state = VnxDouble__State();
  for (const row& r : rows) {
    SCOPED_TRACE(r.format_);
    test_frame frame(r.type_, 320, 240, 1000);
    const int copiesBefore = state.copies_;
    Send(frame);
    ASSERT_FALSE(state.wraps_.empty());
    const auto& wrap = state.wraps_.back();
    EXPECT_EQ(r.format_, wrap.format_.format_);
    EXPECT_EQ(320, wrap.format_.width_);
    EXPECT_EQ(240, wrap.format_.height_);
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(r.strides_[i], wrap.strides_[i]);
      if (r.offsets_[i] < 0) {
        EXPECT_EQ(nullptr, wrap.planes_[i]);
      } else {
        EXPECT_EQ(frame.bytes_.data() + r.offsets_[i], wrap.planes_[i]) << "the wrapper points into the buffer";
      }
    }
    // The server gets one copy, in the unit's shared memory, with the
    // frame's pixels.
    EXPECT_EQ(copiesBefore + 1, state.copies_);
    const auto& processed = state.processed_.back();
    EXPECT_FALSE(processed.wrapped_);
    EXPECT_EQ("cam-1", processed.allocator_);
    EXPECT_EQ(frame.bytes_, processed.pixels_);
    EXPECT_TRUE(frame.unmapped());
  }
}

TEST_F(VnxUnitTest, TimestampIsDividedBy1000) {
  const uint64_t rows[][2] = {{1999999, 1999}, {999, 0}, {1000, 1}, {18446744073709551615ull, 18446744073709551ull}};
  for (const auto& r : rows) {
    test_frame frame(kFRAME_TYPE__MONO8, 8, 2, r[0]);
    Send(frame);
    EXPECT_EQ(r[1], VnxDouble__State().processed_.back().ts_);
  }
}

TEST_F(VnxUnitTest, FramesRefusedByTheServerAreNotCounted) {
  VnxDouble__State().answers_["vnxvideo_rawproc_process"] = -2;
  test_frame frame(kFRAME_TYPE__YUV420_I420, 320, 240, 1999999);
  Send(frame);
  Send(frame);
  EXPECT_EQ(2u, LogCapture__Count("fail: vnxvideo_rawproc_process (answer:-2, ts:1999)"));
  EXPECT_TRUE(LogCapture__Has(2, "fail: vnxvideo_rawproc_process (answer:-2, ts:1999)", "handleStreamFrame"));
  EXPECT_EQ(StatsText(0, "I420PLN", 320, 240), Stats());
}

TEST_F(VnxUnitTest, ReleasesCopyThenWrapperThenMapping) {
  test_frame frame(kFRAME_TYPE__YUV420_I420, 320, 240);
  Send(frame);
  EXPECT_EQ(std::vector<bool>({false, true}), VnxDouble__State().freed_wrapped_);
  EXPECT_EQ(0, VnxDouble__State().live_samples_);
  EXPECT_TRUE(frame.unmapped());
}

TEST_F(VnxUnitTest, FailingCopyThrowsWithWrapperFreedAndBufferUnmapped) {
  auto& state = VnxDouble__State();
  state.answers_["vnxvideo_raw_sample_copy"] = -2;
  test_frame frame(kFRAME_TYPE__YUV420_I420, 320, 240, 5000);
  EXPECT_THROW(Send(frame), internal_error);
  EXPECT_TRUE(LogCapture__Has(1, "fail: vnxvideo_raw_sample_copy (answer:-2)", "VnxAllocator__DeepCopySample"))
      << LogCapture__Dump();
  EXPECT_EQ(0, state.live_samples_) << "the wrapper is freed";
  EXPECT_EQ(std::vector<bool>({true}), state.freed_wrapped_);
  EXPECT_TRUE(frame.unmapped());
  EXPECT_TRUE(state.processed_.empty());

  state.answers_.erase("vnxvideo_raw_sample_copy");
  Send(frame);
  EXPECT_EQ(1u, state.processed_.size());
  EXPECT_EQ(1u, state.set_formats_.size()) << "the format stays announced";
  EXPECT_EQ(StatsText(1, "I420PLN", 320, 240), Stats());
}

TEST_F(VnxUnitTest, UnmappableBufferThrowsAndTheNextFrameWorks) {
  GstAllocator* allocator = GST_ALLOCATOR(g_object_new(t_unmappable_get_type(), nullptr));
  GstMemory* memory = g_new0(GstMemory, 1);
  gst_memory_init(memory, GstMemoryFlags(0), allocator, nullptr, 76800, 0, 0, 76800);
  GstBuffer* buffer = gst_buffer_new();
  gst_buffer_append_memory(buffer, memory);
  const frame_info2 info{1000, 320, 240, kFRAME_TYPE__MONO8};
  EXPECT_THROW(unit_->handleStreamFrame(info, buffer), internal_error);
  gst_buffer_unref(buffer);
  gst_object_unref(allocator);
  EXPECT_TRUE(LogCapture__Has(1, "fail: gst_buffer_map_range", "gst_buffer_mapper")) << LogCapture__Dump();
  auto& state = VnxDouble__State();
  EXPECT_TRUE(state.wraps_.empty());

  test_frame frame(kFRAME_TYPE__MONO8, 320, 240);
  Send(frame);
  EXPECT_EQ(1u, state.processed_.size());
  EXPECT_EQ(1u, state.set_formats_.size()) << "the format announced before the failure stands";
  EXPECT_EQ(StatsText(1, "MONO8T", 320, 240), Stats());
}

TEST_F(VnxUnitTest, RefusedWrapDropsTheFrame) {
  auto& state = VnxDouble__State();
  state.answers_["vnxvideo_raw_sample_wrap"] = -2;
  test_frame frame(kFRAME_TYPE__YUV420_NV12, 320, 240);
  Send(frame);
  EXPECT_TRUE(LogCapture__Has(2, "fail: vnxvideo_raw_sample_wrap (answer:-2)", "handleStreamFrame"))
      << LogCapture__Dump();
  EXPECT_EQ(0, state.copies_);
  EXPECT_TRUE(frame.unmapped());
  EXPECT_EQ(StatsText(0, "NV12PLN", 320, 240), Stats());
}

TEST_F(VnxUnitTest, ShortBufferIsDroppedWithBothSizes) {
  struct row {
    frame_type type_;
    uint16_t w_, h_;
    size_t size_;
    const char* line_;
  };
  const row rows[] = {
      {kFRAME_TYPE__YUV420_I420, 320, 240, 115199, "fail: short buffer (size:115199, needed:115200)"},
      {kFRAME_TYPE__YUV420_NV12, 320, 240, 76800, "fail: short buffer (size:76800, needed:115200)"},
      {kFRAME_TYPE__MONO8, 320, 240, 0, "fail: short buffer (size:0, needed:76800)"},
      // Odd sizes: the planes need 5*3 + 2*(2*1) bytes, not 3*5*3/2.
      {kFRAME_TYPE__YUV420_I420, 5, 3, 18, "fail: short buffer (size:18, needed:19)"},
  };
  auto& state = VnxDouble__State();
  for (const row& r : rows) {
    SCOPED_TRACE(r.line_);
    LogCapture__Clear();
    test_frame frame(r.type_, r.w_, r.h_, 1000, r.size_);
    Send(frame);
    EXPECT_TRUE(LogCapture__Has(2, r.line_, "handleStreamFrame")) << LogCapture__Dump();
    EXPECT_TRUE(state.wraps_.empty()) << "nothing reads the short buffer";
    EXPECT_TRUE(frame.unmapped());
  }
  EXPECT_TRUE(state.processed_.empty());
  // A longer buffer is fine: only what the planes need is read.
  test_frame longer(kFRAME_TYPE__YUV420_I420, 5, 3, 1000, 64);
  Send(longer);
  ASSERT_EQ(1u, state.processed_.size());
  EXPECT_EQ(std::vector<uint8_t>(longer.bytes_.begin(), longer.bytes_.begin() + 19), state.processed_[0].pixels_);
}

TEST_F(VnxUnitTest, NullStatisticsHandlerIsRefusedWithALine) {
  unit_->collectStats(nullptr, nullptr);
  EXPECT_TRUE(LogCapture__Has(1, "fail: handler:null", "collectStats")) << LogCapture__Dump();
}

}}}  // namespace Tarn::Support::(anonymous)
