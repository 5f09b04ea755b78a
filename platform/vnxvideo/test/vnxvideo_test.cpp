// The vnxvideo stand-in: allocators over named shared memory, samples, the
// local server and the lock-free reader in other processes.
#include <vnxvideo/vnxvideo.h>

#include "shm_reader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- helpers ---------------------------------------------------------------

std::string _T_Endpoint(const std::string& aCase) {
  return "vnxtest-" + std::to_string(getpid()) + "-" + aCase;
}

std::string _T_DevShmPath(const std::string& aEndpoint) {
  return "/dev/shm/" + vnxshm::SegmentName(aEndpoint).substr(1);
}

bool _T_SegmentExists(const std::string& aEndpoint) { return access(_T_DevShmPath(aEndpoint).c_str(), F_OK) == 0; }

// Whether aPtr lies in this process's mapping of the endpoint's segment.
bool _T_InSegment(const void* aPtr, const std::string& aEndpoint) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  const auto p = reinterpret_cast<uintptr_t>(aPtr);
  while (std::getline(maps, line)) {
    unsigned long long begin = 0, end = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &begin, &end) != 2) continue;
    if (p < begin || p >= end) continue;
    return line.size() >= _T_DevShmPath(aEndpoint).size() &&
           line.compare(line.size() - _T_DevShmPath(aEndpoint).size(), std::string::npos, _T_DevShmPath(aEndpoint)) == 0;
  }
  return false;
}

// Runs aFn with the named allocator current; answers the library's result.
int _T_WithShm(const std::string& aEndpoint, int aSizeMb, const std::function<void()>& aFn) {
  return vnxvideo_with_shm_allocator_str(
      aEndpoint.c_str(), aSizeMb, [](void* aFnPtr) { (*static_cast<const std::function<void()>*>(aFnPtr))(); },
      const_cast<std::function<void()>*>(&aFn));
}

int _T_WithAllocator(vnxvideo_allocator_t aAllocator, const std::function<void()>& aFn) {
  return vnxvideo_with_shm_allocator_ptr(
      aAllocator, [](void* aFnPtr) { (*static_cast<const std::function<void()>*>(aFnPtr))(); },
      const_cast<std::function<void()>*>(&aFn));
}

// A collecting log sink for the library's lines.
struct log_lines {
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;  // level, "subsystem: message"
  static void Sink(void* aSelf, ELogLevel aLevel, const char* aSubsystem, const char* aMessage) {
    auto* self = static_cast<log_lines*>(aSelf);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.emplace_back(aLevel, std::string(aSubsystem) + ": " + aMessage);
  }
  bool Has(const std::string& aText) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& l : lines_)
      if (l.second == aText) return true;
    return false;
  }
  std::string Dump() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (auto& l : lines_) all += "  L" + std::to_string(l.first) + " " + l.second + "\n";
    return all;
  }
};

class VnxvideoTest : public ::testing::Test {
 protected:
  void SetUp() override { vnxvideo_init(&log_lines::Sink, &log_, VNXLOG_HIGHEST); }
  void TearDown() override { vnxvideo_init(nullptr, nullptr, VNXLOG_NONE); }
  log_lines log_;
};

// Pixel value of a test frame: depends on position, plane and frame number,
// so a wrong stride, offset, plane or frame shows up as a wrong byte.
uint8_t _T_Pattern(int aX, int aY, int aPlane, uint64_t aFrame) {
  return static_cast<uint8_t>(aX * 7 + aY * 13 + aPlane * 51 + aFrame * 3);
}

struct geometry {
  int planes_;
  int rows_[3];
  int row_bytes_[3];
};

geometry _T_Geometry(int aFormat, int aW, int aH) {
  geometry g{};
  g.planes_ = vnxshm::PlaneGeometry(static_cast<uint32_t>(aFormat), aW, aH, g.rows_, g.row_bytes_);
  return g;
}

void _T_Fill(vnxvideo_raw_sample_t aSample, uint64_t aFrame) {
  int format = 0, w = 0, h = 0, strides[3];
  uint8_t* planes[3];
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_get_data(aSample, &format, &w, &h, strides, planes));
  geometry g = _T_Geometry(format, w, h);
  for (int p = 0; p < g.planes_; ++p)
    for (int y = 0; y < g.rows_[p]; ++y)
      for (int x = 0; x < g.row_bytes_[p]; ++x) planes[p][y * strides[p] + x] = _T_Pattern(x, y, p, aFrame);
}

// Empty when the frame carries the pattern of aFrame, else the first difference.
std::string _T_CheckPattern(const vnxshm::frame& aFrame, uint64_t aPatternFrame) {
  for (int p = 0; p < static_cast<int>(aFrame.desc_.plane_count_); ++p) {
    int rows = 0, rowBytes = 0;
    const uint8_t* plane = aFrame.Plane(p, &rows, &rowBytes);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < rowBytes; ++x)
        if (plane[y * rowBytes + x] != _T_Pattern(x, y, p, aPatternFrame)) {
          std::ostringstream out;
          out << "plane " << p << " (" << x << "," << y << ") is " << int(plane[y * rowBytes + x]) << ", expected "
              << int(_T_Pattern(x, y, p, aPatternFrame));
          return out.str();
        }
  }
  return "";
}

