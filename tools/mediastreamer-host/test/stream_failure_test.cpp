// A unit of the bundle (loaded by path, over the vnxvideo stand-in) when the
// processes around it fail: readers killed in the middle of a read while ten
// thousand frames with format changes go out, and an endpoint taken over
// after the process that wrote it crashed.
#include <tarn/support/mediastreamer/streamer.h>

#include "shm_reader.h"
#include "stream_pattern.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <tarn/testing/log_capture.h>

using Tarn::Support::frame_info2;
using Tarn::Support::frame_type;
using Tarn::Support::streamer_unit_like;

namespace {

// The stream's formats, by frame number: a change every 500 frames.
struct stream_format {
  frame_type type_;
  int w_, h_;
  uint32_t shm_format_;
};
const stream_format kFormats[] = {
    {Tarn::Support::kFRAME_TYPE__YUV420_I420, 160, 120, vnxshm::kFMT_I420},
    {Tarn::Support::kFRAME_TYPE__YUV420_NV12, 128, 96, vnxshm::kFMT_NV12},
    {Tarn::Support::kFRAME_TYPE__MONO8, 64, 48, vnxshm::kFMT_GRAY},
    {Tarn::Support::kFRAME_TYPE__YUV420_I420, 320, 240, vnxshm::kFMT_I420},
    {Tarn::Support::kFRAME_TYPE__YUV420_NV12, 96, 64, vnxshm::kFMT_NV12},
};
constexpr uint64_t kFramesPerFormat = 500;
const stream_format& _T_FormatOf(uint64_t aFrame) {
  return kFormats[(aFrame / kFramesPerFormat) % (sizeof kFormats / sizeof kFormats[0])];
}

// Frame aFrame of the stream, packed, as a host pipeline gives it.
GstBuffer* _T_Buffer(uint64_t aFrame) {
  const stream_format& f = _T_FormatOf(aFrame);
  int rows[3] = {0, 0, 0}, rowBytes[3] = {0, 0, 0};
  const int planes = vnxshm::PlaneGeometry(f.shm_format_, f.w_, f.h_, rows, rowBytes);
  return _T_PatternBuffer(planes, rows, rowBytes, aFrame);
}

// Empty when the copy is frame aFrame of the stream, whole and in its format.
std::string _T_Check(const vnxshm::frame& aCopy, uint64_t aFrame) {
  const stream_format& f = _T_FormatOf(aFrame);
  if (aCopy.desc_.format_ != f.shm_format_ || aCopy.desc_.width_ != uint32_t(f.w_) ||
      aCopy.desc_.height_ != uint32_t(f.h_)) {
    return "format " + std::to_string(aCopy.desc_.format_) + " " + std::to_string(aCopy.desc_.width_) + "x" +
           std::to_string(aCopy.desc_.height_) + " for frame " + std::to_string(aFrame);
  }
  const std::string diff = _T_CheckPattern(aCopy, aFrame);
  return diff.empty() ? diff : "frame " + std::to_string(aFrame) + " " + diff;
}

// Runs aBody in a child process, which ends with its result and never
// returns into the test.
template <typename TBody>
pid_t _T_Fork(TBody aBody) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(aBody());
  return pid;
}

