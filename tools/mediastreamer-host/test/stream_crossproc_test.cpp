// Frames handed to a streamer unit of the bundle (loaded by path, as a host
// does) are read by a second process from shared memory, pixel for pixel.
#include <tarn/support/mediastreamer/streamer.h>

#include "shm_reader.h"
#include "stream_pattern.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

using Tarn::Support::frame_info2;
using Tarn::Support::frame_type;
using Tarn::Support::streamer_unit_like;

namespace {

uint32_t _T_ShmFormat(frame_type aType) {
  switch (aType) {
    case Tarn::Support::kFRAME_TYPE__MONO8: return vnxshm::kFMT_GRAY;
    case Tarn::Support::kFRAME_TYPE__YUV420_I420: return vnxshm::kFMT_I420;
    case Tarn::Support::kFRAME_TYPE__YUV420_NV12: return vnxshm::kFMT_NV12;
    default: return 0;
  }
}

// A packed frame carrying the pattern of aFrame, as a host pipeline gives it.
GstBuffer* _T_Buffer(frame_type aType, int aW, int aH, uint64_t aFrame) {
  int rows[3] = {aH, 0, 0}, rowBytes[3] = {aW, 0, 0};
  int planes = vnxshm::PlaneGeometry(_T_ShmFormat(aType), aW, aH, rows, rowBytes);
  if (planes == 0) planes = 1, rowBytes[0] = aW * 3;  // RGB24, refused by the unit anyway
  return _T_PatternBuffer(planes, rows, rowBytes, aFrame);
}

class StreamCrossProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    lib_ = dlopen(TARN_BUNDLE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, lib_) << dlerror();
    auto init = reinterpret_cast<bool (*)()>(dlsym(lib_, "MediaStreamerInitBundle"));
    create_ = reinterpret_cast<streamer_unit_like* (*)(const char*)>(dlsym(lib_, "MediaStreamerCreateUnit"));
    fini_ = reinterpret_cast<void (*)()>(dlsym(lib_, "MediaStreamerFiniBundle"));
    ASSERT_TRUE(init && create_ && fini_);
    ASSERT_TRUE(init());
  }
  void TearDown() override {
    if (fini_ != nullptr) fini_();
  }
  void* lib_ = nullptr;
  streamer_unit_like* (*create_)(const char*) = nullptr;
  void (*fini_)() = nullptr;
};