pid_t _T_Fork(const std::function<int()>& aChild) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(aChild());
  return pid;
}

int _T_Wait(pid_t aPid) {
  int status = 0;
  if (waitpid(aPid, &status, 0) != aPid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct pipe_pair {
  int fd_[2] = {-1, -1};
  pipe_pair() { EXPECT_EQ(0, pipe(fd_)); }
  ~pipe_pair() {
    for (int fd : fd_)
      if (fd >= 0) close(fd);
  }
  bool Put(char aByte) { return write(fd_[1], &aByte, 1) == 1; }
  char Get() {
    char c = 0;
    return read(fd_[0], &c, 1) == 1 ? c : 0;
  }
};

// An allocator handle of the named segment, taken from inside its scope.
vnxvideo_allocator_t _T_CreateAllocator(const std::string& aEndpoint, int aSizeMb) {
  vnxvideo_allocator_t a{nullptr};
  int dup = -100;
  int rc = _T_WithShm(aEndpoint, aSizeMb, [&] { dup = vnxvideo_shm_allocator_duplicate(&a); });
  EXPECT_EQ(vnxvideo_err_ok, rc);
  EXPECT_EQ(vnxvideo_err_ok, dup);
  return a;
}

// ---- allocators and samples -------------------------------------------------

TEST_F(VnxvideoTest, SamplesLiveInTheCurrentAllocatorAndScopesNestPerThread) {
  const std::string a = _T_Endpoint("nest-a"), b = _T_Endpoint("nest-b");
  std::vector<vnxvideo_raw_sample_t> samples;
  auto allocate = [&]() -> uint8_t* {
    vnxvideo_raw_sample_t s{nullptr};
    EXPECT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_allocate(EMF_I420, 64, 48, &s));
    samples.push_back(s);
    uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    vnxvideo_raw_sample_get_data(s, nullptr, nullptr, nullptr, nullptr, planes);
    return planes[2];  // last plane: the whole sample lies inside the segment
  };
  vnxvideo_allocator_t innerDup{nullptr}, outerDup{nullptr};
  ASSERT_EQ(vnxvideo_err_ok, _T_WithShm(a, 1, [&] {
              EXPECT_TRUE(_T_InSegment(allocate(), a));
              EXPECT_EQ(vnxvideo_err_ok, _T_WithShm(b, 1, [&] {
                          EXPECT_TRUE(_T_InSegment(allocate(), b));
                          EXPECT_EQ(vnxvideo_err_ok, vnxvideo_shm_allocator_duplicate(&innerDup));
                          // Another thread has no allocator current.
                          std::thread([&] {
                            vnxvideo_allocator_t none{nullptr};
                            EXPECT_EQ(vnxvideo_err_invalid_parameter, vnxvideo_shm_allocator_duplicate(&none));
                            EXPECT_FALSE(_T_InSegment(allocate(), b));
                          }).join();
                        }));
              EXPECT_TRUE(_T_InSegment(allocate(), a));
              EXPECT_EQ(vnxvideo_err_ok, vnxvideo_shm_allocator_duplicate(&outerDup));
            }));
  EXPECT_FALSE(_T_InSegment(allocate(), a));
  // The duplicates refer to the segment current where they were taken.
  ASSERT_EQ(vnxvideo_err_ok, _T_WithAllocator(innerDup, [&] { EXPECT_TRUE(_T_InSegment(allocate(), b)); }));
  ASSERT_EQ(vnxvideo_err_ok, _T_WithAllocator(outerDup, [&] { EXPECT_TRUE(_T_InSegment(allocate(), a)); }));
  for (auto s : samples) vnxvideo_raw_sample_free(s);
  vnxvideo_shm_allocator_free(innerDup);
  vnxvideo_shm_allocator_free(outerDup);
  EXPECT_FALSE(_T_SegmentExists(a));
  EXPECT_FALSE(_T_SegmentExists(b));
}

TEST_F(VnxvideoTest, SegmentLivesUntilItsLastHandleAndSample) {
  const std::string name = _T_Endpoint("refs");
  vnxvideo_allocator_t first = _T_CreateAllocator(name, 2);
  ASSERT_NE(nullptr, first.ptr);
  EXPECT_TRUE(_T_SegmentExists(name)) << "the duplicate keeps it after the scope";
  struct stat st {};
  ASSERT_EQ(0, stat(_T_DevShmPath(name).c_str(), &st));
  EXPECT_EQ(2 << 20, st.st_size);

  vnxvideo_allocator_t second{nullptr};
  vnxvideo_raw_sample_t sample{nullptr};
  ASSERT_EQ(vnxvideo_err_ok, _T_WithAllocator(first, [&] {
              EXPECT_EQ(vnxvideo_err_ok, vnxvideo_shm_allocator_duplicate(&second));
              EXPECT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_allocate(EMF_GRAY, 32, 32, &sample));
            }));
  // The same name in the same process is the same segment.
  vnxvideo_allocator_t third = _T_CreateAllocator(name, 8);
  EXPECT_EQ(first.ptr, third.ptr);

  vnxvideo_shm_allocator_free(first);
  vnxvideo_shm_allocator_free(third);
  EXPECT_TRUE(_T_SegmentExists(name));
  vnxvideo_shm_allocator_free(second);
  EXPECT_TRUE(_T_SegmentExists(name)) << "the sample still lives in it";
  vnxvideo_raw_sample_free(sample);
  EXPECT_FALSE(_T_SegmentExists(name));
}

