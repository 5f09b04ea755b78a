// End-to-end driver of libkavo-vnx.so for the benchmark script: downloads N
// exports of one URL through one pool and prints one line of JSON with the
// wall time, the process's CPU time and its peak memory over the downloads.
//
//   kavo-export URL BEGIN END SESSIONS FILE...
//
// One request per FILE, all handed to the pool at once. The clock starts just
// before the first KavoPoolLoadVideoAsync (the pool already exists, as in a
// program that keeps its pool) and stops at the last callback. Memory: the
// peak resident size of the process is reset just before the requests
// (/proc/self/clear_refs), so "rss_growth_kib" is how far the downloads took
// the process above where it stood before them.
#include <tarn/support/kavo/pool.h>

#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct tally {
  std::mutex mutex_;
  std::condition_variable cond_;
  size_t left_ = 0;
  size_t failed_ = 0;
  uint64_t bytes_ = 0;  // the lengths the VMS reported
};

void _T_Done(int aCode, const kavo_video_info* aInfo, void* aArg) {
  auto* t = static_cast<tally*>(aArg);
  std::lock_guard<std::mutex> lock(t->mutex_);
  if (aCode == 0 && aInfo)
    t->bytes_ += aInfo->size_;
  else
    ++t->failed_;
  if (--t->left_ == 0) t->cond_.notify_all();
}

// A field of /proc/self/status in KiB, or -1.
long _T_StatusKib(const char* aField) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(aField);
  while (std::getline(status, line))
    if (line.compare(0, n, aField) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  return -1;
}

double _T_CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& aTime) { return double(aTime.tv_sec) + double(aTime.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: kavo-export URL BEGIN END SESSIONS FILE...\n");
    return 2;
  }
  const char* url = argv[1];
  const kavo_video_conf conf{std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10), 0, 0, 0,
                             kKAVO_VIDEO_MP4_H264};
  const int sessions = std::atoi(argv[4]);
  std::vector<const char*> files(argv + 5, argv + argc);

  void* pool = nullptr;
  if (KavoPoolCreate(&pool, nullptr, uint8_t(sessions)) != 0) return 1;

  tally t;
  t.left_ = files.size();
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";  // resets VmHWM to the current resident size
  }
  const long rssBefore = _T_StatusKib("VmRSS");
  const double cpuBefore = _T_CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (const char* file : files) {
    if (KavoPoolLoadVideoAsync(pool, url, file, &conf, _T_Done, &t) != 0) {
      std::lock_guard<std::mutex> lock(t.mutex_);
      ++t.failed_;
      --t.left_;
    }
  }
  {
    std::unique_lock<std::mutex> lock(t.mutex_);
    t.cond_.wait(lock, [&] { return t.left_ == 0; });
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = _T_CpuSeconds() - cpuBefore;
  const long peak = _T_StatusKib("VmHWM");
  KavoPoolDestroy(pool);

  std::printf("{\"wall_s\": %.6f, \"cpu_s\": %.6f, \"bytes\": %llu, \"failed\": %zu, \"rss_before_kib\": %ld, "
              "\"rss_peak_kib\": %ld, \"rss_growth_kib\": %ld}\n",
              wall, cpu, static_cast<unsigned long long>(t.bytes_), t.failed_, rssBefore, peak, peak - rssBefore);
  return t.failed_ == 0 ? 0 : 1;
}
