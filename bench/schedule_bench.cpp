// How long a request of libkavo-vnx.so waits before it reaches the VMS:
//
//   BM_IdleStart       KavoPoolLoadVideoAsync on an idle pool until the request
//                      head arrives at the server;
//   BM_FreedSlotStart  with a limit of 1 and a second request queued, from the
//                      callback of the first (its slot is free by then) until
//                      the second request's head arrives;
//   BM_DirectRequest   the anchor: connect and send the same request from the
//                      caller's thread, as a command-line client does.
//
// The pool's scheduler looks at its queue every 100 ms while it is empty and
// every 50 ms while the limit is reached, so the first two are bounded by
// those intervals. Each iteration starts at a random point of the scheduler's
// period (a random pause before the request, or a random delay of the first
// answer), so the mean is the mean over all phases, not a lucky or unlucky
// one. Manual time: only the wait itself is measured.
//
// The server is a small loopback HTTP server of this file: it timestamps the
// arrival of each request head and answers with a tiny valid export.
#include <tarn/support/kavo/pool.h>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_t_ = std::chrono::steady_clock;

std::string _T_Reply() {
  const std::string body =
      "--b\r\nContent-Type: video/mp4\r\n\r\n0123456789abcdef\r\n--b\r\nContent-Type: application/json\r\n\r\n"
      "{\"length\": 16, \"tracks\": [{\"codec\": \"H264\", \"width\": 640, \"height\": 360, \"interval\": "
      "[\"2026-12-11T10:00:00.000Z\", \"2026-12-11T10:00:01.000Z\"]}]}\r\n--b--\r\n";
  char size[16];
  std::snprintf(size, sizeof size, "%zx", body.size());
  return "HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=b\r\nTransfer-Encoding: chunked\r\n\r\n" +
         std::string(size) + "\r\n" + body + "\r\n0\r\n\r\n";
}

// Loopback server: one thread per connection; records when each request head
// has arrived and, before answering, waits the delay set for that request.
class arrival_server {
 public:
  arrival_server() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd_, 64);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~arrival_server() {
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    acceptor_.join();
    for (auto& t : sessions_) t.join();
  }

  unsigned short port() const { return port_; }
  // Delay of the answer to the next request.
  void setDelay(std::chrono::microseconds aDelay) { delay_us_ = aDelay.count(); }
  // Waits for the aCount-th request head (1-based) and returns its arrival time.
  clock_t_::time_point waitArrival(size_t aCount) {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return arrivals_.size() >= aCount; });
    return arrivals_[aCount - 1];
  }
  size_t arrivals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_.size();
  }

 private:
  void acceptLoop() {
    while (!stopping_) {
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      int one = 1;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      sessions_.emplace_back([this, client] { session(client); });
    }
  }
  void session(int aClient) {
    std::string head;
    char scratch[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(aClient, scratch, sizeof scratch, 0);
      if (n <= 0) return (void)::close(aClient);
      head.append(scratch, size_t(n));
    }
    const auto arrived = clock_t_::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      arrivals_.push_back(arrived);
    }
    cond_.notify_all();
    const long delay = delay_us_.exchange(0);
    if (delay) std::this_thread::sleep_for(std::chrono::microseconds(delay));
    const std::string reply = _T_Reply();
    (void)::send(aClient, reply.data(), reply.size(), MSG_NOSIGNAL);
    while (::recv(aClient, scratch, sizeof scratch, 0) > 0) {
    }
    ::close(aClient);
  }

  int fd_ = -1;
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<long> delay_us_{0};
  std::thread acceptor_;
  std::vector<std::thread> sessions_;  // only the acceptor touches it until the destructor
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<clock_t_::time_point> arrivals_;
};

// Completion of one request: its code and when the callback ran.
struct completion {
  std::mutex mutex_;
  std::condition_variable cond_;
  bool done_ = false;
  int code_ = 1;
  clock_t_::time_point at_;

  static void Handler(int aCode, const kavo_video_info*, void* aArg) {
    auto* self = static_cast<completion*>(aArg);
    const auto now = clock_t_::now();
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->code_ = aCode;
    self->at_ = now;
    self->done_ = true;
    self->cond_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return done_; });
  }
};