TEST_F(VnxvideoTest, WrapPointsAtCallerMemoryAndCopyIsIndependent) {
  const std::string name = _T_Endpoint("copy");
  std::vector<uint8_t> memory(66 * 48 * 3 / 2);  // NV12 with padded rows (stride 66)
  int strides[3] = {66, 66, 0};
  uint8_t* planes[3] = {memory.data(), memory.data() + 66 * 48, nullptr};
  vnxvideo_raw_sample_t wrapped{nullptr}, copy{nullptr};
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_wrap(EMF_NV12, 64, 48, strides, planes, &wrapped));
  _T_Fill(wrapped, 5);
  uint8_t* seen[3];
  int seenStrides[3];
  vnxvideo_raw_sample_get_data(wrapped, nullptr, nullptr, nullptr, seenStrides, seen);
  EXPECT_EQ(planes[0], seen[0]);
  EXPECT_EQ(planes[1], seen[1]);
  EXPECT_EQ(66, seenStrides[0]);

  ASSERT_EQ(vnxvideo_err_ok, _T_WithShm(name, 1, [&] {
              EXPECT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_copy(wrapped, &copy));
            }));
  vnxvideo_raw_sample_free(wrapped);
  std::fill(memory.begin(), memory.end(), 0);

  int format = 0, w = 0, h = 0;
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_get_data(copy, &format, &w, &h, seenStrides, seen));
  EXPECT_EQ(EMF_NV12, format);
  EXPECT_EQ(64, w);
  EXPECT_EQ(48, h);
  EXPECT_EQ(64, seenStrides[0]) << "a copy is packed";
  EXPECT_TRUE(_T_InSegment(seen[1], name));
  vnxshm::frame packed;
  packed.desc_.format_ = EMF_NV12, packed.desc_.width_ = 64, packed.desc_.height_ = 48, packed.desc_.plane_count_ = 2;
  packed.pixels_.assign(seen[0], seen[0] + 64 * 48 * 3 / 2);
  EXPECT_EQ("", _T_CheckPattern(packed, 5));
  vnxvideo_raw_sample_free(copy);
  EXPECT_FALSE(_T_SegmentExists(name));
}

TEST_F(VnxvideoTest, RefusesSamplesItCannotDescribe) {
  uint8_t memory[64 * 64 * 2];
  struct case_t {
    const char* what_;
    int format_, w_, h_;
    int strides_[3];
    bool planes_[3];
  } cases[] = {
      {"unknown format", 16, 64, 48, {64, 64, 64}, {true, true, true}},
      {"zero width", EMF_GRAY, 0, 48, {64, 0, 0}, {true, false, false}},
      {"negative height", EMF_GRAY, 64, -2, {64, 0, 0}, {true, false, false}},
      {"odd I420 width", EMF_I420, 63, 48, {63, 32, 32}, {true, true, true}},
      {"odd NV12 height", EMF_NV12, 64, 47, {64, 64, 0}, {true, true, false}},
      {"luma stride too short", EMF_GRAY, 64, 48, {63, 0, 0}, {true, false, false}},
      {"chroma stride too short", EMF_I420, 64, 48, {64, 31, 32}, {true, true, true}},
      {"missing V plane", EMF_I420, 64, 48, {64, 32, 32}, {true, true, false}},
      {"missing UV plane", EMF_NV12, 64, 48, {64, 64, 0}, {true, false, false}},
  };
  for (const auto& c : cases) {
    uint8_t* planes[3];
    for (int i = 0; i < 3; ++i) planes[i] = c.planes_[i] ? memory : nullptr;
    int strides[3] = {c.strides_[0], c.strides_[1], c.strides_[2]};
    vnxvideo_raw_sample_t s{nullptr};
    EXPECT_EQ(vnxvideo_err_invalid_parameter,
              vnxvideo_raw_sample_wrap(static_cast<EColorspace>(c.format_), c.w_, c.h_, strides, planes, &s))
        << c.what_;
    EXPECT_EQ(nullptr, s.ptr) << c.what_;
  }
  vnxvideo_raw_sample_t s{nullptr};
  EXPECT_EQ(vnxvideo_err_invalid_parameter, vnxvideo_raw_sample_allocate(EMF_I420, 63, 48, &s));
  EXPECT_EQ(vnxvideo_err_invalid_parameter, vnxvideo_raw_sample_copy(s, &s));
  EXPECT_TRUE(log_.Has("sample: fail: unsupported sample (format:1, size:63x48)")) << log_.Dump();
}