TEST_F(StreamCrossProcessTest, SecondProcessReadsEveryFrameOfAUnitPixelForPixel) {
  const std::string endpoint = "crossproc-" + std::to_string(getpid());
  const std::string conf = "{\"endpoint\": \"" + endpoint + "\", \"max-size-mb\": 8}";
  streamer_unit_like* unit = create_(conf.c_str());
  ASSERT_NE(nullptr, unit);

  // Lockstep: the host hands one frame over, the reader takes it and checks
  // it, then the next. A frame the unit refuses must not show up at all.
  struct step_t {
    frame_type type_;
    int w_, h_;
    bool published_;
  } steps[] = {
      {Tarn::Support::kFRAME_TYPE__MONO8, 64, 48, true},       {Tarn::Support::kFRAME_TYPE__MONO8, 64, 48, true},
      {Tarn::Support::kFRAME_TYPE__YUV420_I420, 320, 240, true}, {Tarn::Support::kFRAME_TYPE__RGB24, 320, 240, false},
      {Tarn::Support::kFRAME_TYPE__YUV420_NV12, 320, 240, true}, {Tarn::Support::kFRAME_TYPE__YUV420_NV12, 1280, 720, true},
      {Tarn::Support::kFRAME_TYPE__YUV420_I420, 320, 240, true},
  };
  constexpr uint64_t kFreeRunFrames = 300;
  pipe_pair toReader, toHost;
  std::fflush(nullptr);
  const pid_t reader = fork();
  if (reader == 0) {
    std::string error;
    auto r = vnxshm::reader::Attach(endpoint, error);
    if (!r) {
      std::fprintf(stderr, "reader: %s\n", error.c_str());
      _exit(2);
    }
    uint64_t last = 0;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
      if (toReader.Get() != 'f') _exit(3);
      const step_t& s = steps[i];
      vnxshm::frame f;
      const vnxshm::reader::result res = r->ReadNewest(last, f);
      if (!s.published_) {
        if (res != vnxshm::reader::kNO_NEW_FRAME) _exit(4);
      } else {
        const std::string diff = res == vnxshm::reader::kFRAME ? _T_CheckPattern(f, i) : "no frame";
        // The unit hands the server the host timestamp divided by 1000.
        if (!diff.empty() || f.desc_.sequence_ != last + 1 || f.desc_.format_ != _T_ShmFormat(s.type_) ||
            f.desc_.width_ != uint32_t(s.w_) || f.desc_.height_ != uint32_t(s.h_) ||
            f.desc_.timestamp_ != 1000 + i) {
          std::fprintf(stderr, "reader: step %zu: seq %llu fmt %u %ux%u ts %llu: %s\n", i,
                       (unsigned long long)f.desc_.sequence_, f.desc_.format_, f.desc_.width_, f.desc_.height_,
                       (unsigned long long)f.desc_.timestamp_, diff.c_str());
          _exit(5);
        }
        last = f.desc_.sequence_;
      }
      toHost.Put('r');
    }
    // Free run: the host publishes as fast as it can; every copy the reader
    // keeps must be one whole frame. The host keeps the unit until the
    // reader has seen the last one.
    toHost.Put('g');
    const uint64_t lastSequence = last + kFreeRunFrames;
    uint64_t kept = 0;
    while (true) {
      vnxshm::frame f;
      const vnxshm::reader::result res = r->ReadNewest(last, f);
      if (res == vnxshm::reader::kCLOSED) break;
      if (res != vnxshm::reader::kFRAME) continue;
      const std::string diff = _T_CheckPattern(f, f.desc_.timestamp_ - 1000);
      if (!diff.empty()) {
        std::fprintf(stderr, "reader: mixed frame %llu: %s\n", (unsigned long long)f.desc_.sequence_, diff.c_str());
        _exit(6);
      }
      last = f.desc_.sequence_;
      ++kept;
      if (last == lastSequence) toHost.Put('k');
    }
    _exit(kept > 0 ? 0 : 7);
  }

  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    const step_t& s = steps[i];
    GstBuffer* buffer = _T_Buffer(s.type_, s.w_, s.h_, i);
    const frame_info2 info{(1000 + i) * 1000 + 999, uint16_t(s.w_), uint16_t(s.h_), s.type_};
    unit->handleStreamFrame(info, buffer);
    gst_buffer_unref(buffer);
    toReader.Put('f');
    ASSERT_EQ('r', toHost.Get()) << "the reader gave up at step " << i;
  }
  ASSERT_EQ('g', toHost.Get());
  const size_t base = sizeof steps / sizeof steps[0];
  for (uint64_t k = base; k < base + kFreeRunFrames; ++k) {
    GstBuffer* buffer = _T_Buffer(Tarn::Support::kFRAME_TYPE__YUV420_I420, 320, 240, k);
    const frame_info2 info{(1000 + k) * 1000, 320, 240, Tarn::Support::kFRAME_TYPE__YUV420_I420};
    unit->handleStreamFrame(info, buffer);
    gst_buffer_unref(buffer);
  }
  std::string stats;
  unit->collectStats([](void* aOut, const char* aText) { *static_cast<std::string*>(aOut) = aText; }, &stats);
  EXPECT_NE(std::string::npos, stats.find("\"frame-count\": " + std::to_string(base - 1 + kFreeRunFrames)))
      << stats;
  EXPECT_EQ('k', toHost.Get()) << "the reader never saw the last frame";
  // Ending the unit closes the endpoint, which ends the reader.
  unit->destroy();
  int status = 0;
  ASSERT_EQ(reader, waitpid(reader, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