std::string _T_Path() {
  const char* dir = std::getenv("TARN_BENCH_DIR");
  return std::string(dir && *dir ? dir : ".") + "/schedule-bench-" + std::to_string(getpid()) + ".mp4";
}

double _T_Seconds(clock_t_::duration aDuration) { return std::chrono::duration<double>(aDuration).count(); }

void BM_IdleStart(benchmark::State& aState) {
  arrival_server server;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/storage/cam1";
  const std::string path = _T_Path();
  void* pool = nullptr;
  KavoPoolCreate(&pool, nullptr, 1);
  std::mt19937 random(12345);
  // One whole poll period, so every phase of the scheduler is equally likely.
  std::uniform_int_distribution<int> pauseUs(0, 99999);
  kavo_video_conf conf{1000, 2000, 0, 0, 0, kKAVO_VIDEO_MP4_H264};
  size_t count = 0;
  double worst = 0;
  for (auto _ : aState) {
    std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
    completion done;
    const auto start = clock_t_::now();
    KavoPoolLoadVideoAsync(pool, url.c_str(), path.c_str(), &conf, completion::Handler, &done);
    const auto arrived = server.waitArrival(++count);
    done.wait();
    if (done.code_ != 0) {
      aState.SkipWithError("the request failed");
      break;
    }
    const double seconds = _T_Seconds(arrived - start);
    worst = std::max(worst, seconds);
    aState.SetIterationTime(seconds);
  }
  KavoPoolDestroy(pool);
  ::unlink(path.c_str());
  aState.counters["max_ms"] = worst * 1e3;
}

void BM_FreedSlotStart(benchmark::State& aState) {
  arrival_server server;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/storage/cam1";
  const std::string path = _T_Path();
  void* pool = nullptr;
  KavoPoolCreate(&pool, nullptr, 1);
  std::mt19937 random(54321);
  // Two whole poll periods of the busy scheduler.
  std::uniform_int_distribution<int> delayUs(0, 99999);
  kavo_video_conf conf{1000, 2000, 0, 0, 0, kKAVO_VIDEO_MP4_H264};
  double worst = 0;
  for (auto _ : aState) {
    // The first request holds the only slot for a random time; the second
    // waits in the queue behind it.
    server.setDelay(std::chrono::microseconds(delayUs(random)));
    completion first, second;
    const size_t before = server.arrivals();
    KavoPoolLoadVideoAsync(pool, url.c_str(), path.c_str(), &conf, completion::Handler, &first);
    KavoPoolLoadVideoAsync(pool, url.c_str(), path.c_str(), &conf, completion::Handler, &second);
    first.wait();
    const auto arrived = server.waitArrival(before + 2);
    second.wait();
    if (first.code_ != 0 || second.code_ != 0) {
      aState.SkipWithError("a request failed");
      break;
    }
    const double seconds = _T_Seconds(arrived - first.at_);
    worst = std::max(worst, seconds);
    aState.SetIterationTime(seconds);
  }
  KavoPoolDestroy(pool);
  ::unlink(path.c_str());
  aState.counters["max_ms"] = worst * 1e3;
}

void BM_DirectRequest(benchmark::State& aState) {
  arrival_server server;
  const std::string request =
      "GET /storage/cam1/export?format=isom&begin=1000&end=2000&summary=basic HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "User-Agent: TARN/0.37.x\r\n\r\n";
  size_t count = 0;
  for (auto _ : aState) {
    const auto start = clock_t_::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.port());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
      ::close(fd);
      aState.SkipWithError("connect or send failed");
      break;
    }
    const auto arrived = server.waitArrival(++count);
    ::shutdown(fd, SHUT_WR);
    char scratch[4096];
    while (::recv(fd, scratch, sizeof scratch, 0) > 0) {
    }
    ::close(fd);
    aState.SetIterationTime(_T_Seconds(arrived - start));
  }
}

BENCHMARK(BM_IdleStart)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FreedSlotStart)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectRequest)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