TEST_F(VnxvideoTest, FullSegmentRefusesThenRecoversWhenSamplesGo) {
  const std::string name = _T_Endpoint("full");
  vnxvideo_allocator_t a = _T_CreateAllocator(name, 1);
  std::vector<vnxvideo_raw_sample_t> samples;
  int rc = vnxvideo_err_ok;
  ASSERT_EQ(vnxvideo_err_ok, _T_WithAllocator(a, [&] {
              while (rc == vnxvideo_err_ok && samples.size() < 100) {
                vnxvideo_raw_sample_t s{nullptr};
                rc = vnxvideo_raw_sample_allocate(EMF_GRAY, 320, 240, &s);
                if (rc == vnxvideo_err_ok) samples.push_back(s);
              }
            }));
  EXPECT_EQ(vnxvideo_err_external_api, rc);
  EXPECT_EQ(13u, samples.size()) << "1 MB less the header page holds 13 frames of 76800 bytes";
  // Free one in the middle: its block is found again.
  vnxvideo_raw_sample_free(samples[6]);
  vnxvideo_raw_sample_t again{nullptr};
  ASSERT_EQ(vnxvideo_err_ok, _T_WithAllocator(a, [&] {
              EXPECT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_allocate(EMF_GRAY, 320, 240, &again));
            }));
  samples[6] = again;
  for (auto s : samples) vnxvideo_raw_sample_free(s);
  vnxvideo_shm_allocator_free(a);
}

TEST_F(VnxvideoTest, RefusesBadAllocatorArguments) {
  auto nothing = [](void*) {};
  EXPECT_EQ(vnxvideo_err_invalid_parameter, vnxvideo_with_shm_allocator_str("", 1, nothing, nullptr));
  EXPECT_EQ(vnxvideo_err_invalid_parameter, vnxvideo_with_shm_allocator_str(nullptr, 1, nothing, nullptr));
  EXPECT_EQ(vnxvideo_err_invalid_parameter,
            vnxvideo_with_shm_allocator_str(_T_Endpoint("neg").c_str(), -1, nothing, nullptr));
  EXPECT_EQ(vnxvideo_err_invalid_parameter,
            vnxvideo_with_shm_allocator_str(_T_Endpoint("noaction").c_str(), 1, nullptr, nullptr));
  EXPECT_EQ(vnxvideo_err_invalid_parameter,
            vnxvideo_with_shm_allocator_ptr(vnxvideo_allocator_t{nullptr}, nothing, nullptr));
  EXPECT_EQ(vnxvideo_err_invalid_parameter,
            vnxvideo_with_shm_allocator_str(std::string(300, 'x').c_str(), 1, nothing, nullptr));
  // Names are free text: a slash or a blank maps to a valid segment name.
  const std::string odd = _T_Endpoint("a/b c");
  int ran = 0;
  EXPECT_EQ(vnxvideo_err_ok, _T_WithShm(odd, 1, [&] { ++ran; }));
  EXPECT_EQ(1, ran);
  // Null handles are accepted by the free functions.
  vnxvideo_shm_allocator_free(vnxvideo_allocator_t{nullptr});
  vnxvideo_raw_sample_free(vnxvideo_raw_sample_t{nullptr});
  vnxvideo_rawproc_free(vnxvideo_rawproc_t{nullptr});
}

// ---- log --------------------------------------------------------------------

TEST_F(VnxvideoTest, LogLinesReachTheSinkFromAnyThreadUpToItsLevel) {
  std::thread([] {
    vnxvideo_raw_sample_t s{nullptr};
    vnxvideo_raw_sample_allocate(EMF_GRAY, 0, 0, &s);
  }).join();
  EXPECT_TRUE(log_.Has("sample: fail: unsupported sample (format:14, size:0x0)")) << log_.Dump();

  log_lines errorsOnly;
  vnxvideo_init(&log_lines::Sink, &errorsOnly, VNXLOG_ERROR);
  const std::string name = _T_Endpoint("log");
  _T_WithShm(name, 1, [] {});  // creating a segment is an info line
  vnxvideo_raw_sample_t s{nullptr};
  vnxvideo_raw_sample_allocate(EMF_GRAY, -1, 1, &s);
  EXPECT_TRUE(errorsOnly.Has("sample: fail: unsupported sample (format:14, size:-1x1)")) << errorsOnly.Dump();
  EXPECT_EQ(1u, errorsOnly.lines_.size()) << errorsOnly.Dump();
}