// Kills the child and tells whether it died of that signal.
bool _T_Kill(pid_t aChild) {
  kill(aChild, SIGKILL);
  int status = 0;
  return waitpid(aChild, &status, 0) == aChild && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

int _T_Wait(pid_t aChild) {
  int status = 0;
  if (waitpid(aChild, &status, 0) != aChild) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string _T_Stats(streamer_unit_like* aUnit) {
  std::string text;
  aUnit->collectStats([](void* aOut, const char* aText) { *static_cast<std::string*>(aOut) = aText; }, &text);
  return text;
}

class StreamFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    lib_ = dlopen(TARN_BUNDLE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, lib_) << dlerror();
    auto init = reinterpret_cast<bool (*)()>(dlsym(lib_, "MediaStreamerInitBundle"));
    create_ = reinterpret_cast<streamer_unit_like* (*)(const char*)>(dlsym(lib_, "MediaStreamerCreateUnit"));
    ASSERT_TRUE(init && create_);
    ASSERT_TRUE(init());
    Tarn::Testing::LogCapture__Clear();
  }
  streamer_unit_like* Create(const std::string& aEndpoint) {
    return create_(("{\"endpoint\": \"" + aEndpoint + "\", \"max-size-mb\": 4}").c_str());
  }

  // Hands frame aFrame of the stream to the unit.
  static void Send(streamer_unit_like* aUnit, uint64_t aFrame) {
    GstBuffer* buffer = _T_Buffer(aFrame);
    const stream_format& f = _T_FormatOf(aFrame);
    aUnit->handleStreamFrame(frame_info2{aFrame * 1000, uint16_t(f.w_), uint16_t(f.h_), f.type_}, buffer);
    gst_buffer_unref(buffer);
  }

  void* lib_ = nullptr;
  streamer_unit_like* (*create_)(const char*) = nullptr;
};

TEST_F(StreamFailureTest, ReadersKilledMidReadLeaveTheUnitPublishingTenThousandFrames) {
  constexpr uint64_t kFrames = 10000;
  const std::string endpoint = "killed-readers-" + std::to_string(getpid());
  streamer_unit_like* unit = Create(endpoint);
  ASSERT_NE(nullptr, unit) << Tarn::Testing::LogCapture__Dump();
  Send(unit, 0);

  // A reader copying frames as fast as it can, killed wherever it is: almost
  // always inside a copy.
  pipe_pair busyUp;
  const pid_t busy = _T_Fork([&]() -> int {
    std::string error;
    auto r = vnxshm::reader::Attach(endpoint, error);
    if (!r) return 2;
    bool told = false;
    for (uint64_t last = 0;;) {
      vnxshm::frame f;
      if (r->ReadNewest(last, f) == vnxshm::reader::kFRAME) last = f.desc_.sequence_;
      if (!told && last > 0) busyUp.PutUnchecked('a'), told = true;
    }
  });
  // A reader stopped between the start of a read and its check, killed there.
  pipe_pair stoppedUp;
  const pid_t stopped = _T_Fork([&]() -> int {
    std::string error;
    auto r = vnxshm::reader::Attach(endpoint, error);
    uint64_t seq = 0;
    if (!r || !r->Begin(seq)) return 2;
    stoppedUp.PutUnchecked('b');
    for (;;) pause();
  });
  ASSERT_EQ('a', busyUp.Get());
  ASSERT_EQ('b', stoppedUp.Get());

  // The reader that must see the end: it checks every frame it keeps.
  pipe_pair lastUp;
  pid_t last = -1;
  for (uint64_t k = 1; k < kFrames; ++k) {
    Send(unit, k);
    if (k == 2000) {
      EXPECT_TRUE(_T_Kill(busy));
    }
    if (k == 4000) {
      EXPECT_TRUE(_T_Kill(stopped));
    }
    if (k == 5000) {
      last = _T_Fork([&]() -> int {
        std::string error;
        auto r = vnxshm::reader::Attach(endpoint, error);
        if (!r) return 2;
        lastUp.PutUnchecked('a');
        uint64_t seq = 0, kept = 0;
        for (;;) {
          vnxshm::frame f;
          const vnxshm::reader::result res = r->ReadNewest(seq, f);
          if (res == vnxshm::reader::kCLOSED) break;
          if (res == vnxshm::reader::kBAD) return 3;
          if (res != vnxshm::reader::kFRAME) continue;
          const std::string diff = _T_Check(f, f.desc_.timestamp_);
          if (!diff.empty()) {
            std::fprintf(stderr, "reader: %s\n", diff.c_str());
            return 4;
          }
          seq = f.desc_.sequence_;
          ++kept;
          if (f.desc_.timestamp_ == kFrames - 1) lastUp.PutUnchecked('k');
        }
        std::fprintf(stderr, "reader: kept %llu frames\n", static_cast<unsigned long long>(kept));
        return kept > 0 ? 0 : 5;
      });
      ASSERT_EQ('a', lastUp.Get());
    }
  }
  // Every frame was taken, through every change of format.
  const stream_format& f = _T_FormatOf(kFrames - 1);
  EXPECT_NE(std::string::npos, _T_Stats(unit).find("\"frame-count\": " + std::to_string(kFrames) + ",")) << _T_Stats(unit);
  EXPECT_NE(std::string::npos, _T_Stats(unit).find("[" + std::to_string(f.w_) + "," + std::to_string(f.h_) + "]"));
  EXPECT_EQ('k', lastUp.Get()) << "the last reader never saw the last frame";
  unit->destroy();
  EXPECT_EQ(0, _T_Wait(last));
  std::string error;
  EXPECT_FALSE(vnxshm::reader::Attach(endpoint, error)) << "the endpoint is gone with its unit";
}

