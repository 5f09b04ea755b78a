// Time per frame through a streamer unit of libvnx-streamer-bundle.so into
// shared memory, against one memcpy of the same frame size.
//
// The unit is made through the bundle's exports, as a host makes it, over the
// vnxvideo stand-in (libvnxvideo.so): every frame is mapped, wrapped, copied
// into the unit's shared-memory segment and published. The anchors copy the
// same source buffer with one memcpy: into one fixed destination (the plain
// limit), and into destinations taken in turn from a ring as large as the
// unit's segment (what the copy costs when its destination is cold: the
// unit's copy cannot go to the block it wrote last, which is still published,
// so it is the better the warmer the library keeps the other block).
#include <tarn/support/mediastreamer/vnx_bundle.h>

#include <benchmark/benchmark.h>
#include <gst/gst.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace Tarn::Support;

// The unit's segment, and the ring of the second anchor.
constexpr int kSegmentMb = 64;

long _T_MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

size_t _T_FrameBytes(int aWidth, int aHeight) { return size_t(aWidth) * size_t(aHeight) * 3 / 2; }

frame_type _T_Type(int aNv12) { return aNv12 ? kFRAME_TYPE__YUV420_NV12 : kFRAME_TYPE__YUV420_I420; }

GstBuffer* _T_Frame(size_t aBytes) {
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, aBytes, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  for (size_t i = 0; i < aBytes; ++i) map.data[i] = uint8_t(i * 131 + (i >> 12));
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

void _T_Label(benchmark::State& aState) {
  aState.SetLabel(std::to_string(aState.range(0)) + "x" + std::to_string(aState.range(1)) +
                  (aState.range(2) ? " NV12" : " I420"));
}

void BM_UnitFrame(benchmark::State& aState) {
  const int w = int(aState.range(0)), h = int(aState.range(1));
  const size_t bytes = _T_FrameBytes(w, h);
  const std::string conf = "{\"endpoint\": \"tarn-bench-" + std::to_string(getpid()) +
                           "\", \"max-size-mb\": " + std::to_string(kSegmentMb) + "}";
  streamer_unit_like* unit = MediaStreamerCreateUnit(conf.c_str());
  if (!unit) {
    aState.SkipWithError("MediaStreamerCreateUnit failed");
    return;
  }
  GstBuffer* frame = _T_Frame(bytes);
  frame_info2 info{0, uint16_t(w), uint16_t(h), _T_Type(int(aState.range(2)))};
  unit->handleStreamFrame(info, frame);  // the format announcement stays out of the figure
  uint64_t published = 0;
  const long faults = _T_MinorFaults();
  for (auto _ : aState) {
    info.exposure_start_ts_ += 40000000;
    unit->handleStreamFrame(info, frame);
    ++published;
  }
  // Page faults taken on the frame path (the segment is meant to be pre-faulted).
  aState.counters["faults_per_frame"] = double(_T_MinorFaults() - faults) / double(published ? published : 1);
  // Every frame must have been published, or the figure means nothing.
  std::string stats;
  unit->collectStats([](void* aArg, const char* aText) { *static_cast<std::string*>(aArg) = aText; }, &stats);
  if (stats.find("\"frame-count\": " + std::to_string(published + 1) + ",") == std::string::npos)
    aState.SkipWithError(("frames were dropped: " + stats).c_str());
  unit->destroy();
  gst_buffer_unref(frame);
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(bytes));
  _T_Label(aState);
}

// Memory of the anchors, touched before use like the unit's pre-faulted segment.
uint8_t* _T_Prefaulted(size_t aBytes) {
  void* p = mmap(nullptr, aBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  std::memset(p, 1, aBytes);
  return static_cast<uint8_t*>(p);
}

void BM_Memcpy(benchmark::State& aState) {
  const size_t bytes = _T_FrameBytes(int(aState.range(0)), int(aState.range(1)));
  GstBuffer* frame = _T_Frame(bytes);
  GstMapInfo map;
  gst_buffer_map(frame, &map, GST_MAP_READ);
  uint8_t* target = _T_Prefaulted(bytes);
  for (auto _ : aState) {
    std::memcpy(target, map.data, bytes);
    benchmark::ClobberMemory();
  }
  munmap(target, bytes);
  gst_buffer_unmap(frame, &map);
  gst_buffer_unref(frame);
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(bytes));
  _T_Label(aState);
}

void BM_MemcpyRing(benchmark::State& aState) {
  const size_t bytes = _T_FrameBytes(int(aState.range(0)), int(aState.range(1)));
  const size_t slot = (bytes + 63) / 64 * 64;
  const size_t ring = size_t(kSegmentMb) << 20;
  const size_t slots = ring / slot;
  GstBuffer* frame = _T_Frame(bytes);
  GstMapInfo map;
  gst_buffer_map(frame, &map, GST_MAP_READ);
  uint8_t* target = _T_Prefaulted(ring);
  size_t next = 0;
  for (auto _ : aState) {
    std::memcpy(target + next * slot, map.data, bytes);
    benchmark::ClobberMemory();
    next = (next + 1) % slots;
  }
  munmap(target, ring);
  gst_buffer_unmap(frame, &map);
  gst_buffer_unref(frame);
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(bytes));
  _T_Label(aState);
}

// Two destinations in turn: what a copy costs when, as in the unit, the
// block written last is still published and the copy goes to the other one.
void BM_MemcpyTwoBlocks(benchmark::State& aState) {
  const size_t bytes = _T_FrameBytes(int(aState.range(0)), int(aState.range(1)));
  const size_t slot = (bytes + 63) / 64 * 64;
  GstBuffer* frame = _T_Frame(bytes);
  GstMapInfo map;
  gst_buffer_map(frame, &map, GST_MAP_READ);
  uint8_t* target = _T_Prefaulted(2 * slot);
  size_t next = 0;
  for (auto _ : aState) {
    std::memcpy(target + next * slot, map.data, bytes);
    benchmark::ClobberMemory();
    next ^= 1;
  }
  munmap(target, 2 * slot);
  gst_buffer_unmap(frame, &map);
  gst_buffer_unref(frame);
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(bytes));
  _T_Label(aState);
}

void _T_Sizes(benchmark::internal::Benchmark* aBench) {
  aBench->ArgNames({"w", "h", "nv12"});
  for (int nv12 : {0, 1}) {
    aBench->Args({1920, 1080, nv12});
    aBench->Args({3840, 2160, nv12});
  }
  aBench->Unit(benchmark::kMicrosecond)->MinTime(0.5);
}

BENCHMARK(BM_UnitFrame)->Apply(_T_Sizes);
BENCHMARK(BM_Memcpy)->Apply(_T_Sizes);
BENCHMARK(BM_MemcpyRing)->Apply(_T_Sizes);
BENCHMARK(BM_MemcpyTwoBlocks)->Apply(_T_Sizes);

}  // namespace

int main(int argc, char** argv) {
  gst_init(nullptr, nullptr);
  if (!MediaStreamerInitBundle()) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  MediaStreamerFiniBundle();
  return 0;
}