// ---- server and readers ------------------------------------------------------

// A server with its allocator, created the way the plug-in does it.
struct publisher {
  vnxvideo_allocator_t allocator_{nullptr};
  vnxvideo_rawproc_t server_{nullptr};
  explicit publisher(const std::string& aName, int aSizeMb = 4) {
    allocator_ = _T_CreateAllocator(aName, aSizeMb);
    int rc = _T_WithAllocator(allocator_, [&] {
      EXPECT_EQ(vnxvideo_err_ok, vnxvideo_local_server_create(aName.c_str(), aSizeMb, &server_));
    });
    EXPECT_EQ(vnxvideo_err_ok, rc);
  }
  ~publisher() {
    vnxvideo_rawproc_flush(server_);
    vnxvideo_rawproc_free(server_);
    vnxvideo_shm_allocator_free(allocator_);
  }
  // Allocates a sample in the segment, fills it with the pattern of aFrame
  // and publishes it.
  int Publish(int aFormat, int aW, int aH, uint64_t aFrame, uint64_t aTimestamp) {
    vnxvideo_raw_sample_t s{nullptr};
    int rc = vnxvideo_err_ok;
    _T_WithAllocator(allocator_, [&] { rc = vnxvideo_raw_sample_allocate(static_cast<EColorspace>(aFormat), aW, aH, &s); });
    if (rc != vnxvideo_err_ok) return rc;
    _T_Fill(s, aFrame);
    rc = vnxvideo_rawproc_process(server_, s, aTimestamp);
    vnxvideo_raw_sample_free(s);
    return rc;
  }
};

TEST_F(VnxvideoTest, ForkedReaderTakesEveryFramePublishedInLockstep) {
  const std::string name = _T_Endpoint("lockstep");
  struct step_t {
    int format_, w_, h_;
  } steps[] = {{EMF_GRAY, 64, 48}, {EMF_GRAY, 64, 48}, {EMF_I420, 320, 240}, {EMF_I420, 320, 240},
               {EMF_NV12, 320, 240}, {EMF_NV12, 128, 96},  {EMF_GRAY, 1920, 1080}};
  publisher pub(name, 8);
  pipe_pair toChild, toParent;
  pid_t child = _T_Fork([&]() -> int {
    std::string error;
    auto r = vnxshm::reader::Attach(name, error);
    if (!r) {
      std::fprintf(stderr, "child: attach: %s\n", error.c_str());
      return 2;
    }
    uint64_t last = 0;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
      if (toChild.Get() != 'p') return 3;
      vnxshm::frame f;
      vnxshm::reader::result res = r->ReadNewest(last, f);
      if (res != vnxshm::reader::kFRAME) {
        std::fprintf(stderr, "child: step %zu: read result %d\n", i, res);
        return 4;
      }
      const auto& s = steps[i];
      std::string diff = _T_CheckPattern(f, i + 1);
      if (f.desc_.sequence_ != i + 1 || f.desc_.format_ != uint32_t(s.format_) || f.desc_.width_ != uint32_t(s.w_) ||
          f.desc_.height_ != uint32_t(s.h_) || f.desc_.timestamp_ != 1000 * (i + 1) || !diff.empty()) {
        std::fprintf(stderr, "child: step %zu: seq %llu fmt %u %ux%u ts %llu %s\n", i,
                     (unsigned long long)f.desc_.sequence_, f.desc_.format_, f.desc_.width_, f.desc_.height_,
                     (unsigned long long)f.desc_.timestamp_, diff.c_str());
        return 5;
      }
      // Nothing newer than what was just read.
      if (r->ReadNewest(f.desc_.sequence_, f) != vnxshm::reader::kNO_NEW_FRAME) return 6;
      last = f.desc_.sequence_;
      toParent.Put('r');
    }
    return 0;
  });
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    const auto& s = steps[i];
    ASSERT_EQ(vnxvideo_err_ok, vnxvideo_rawproc_set_format(pub.server_, static_cast<EColorspace>(s.format_), s.w_, s.h_));
    ASSERT_EQ(vnxvideo_err_ok, pub.Publish(s.format_, s.w_, s.h_, i + 1, 1000 * (i + 1)));
    toChild.Put('p');
    if (toParent.Get() != 'r') break;
  }
  EXPECT_EQ(0, _T_Wait(child));
}

