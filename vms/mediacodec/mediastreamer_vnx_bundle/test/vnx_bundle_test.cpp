// The plug-in as a host sees it: loaded by path, its three exports resolved by
// name. The VMS video library test double is exported from this executable,
// so the bundle's vnxvideo_* calls land in it rather than in libvnxvideo.so.
#include <tarn/support/mediastreamer/vnx_bundle.h>

#include <dlfcn.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tarn/testing/log_capture.h>
#include <tarn/testing/vnxvideo_double.h>

namespace Tarn { namespace Support { namespace {

using Testing::LogCapture__Clear;
using Testing::LogCapture__Dump;
using Testing::LogCapture__Has;
using Testing::LogCapture__Records;
using Testing::VnxDouble__Count;
using Testing::VnxDouble__Log;
using Testing::VnxDouble__Reset;
using Testing::VnxDouble__State;

class VnxBundleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init(nullptr, nullptr);
    handle_ = dlopen(TARN_BUNDLE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
    init_ = reinterpret_cast<media_streamer_init_bundle_fn>(dlsym(handle_, "MediaStreamerInitBundle"));
    fini_ = reinterpret_cast<media_streamer_fini_bundle_fn>(dlsym(handle_, "MediaStreamerFiniBundle"));
    create_ = reinterpret_cast<media_streamer_create_unit_fn>(dlsym(handle_, "MediaStreamerCreateUnit"));
  }

  void SetUp() override {
    ASSERT_TRUE(init_ && fini_ && create_);
    VnxDouble__Reset();
    LogCapture__Clear();
  }

  void TearDown() override {
    EXPECT_TRUE(VnxDouble__State().errors_.empty()) << VnxDouble__State().errors_.front();
  }

  static void* handle_;
  static media_streamer_init_bundle_fn init_;
  static media_streamer_fini_bundle_fn fini_;
  static media_streamer_create_unit_fn create_;
};

void* VnxBundleTest::handle_ = nullptr;
media_streamer_init_bundle_fn VnxBundleTest::init_ = nullptr;
media_streamer_fini_bundle_fn VnxBundleTest::fini_ = nullptr;
media_streamer_create_unit_fn VnxBundleTest::create_ = nullptr;

TEST_F(VnxBundleTest, InitHandsTheLibraryTheBridgeForEveryLevel) {
  EXPECT_TRUE(init_());
  EXPECT_TRUE(LogCapture__Has(4, "done", "MediaStreamerInitBundle")) << LogCapture__Dump();
  EXPECT_EQ(VNXLOG_HIGHEST, VnxDouble__State().log_max_level_);
  EXPECT_EQ(nullptr, VnxDouble__State().log_usrptr_);
  ASSERT_NE(nullptr, VnxDouble__State().log_);

  // Every library line becomes one level-4 record, whatever its own level.
  const ELogLevel levels[] = {VNXLOG_ERROR, VNXLOG_WARNING, VNXLOG_INFO, VNXLOG_DEBUG, VNXLOG_HIGHEST};
  for (ELogLevel level : levels) {
    SCOPED_TRACE(int(level));
    LogCapture__Clear();
    VnxDouble__Log(level, "shm", "segment cam-1 opened");
    ASSERT_EQ(1u, LogCapture__Records().size()) << LogCapture__Dump();
    EXPECT_TRUE(LogCapture__Has(4, "shm: segment cam-1 opened", "operator()")) << LogCapture__Dump();
  }
}

TEST_F(VnxBundleTest, RefusedInitAnswersFalseAndIsTriedAgain) {
  VnxDouble__State().answers_["vnxvideo_init"] = -1;
  EXPECT_FALSE(init_());
  EXPECT_TRUE(LogCapture__Has(1, "fail: vnxvideo_init (answer:-1)", "MediaStreamerInitBundle")) << LogCapture__Dump();
  EXPECT_EQ(1u, LogCapture__Records().size()) << LogCapture__Dump();

  VnxDouble__State().answers_.erase("vnxvideo_init");
  EXPECT_TRUE(init_());
  EXPECT_EQ(2u, VnxDouble__Count("vnxvideo_init"));
}

TEST_F(VnxBundleTest, UnitsFromTheBundlePublishFramesAndOutliveFini) {
  ASSERT_TRUE(init_());
  EXPECT_EQ(nullptr, create_("not json"));
  EXPECT_TRUE(LogCapture__Has(1, "fail: VnxStreamerConf__Decode", "Streamer__CreateVnx")) << LogCapture__Dump();

  streamer_unit_like* unit = create_(R"({"endpoint": "cam-7", "max-size-mb": 16})");
  ASSERT_NE(nullptr, unit) << LogCapture__Dump();
  EXPECT_EQ("cam-7", VnxDouble__State().server_name_);

  LogCapture__Clear();
  fini_();
  EXPECT_TRUE(LogCapture__Has(4, "done", "MediaStreamerFiniBundle")) << LogCapture__Dump();
  EXPECT_EQ(1u, LogCapture__Records().size());

  std::vector<uint8_t> pixels(64 * 48 * 3 / 2);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i);
  GstBuffer* buffer = gst_buffer_new_wrapped_full(GstMemoryFlags(0), pixels.data(), pixels.size(), 0,
                                                  pixels.size(), nullptr, nullptr);
  const frame_info2 info{42000, 64, 48, kFRAME_TYPE__YUV420_NV12};
  unit->handleStreamFrame(info, buffer);
  gst_buffer_unref(buffer);
  ASSERT_EQ(1u, VnxDouble__State().processed_.size());
  EXPECT_EQ(42u, VnxDouble__State().processed_[0].ts_);
  EXPECT_EQ(pixels, VnxDouble__State().processed_[0].pixels_);

  std::string stats;
  unit->collectStats([](void* aArg, const char* aText) { *static_cast<std::string*>(aArg) = aText; }, &stats);
  EXPECT_EQ(R"({"type":"vnx-streamer","name": "mediagrabber.0~vnx-streamer.0","stat": {"frame-count": 1,"format": "NV12PLN","wh": [64,48]}})",
            stats);

  unit->destroy();
  EXPECT_EQ(0, VnxDouble__State().live_servers_);
  EXPECT_EQ(0, VnxDouble__State().live_allocators_);
  EXPECT_EQ(0, VnxDouble__State().live_samples_);
}

}}}  // namespace Tarn::Support::(anonymous)