TEST_F(StreamFailureTest, EndpointOfACrashedWriterIsTakenOverByANewUnit) {
  // Killed while blocked after its frames, and killed while publishing (it
  // may die inside an update of the published frame).
  for (const bool publishing : {false, true}) {
    SCOPED_TRACE(publishing ? "killed while publishing" : "killed while idle");
    Tarn::Testing::LogCapture__Clear();
    const std::string endpoint = "crashed-writer-" + std::to_string(getpid()) + (publishing ? "-busy" : "-idle");
    pipe_pair up;
    const pid_t writer = _T_Fork([&]() -> int {
      streamer_unit_like* unit = Create(endpoint);
      if (!unit) return 2;
      for (uint64_t k = 0; k < 50; ++k) Send(unit, k);
      up.PutUnchecked('p');
      for (uint64_t k = 50; publishing; ++k) Send(unit, k);
      for (;;) pause();
    });
    ASSERT_EQ('p', up.Get());
    std::string error;
    auto old = vnxshm::reader::Attach(endpoint, error);
    ASSERT_TRUE(old) << error;
    EXPECT_EQ(writer, old->WriterPid());
    ASSERT_TRUE(_T_Kill(writer));
    EXPECT_FALSE(old->Closed()) << "nobody told the segment that its writer died";

    // The next unit on the endpoint takes it over, and says so.
    streamer_unit_like* unit = Create(endpoint);
    ASSERT_NE(nullptr, unit) << Tarn::Testing::LogCapture__Dump();
    EXPECT_NE(std::string::npos, Tarn::Testing::LogCapture__Dump().find(
                                     "replacing stale segment <" + vnxshm::SegmentName(endpoint) + ">"))
        << Tarn::Testing::LogCapture__Dump();
    EXPECT_TRUE(old->Closed()) << "a reader of the dead writer's segment learns that it is gone";
    EXPECT_TRUE(old->Replaced());
    vnxshm::frame f;
    EXPECT_EQ(vnxshm::reader::kCLOSED, old->ReadNewest(0, f));

    // It publishes from its first frame, through format changes, to a new
    // reader, pixel for pixel.
    auto fresh = vnxshm::reader::Attach(endpoint, error);
    ASSERT_TRUE(fresh) << error;
    EXPECT_EQ(getpid(), fresh->WriterPid());
    EXPECT_EQ(vnxshm::reader::kNO_NEW_FRAME, fresh->ReadNewest(0, f)) << "nothing of the dead writer is shown";
    uint64_t seq = 0;
    for (uint64_t k : {uint64_t(7), kFramesPerFormat + 7, 2 * kFramesPerFormat + 7}) {
      SCOPED_TRACE(k);
      Send(unit, k);
      ASSERT_EQ(vnxshm::reader::kFRAME, fresh->ReadNewest(seq, f));
      seq = f.desc_.sequence_;
      EXPECT_EQ(k, f.desc_.timestamp_);
      EXPECT_EQ("", _T_Check(f, k));
    }
    EXPECT_NE(std::string::npos, _T_Stats(unit).find("\"frame-count\": 3,")) << _T_Stats(unit);
    unit->destroy();
    EXPECT_TRUE(fresh->Closed());
  }
}

}  // namespace