TEST_F(VnxvideoTest, ForkedReaderNeverKeepsAMixedFrameFromAFastWriter) {
  // Two frames fill the segment, so the writer overwrites the block of frame
  // N while it publishes N+2: a reader still copying N is overtaken often.
  // Every copy it keeps must still be one whole frame.
  const std::string name = _T_Endpoint("race");
  constexpr uint64_t kFrames = 1000;
  publisher pub(name, 1);
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_rawproc_set_format(pub.server_, EMF_I420, 640, 480));
  pipe_pair ready, done;
  pid_t child = _T_Fork([&]() -> int {
    std::string error;
    auto r = vnxshm::reader::Attach(name, error);
    if (!r) return 2;
    ready.Put('a');
    uint64_t last = 0, kept = 0, torn = 0;
    while (last < kFrames) {
      vnxshm::frame f;
      switch (r->ReadNewest(last, f)) {
        case vnxshm::reader::kFRAME: {
          std::string diff = _T_CheckPattern(f, f.desc_.timestamp_);
          if (!diff.empty() || f.desc_.sequence_ != f.desc_.timestamp_) {
            std::fprintf(stderr, "child: frame %llu mixed: %s\n", (unsigned long long)f.desc_.sequence_, diff.c_str());
            return 3;
          }
          last = f.desc_.sequence_;
          ++kept;
          break;
        }
        case vnxshm::reader::kTORN: ++torn; break;
        case vnxshm::reader::kNO_NEW_FRAME: break;
        default: return 4;
      }
    }
    std::fprintf(stderr, "child: kept %llu frames, %llu torn reads dropped\n", (unsigned long long)kept,
                 (unsigned long long)torn);
    return kept > 0 ? 0 : 5;
  });
  ASSERT_EQ('a', ready.Get());
  for (uint64_t k = 1; k <= kFrames; ++k) ASSERT_EQ(vnxvideo_err_ok, pub.Publish(EMF_I420, 640, 480, k, k));
  EXPECT_EQ(0, _T_Wait(child));
}

TEST_F(VnxvideoTest, ReaderDetectsAFramePublishedDuringItsCopy) {
  const std::string name = _T_Endpoint("torn");
  publisher pub(name, 1);
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_rawproc_set_format(pub.server_, EMF_GRAY, 64, 48));
  ASSERT_EQ(vnxvideo_err_ok, pub.Publish(EMF_GRAY, 64, 48, 1, 1));
  std::string error;
  auto r = vnxshm::reader::Attach(name, error);
  ASSERT_TRUE(r) << error;
  uint64_t seq = 0;
  ASSERT_TRUE(r->Begin(seq));
  EXPECT_TRUE(r->Validate(seq));
  ASSERT_EQ(vnxvideo_err_ok, pub.Publish(EMF_GRAY, 64, 48, 2, 2));
  EXPECT_FALSE(r->Validate(seq)) << "a copy begun before the publication must be dropped";
  vnxshm::frame f;
  ASSERT_EQ(vnxshm::reader::kFRAME, r->ReadNewest(0, f));
  EXPECT_EQ(2u, f.desc_.sequence_);
  EXPECT_EQ("", _T_CheckPattern(f, 2));
}

// A segment written by hand: a writer caught in the middle of an update, and
// a description pointing outside the segment.
TEST(VnxvideoReaderTest, RefusesOddSequenceAndOutOfBoundsPlanes) {
  const std::string name = _T_Endpoint("forged");
  const std::string shmName = vnxshm::SegmentName(name);
  int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  const uint64_t size = 1 << 20;
  ASSERT_EQ(0, ftruncate(fd, size));
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(MAP_FAILED, map);
  auto* hdr = new (map) vnxshm::header();
  std::memcpy(hdr->magic_, vnxshm::kMAGIC, sizeof vnxshm::kMAGIC);
  hdr->version_ = vnxshm::kVERSION;
  hdr->segment_size_ = size;
  hdr->arena_offset_ = vnxshm::kHEADER_SIZE;
  hdr->arena_size_ = size - vnxshm::kHEADER_SIZE;
  hdr->frame_ = vnxshm::frame_desc{vnxshm::kFMT_GRAY, 64, 48, 1, {64, 0, 0}, 0, {vnxshm::kHEADER_SIZE, 0, 0}, 7, 1};
  hdr->state_.store(vnxshm::kSTATE_LIVE);
  hdr->seq_.store(3);  // mid-update

  std::string error;
  auto r = vnxshm::reader::Attach(name, error);
  ASSERT_TRUE(r) << error;
  vnxshm::frame f;
  EXPECT_EQ(vnxshm::reader::kTORN, r->ReadNewest(0, f));
  hdr->seq_.store(4);
  EXPECT_EQ(vnxshm::reader::kFRAME, r->ReadNewest(0, f));
  hdr->frame_.offsets_[0] = size - 64 * 47;  // last rows beyond the end
  hdr->frame_.sequence_ = 2;
  EXPECT_EQ(vnxshm::reader::kBAD, r->ReadNewest(0, f));
  hdr->frame_.offsets_[0] = 16;  // inside the header
  EXPECT_EQ(vnxshm::reader::kBAD, r->ReadNewest(0, f));
  hdr->frame_.offsets_[0] = vnxshm::kHEADER_SIZE;
  hdr->frame_.strides_[0] = 32;  // shorter than a row
  EXPECT_EQ(vnxshm::reader::kBAD, r->ReadNewest(0, f));
  munmap(map, size);
  shm_unlink(shmName.c_str());
}

TEST_F(VnxvideoTest, ServerRefusesMisuseAndWithdrawsItsFrameWhenFreed) {
  const std::string name = _T_Endpoint("server");
  publisher pub(name, 2);
  // Before any format.
  EXPECT_EQ(vnxvideo_err_invalid_parameter, pub.Publish(EMF_GRAY, 64, 48, 1, 1));
  EXPECT_TRUE(log_.Has("server: fail: rawproc_process before a format was announced")) << log_.Dump();
  EXPECT_EQ(vnxvideo_err_invalid_parameter, vnxvideo_rawproc_set_format(pub.server_, EMF_I420, 65, 48));
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_rawproc_set_format(pub.server_, EMF_GRAY, 64, 48));
  // A sample of another size than announced.
  EXPECT_EQ(vnxvideo_err_invalid_parameter, pub.Publish(EMF_GRAY, 32, 48, 1, 1));
  EXPECT_TRUE(log_.Has("server: fail: sample GRAY8 32x48 does not match the announced GRAY8 64x48")) << log_.Dump();
  // A second server on the same name.
  vnxvideo_rawproc_t second{nullptr};
  EXPECT_EQ(vnxvideo_err_invalid_parameter, vnxvideo_local_server_create(name.c_str(), 2, &second));

  // A sample outside the segment (caller memory) is copied in before it is
  // published: readers can only reach the segment.
  std::vector<uint8_t> memory(64 * 48);
  int strides[3] = {64, 0, 0};
  uint8_t* planes[3] = {memory.data(), nullptr, nullptr};
  vnxvideo_raw_sample_t wrapped{nullptr};
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_raw_sample_wrap(EMF_GRAY, 64, 48, strides, planes, &wrapped));
  _T_Fill(wrapped, 9);
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_rawproc_process(pub.server_, wrapped, 90));
  vnxvideo_raw_sample_free(wrapped);
  std::fill(memory.begin(), memory.end(), 0);

  std::string error;
  auto r = vnxshm::reader::Attach(name, error);
  ASSERT_TRUE(r) << error;
  vnxshm::frame f;
  ASSERT_EQ(vnxshm::reader::kFRAME, r->ReadNewest(0, f));
  EXPECT_EQ(1u, f.desc_.sequence_);
  EXPECT_EQ(90u, f.desc_.timestamp_);
  EXPECT_EQ("", _T_CheckPattern(f, 9));

  // Freeing the server withdraws the frame; a new server continues the
  // numbering of the segment.
  vnxvideo_rawproc_free(pub.server_);
  pub.server_ = vnxvideo_rawproc_t{nullptr};
  EXPECT_EQ(vnxshm::reader::kNO_NEW_FRAME, r->ReadNewest(0, f));
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_local_server_create(name.c_str(), 2, &pub.server_));
  ASSERT_EQ(vnxvideo_err_ok, vnxvideo_rawproc_set_format(pub.server_, EMF_GRAY, 64, 48));
  ASSERT_EQ(vnxvideo_err_ok, pub.Publish(EMF_GRAY, 64, 48, 3, 30));
  ASSERT_EQ(vnxshm::reader::kFRAME, r->ReadNewest(1, f));
  EXPECT_EQ(2u, f.desc_.sequence_);
  EXPECT_EQ(vnxvideo_err_ok, vnxvideo_rawproc_flush(pub.server_));
}

TEST_F(VnxvideoTest, ClosingTheLastHandleClosesTheSegmentForReaders) {
  const std::string name = _T_Endpoint("close");
  std::unique_ptr<vnxshm::reader> r;
  {
    publisher pub(name, 1);
    std::string error;
    r = vnxshm::reader::Attach(name, error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(getpid(), r->WriterPid());
    EXPECT_FALSE(r->Closed());
  }
  EXPECT_TRUE(r->Closed());
  EXPECT_TRUE(r->Replaced());
  vnxshm::frame f;
  EXPECT_EQ(vnxshm::reader::kCLOSED, r->ReadNewest(0, f));
  std::string error;
  EXPECT_FALSE(vnxshm::reader::Attach(name, error));
  EXPECT_NE(std::string::npos, error.find("No such file")) << error;
}

// ---- stale segments and a second writer ---------------------------------------

TEST_F(VnxvideoTest, StaleSegmentOfACrashedWriterIsReplaced) {
  const std::string name = _T_Endpoint("stale");
  pid_t crashed = _T_Fork([&]() -> int {
    publisher* pub = new publisher(name, 1);  // never freed: the process dies holding it
    vnxvideo_rawproc_set_format(pub->server_, EMF_GRAY, 64, 48);
    pub->Publish(EMF_GRAY, 64, 48, 1, 1);
    _exit(0);
  });
  ASSERT_EQ(0, _T_Wait(crashed));
  ASSERT_TRUE(_T_SegmentExists(name));
  std::string error;
  auto old = vnxshm::reader::Attach(name, error);
  ASSERT_TRUE(old) << error;
  EXPECT_FALSE(old->Closed()) << "nobody told the segment its writer died";

  {
    publisher pub(name, 2);
    EXPECT_TRUE(old->Closed()) << "readers of the stale segment learn that it is gone";
    EXPECT_TRUE(old->Replaced());
    auto fresh = vnxshm::reader::Attach(name, error);
    ASSERT_TRUE(fresh) << error;
    EXPECT_EQ(getpid(), fresh->WriterPid());
    EXPECT_EQ(2u << 20, fresh->Size());
    vnxshm::frame f;
    EXPECT_EQ(vnxshm::reader::kNO_NEW_FRAME, fresh->ReadNewest(0, f));
  }
  EXPECT_NE(std::string::npos, log_.Dump().find("shm: replacing stale segment <" + vnxshm::SegmentName(name) +
                                               "> (size:1048576, writer-pid:" + std::to_string(crashed) + ")"))
      << log_.Dump();

  // Leftover junk of any size under the name is replaced as well.
  int fd = shm_open(vnxshm::SegmentName(name).c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, 100));
  close(fd);
  publisher again(name, 1);
  EXPECT_NE(nullptr, again.server_.ptr);
}

TEST_F(VnxvideoTest, SecondLiveWriterProcessIsRefused) {
  const std::string name = _T_Endpoint("twowriters");
  pipe_pair holding, release;
  pid_t writer = _T_Fork([&]() -> int {
    vnxvideo_allocator_t a = _T_CreateAllocator(name, 1);
    holding.Put('h');
    release.Get();
    vnxvideo_shm_allocator_free(a);
    return 0;
  });
  ASSERT_EQ('h', holding.Get());
  int ran = 0;
  EXPECT_EQ(vnxvideo_err_external_api, _T_WithShm(name, 1, [&] { ++ran; }));
  EXPECT_EQ(0, ran);
  EXPECT_TRUE(log_.Has("shm: fail: segment <" + vnxshm::SegmentName(name) +
                       "> is held by another writer (writer-pid:" + std::to_string(writer) + ")"))
      << log_.Dump();
  release.Put('r');
  EXPECT_EQ(0, _T_Wait(writer));
  // Once it is gone the name is free again.
  EXPECT_EQ(vnxvideo_err_ok, _T_WithShm(name, 1, [&] { ++ran; }));
  EXPECT_EQ(1, ran);
}

// ---- pictures -----------------------------------------------------------------

TEST(VnxvideoPictureTest, WritesGrayAsPgmAndYuvAsPpm) {
  char dir[] = "/tmp/vnxpicXXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  auto slurp = [](const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  vnxshm::frame gray;
  gray.desc_.format_ = vnxshm::kFMT_GRAY, gray.desc_.width_ = 4, gray.desc_.height_ = 2, gray.desc_.plane_count_ = 1;
  gray.pixels_ = {0, 1, 2, 3, 250, 251, 252, 253};
  std::string error;
  ASSERT_TRUE(vnxshm::WritePicture(std::string(dir) + "/g.pgm", gray, error)) << error;
  EXPECT_EQ(std::string("P5\n4 2\n255\n") + std::string(gray.pixels_.begin(), gray.pixels_.end()),
            slurp(std::string(dir) + "/g.pgm"));

  // 2x2 I420 and NV12 of one colour each: pure red in BT.601 studio range
  // is Y 81, U 90, V 240.
  struct case_t {
    uint32_t format_;
    std::vector<uint8_t> pixels_;
  } cases[] = {{vnxshm::kFMT_I420, {81, 81, 81, 81, 90, 240}}, {vnxshm::kFMT_NV12, {81, 81, 81, 81, 90, 240}}};
  for (const auto& c : cases) {
    vnxshm::frame f;
    f.desc_.format_ = c.format_, f.desc_.width_ = 2, f.desc_.height_ = 2;
    f.desc_.plane_count_ = c.format_ == vnxshm::kFMT_I420 ? 3 : 2;
    f.pixels_ = c.pixels_;
    const std::string path = std::string(dir) + "/c" + std::to_string(c.format_) + ".ppm";
    ASSERT_TRUE(vnxshm::WritePicture(path, f, error)) << error;
    const std::string data = slurp(path);
    ASSERT_EQ(std::string("P6\n2 2\n255\n").size() + 12, data.size());
    EXPECT_EQ(0, data.compare(0, 11, "P6\n2 2\n255\n"));
    for (int px = 0; px < 4; ++px) {
      EXPECT_GE(uint8_t(data[11 + px * 3]), 250) << c.format_;
      EXPECT_LE(uint8_t(data[12 + px * 3]), 3) << c.format_;
      EXPECT_LE(uint8_t(data[13 + px * 3]), 3) << c.format_;
    }
  }
  EXPECT_FALSE(vnxshm::WritePicture("/nonexistent-dir/x.ppm", gray, error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent-dir/x.ppm")) << error;
  std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace
