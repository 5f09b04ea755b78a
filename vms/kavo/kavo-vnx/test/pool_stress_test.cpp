// Stress of the deliverable's C functions against the simulated VMS: several
// pools at once, callbacks that queue new requests, eight threads making
// requests while another thread stops and then destroys the pool. Every
// accepted request gets exactly one callback, except those running at the stop,
// which get none; nothing hangs; descriptors and heap come back to where they
// were after thousands of requests.
//
// What the pool promises about stop: KavoPoolStop may overlap requests from
// other threads (a request that races with it is either refused with -1 on
// its caller's thread or queued in time to be cancelled with -4), but
// KavoPoolDestroy must not overlap any other call on the pool. So the
// stopping thread stops at any moment, and destroys only once the requesting
// threads have made their last call.
#include "vms-sim-fixture.h"

#include <tarn/support/kavo/pool.h>
#include <tarn/support/log.h>
#include <tarn/testing/log_capture.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using Tarn::Testing::LogCapture__Dump;
using Tarn::Testing::Process__Usage;
using Tarn::Testing::process_usage;
using Tarn::Testing::sim_scratch_dir;
using Tarn::Testing::vms_sim;

// Ends the process with a message if a phase of a test doesn't end in time:
// a deadlock fails the test instead of hanging it.
class watchdog {
 public:
  watchdog(const char* aWhat, std::chrono::seconds aLimit) : what_(aWhat) {
    thread_ = std::thread([this, aLimit] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!cv_.wait_for(lock, aLimit, [this] { return done_; })) {
        std::fprintf(stderr, "deadlock: %s did not end within %lld s\n", what_,
                     static_cast<long long>(aLimit.count()));
        std::fflush(stderr);
        std::abort();
      }
    });
  }
  ~watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  const char* what_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

struct round_state;

// One request and what came back for it.
struct request_slot {
  round_state* round_ = nullptr;
  void* pool_ = nullptr;
  int loader_ = -1;      // requesting thread, -1 for a request made from a callback
  int depth_ = 0;        // 0: made by a requesting thread, n: the n-th request down a chain of callbacks
  uint32_t expect_size_ = 0;
  bool expect_fault_ = false;  // the server (or the port) fails this request on purpose
  std::string path_;
  std::thread::id caller_;
  bool made_in_stop_ = false;          // the call was made while KavoPoolStop ran
  std::atomic<bool> returned_{false};  // the call that made the request has returned
  int rc_ = 1;                         // its result
  // Under the round's mutex:
  int calls_ = 0;
  int code_ = 1;
  uint32_t size_ = 0;
  std::thread::id thread_;
  bool before_return_ = false;  // the callback came before the call returned
  bool in_stop_ = false;        // the callback came while KavoPoolStop ran
  bool after_stop_ = false;     // the callback came after KavoPoolStop returned
};

struct round_state {
  explicit round_state(size_t aSlots) : slots_(new request_slot[aSlots]), slot_count_(aSlots) {}

  // A free slot, or null when the round has used them all.
  request_slot* take() {
    const size_t index = next_slot_++;
    return index < slot_count_ ? &slots_[index] : nullptr;
  }
  size_t used() const { return std::min(next_slot_.load(), slot_count_); }

  std::unique_ptr<request_slot[]> slots_;
  size_t slot_count_;
  std::atomic<size_t> next_slot_{0};

  vms_sim* sim_ = nullptr;
  sim_scratch_dir* dir_ = nullptr;
  kavo_video_conf conf_{1765447200000, 1765447201000, 0, 0, 0, kKAVO_VIDEO_MP4_H264};
  int chain_depth_ = 0;  // a request that ends well queues another until this depth
  std::atomic<bool> in_stop_{false};
  std::atomic<bool> stopped_{false};

  std::mutex mutex_;
  std::condition_variable cv_;
  size_t calls_ = 0;
  size_t done_ = 0;
  std::vector<int> outstanding_;  // per requesting thread: accepted, not called back
};

// A small export: the simulator sends N bytes of a fixed pattern as the video.
std::string _T_SmallExport(const round_state& aRound, const std::string& aStream, uint32_t aSize) {
  return aRound.sim_->url(aStream + "/big/" + std::to_string(aSize));
}

void _T_Submit(request_slot& aSlot, const std::string& aUrl);

extern "C" void _T_OnVideo(int aCode, const kavo_video_info* aInfo, void* aArg) {
  auto* slot = static_cast<request_slot*>(aArg);
  round_state& round = *slot->round_;
  bool follow = false;
  {
    std::lock_guard<std::mutex> lock(round.mutex_);
    ++slot->calls_;
    slot->code_ = aCode;
    slot->size_ = aInfo != nullptr ? aInfo->size_ : 0;
    slot->thread_ = std::this_thread::get_id();
    slot->before_return_ = !slot->returned_;
    slot->in_stop_ = round.in_stop_;
    slot->after_stop_ = round.stopped_;
    ++round.calls_;
    if (aCode == 0) ++round.done_;
    // Nothing here reads the log; the capture would otherwise keep every line
    // of thousands of requests, and its growth would hide the library's.
    if (round.calls_ % 256 == 0) Tarn::Testing::LogCapture__Clear();
    if (slot->loader_ >= 0) --round.outstanding_[slot->loader_];
    follow = aCode == 0 && slot->depth_ < round.chain_depth_;
  }
  round.cv_.notify_all();
  if (!follow) return;
  // From the worker thread, inside the callback: the next request of the chain.
  request_slot* next = round.take();
  if (next == nullptr) return;
  next->round_ = &round;
  next->pool_ = slot->pool_;
  next->depth_ = slot->depth_ + 1;
  next->expect_size_ = 100 + static_cast<uint32_t>((next - round.slots_.get()) % 400);
  _T_Submit(*next, _T_SmallExport(round, "/chain", next->expect_size_));
}

void _T_Submit(request_slot& aSlot, const std::string& aUrl) {
  round_state& round = *aSlot.round_;
  aSlot.path_ = round.dir_->file(std::to_string(&aSlot - round.slots_.get()) + ".mp4");
  aSlot.caller_ = std::this_thread::get_id();
  aSlot.made_in_stop_ = round.in_stop_;
  aSlot.rc_ = KavoPoolLoadVideoAsync(aSlot.pool_, aUrl.c_str(), aSlot.path_.c_str(), &round.conf_, _T_OnVideo, &aSlot);
  aSlot.returned_ = true;
}

size_t _T_FileSize(const std::string& aPath) {
  std::error_code error;
  const auto size = std::filesystem::file_size(aPath, error);
  return error ? SIZE_MAX : static_cast<size_t>(size);
}

// The log capture keeps its storage when it is cleared. Grow it once beyond
// what a round writes between two clears, so that the heap measured after the
// rounds is the library's own.
void _T_ReserveLogCapture() {
  for (int i = 0; i < 20000; ++i) LogWrite(__FILE__, __LINE__, __func__, 5, "reserve %d", i);
  Tarn::Testing::LogCapture__Clear();
}

double _T_Seconds(std::chrono::steady_clock::time_point aStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - aStart).count();
}

// ---- Several pools at once, with chains of callbacks -------------------------

constexpr int kLoaders = 8;
constexpr int kChainDepth = 2;  // each request a thread makes is followed by two from callbacks
constexpr uint8_t kLimits[4] = {3, 8, 16, 32};
constexpr int kLimitSum = 3 + 8 + 16 + 32;

// Pools get requests in proportion to their limits, so that each is kept busy
// about as long as the others.
int _T_PickPool(int aIndex) {
  int at = (aIndex * 7) % kLimitSum;
  for (int p = 0; p < 4; ++p) {
    if (at < kLimits[p]) return p;
    at -= kLimits[p];
  }
  return 3;
}

// Every fourth request a thread makes fails on purpose, one way or another;
// the failure paths must give back what they took as the successful ones do.
bool _T_IsFaultHead(int aIndex) { return aIndex % 4 == 3; }

// kLoaders threads spread aHeadsPerLoader requests each over four pools of
// different limits; every request that ends well queues the next of its chain
// from its callback. Each gets exactly one callback: 0 and the file in full,
// or -1 for the faults among them. Returns the number of requests.
size_t _T_ManyPoolsRound(vms_sim& aSim, sim_scratch_dir& aDir, const std::vector<std::string>& aFaults,
                         int aHeadsPerLoader) {
  size_t total = 0;
  for (int i = 0; i < aHeadsPerLoader; ++i) total += _T_IsFaultHead(i) ? 1 : 1 + kChainDepth;
  total *= kLoaders;
  round_state round(total);
  round.sim_ = &aSim;
  round.dir_ = &aDir;
  round.chain_depth_ = kChainDepth;
  round.outstanding_.assign(kLoaders, 0);

  void* pools[4] = {nullptr, nullptr, nullptr, nullptr};
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(KavoPoolCreate(&pools[p], nullptr, kLimits[p]), 0);
    if (pools[p] == nullptr) return 0;
  }
  {
    watchdog guard("a round of several pools", std::chrono::seconds(240));
    std::vector<std::thread> loaders;
    for (int t = 0; t < kLoaders; ++t) {
      loaders.emplace_back([&round, &pools, &aFaults, t, aHeadsPerLoader] {
        for (int i = 0; i < aHeadsPerLoader; ++i) {
          request_slot* slot = round.take();
          if (slot == nullptr) return;
          slot->round_ = &round;
          const int p = _T_PickPool(t * aHeadsPerLoader + i);
          slot->pool_ = pools[p];
          slot->loader_ = t;
          slot->expect_size_ = 100 + static_cast<uint32_t>((slot - round.slots_.get()) % 400);
          slot->expect_fault_ = _T_IsFaultHead(i);
          {
            std::lock_guard<std::mutex> lock(round.mutex_);
            ++round.outstanding_[t];
          }
          _T_Submit(*slot, slot->expect_fault_ ? aFaults[(t + i) % aFaults.size()]
                                               : _T_SmallExport(round, "/pool" + std::to_string(p), slot->expect_size_));
        }
      });
    }
    for (auto& loader : loaders) loader.join();
    std::unique_lock<std::mutex> lock(round.mutex_);
    const bool all = round.cv_.wait_for(lock, std::chrono::seconds(180), [&] { return round.calls_ >= total; });
    EXPECT_TRUE(all) << round.calls_ << " callbacks of " << total;
  }
  // No request can be called back once its pool is gone: the counts are final.
  for (void* pool : pools) KavoPoolDestroy(pool);

  size_t wrong = 0;
  std::string example;
  for (size_t i = 0; i < round.used(); ++i) {
    const request_slot& slot = round.slots_[i];
    const bool good = slot.rc_ == 0 && slot.calls_ == 1 &&
                      (slot.expect_fault_ ? slot.code_ == kKAVO_FAIL
                                          : slot.code_ == 0 && slot.size_ == slot.expect_size_ &&
                                                _T_FileSize(slot.path_) == slot.expect_size_) &&
                      // on the worker thread: not the requesting thread's, and never inside the worker's own call
                      (slot.loader_ >= 0 ? slot.thread_ != slot.caller_ : !slot.before_return_);
    if (!good && wrong++ == 0) {
      example = "request " + std::to_string(i) + ": rc " + std::to_string(slot.rc_) + ", " +
                std::to_string(slot.calls_) + " callbacks, code " + std::to_string(slot.code_) + ", size " +
                std::to_string(slot.size_) + " of " + std::to_string(slot.expect_size_);
    }
  }
  EXPECT_EQ(round.used(), total);
  EXPECT_EQ(wrong, 0u) << example;
  aDir.empty();
  Tarn::Testing::LogCapture__Clear();
  return round.used();
}

TEST(KavoPoolStress, SeveralPoolsAndChainedCallbacksEachRequestOneCallbackNothingLeaks) {
  vms_sim sim;
  sim_scratch_dir dir;
  Tarn::Testing::closed_port nobody;
  const std::vector<std::string> faults = {
      sim.url("/reset-mid-body/big/4000"), sim.url("/garbage-status"), sim.url("/huge-header"),
      sim.url("/close-before-answer"), "http://127.0.0.1:" + std::to_string(nobody.port()) + "/cam"};
  const auto start = std::chrono::steady_clock::now();
  // The first round, larger than those measured after it, warms up what stays
  // allocated for the life of the process (the allocator's and the threads'
  // caches).
  const size_t warmup = _T_ManyPoolsRound(sim, dir, faults, 48);
  _T_ReserveLogCapture();
  const process_usage before = Process__Usage();
  size_t requests = 0;
  const int rounds = 12;
  for (int r = 0; r < rounds && !::testing::Test::HasFailure(); ++r) requests += _T_ManyPoolsRound(sim, dir, faults, 24);
  const process_usage after = Process__Usage();

  std::printf("several pools: %zu requests (%d of them failing on purpose; +%zu warm-up) in %.1f s; fds %zu -> %zu; "
              "heap %zu -> %zu bytes; rss %zu -> %zu KiB; server saw at most %ld at once\n",
              requests, rounds * kLoaders * 24 / 4, warmup, _T_Seconds(start), before.fds_, after.fds_, before.heap_, after.heap_,
              before.rss_ / 1024, after.rss_ / 1024, sim.statsNumber("max_active"));
  EXPECT_GE(requests, 5000u);
  EXPECT_EQ(after.fds_, before.fds_);
  // The allocator's own caches settle at a few tens of KiB over the first
  // rounds and stay there; a request that leaked even its queue entry (some
  // hundred bytes) would leave more than half a MiB here.
  EXPECT_LT(after.heap_, before.heap_ + 128 * 1024);
  EXPECT_LE(sim.statsNumber("max_active"), kLimitSum);
}

// ---- Requests racing with stop, then destroy -------------------------------

constexpr int kRaceLimit = 4;
constexpr int kOutstandingPerLoader = 4;    // before the stop, a thread waits while it has this many open
constexpr int kMaxCallsPerLoader = 400;     // bounds the calls that run into the stop
constexpr int kCallsAfterStop = 5;

struct race_figures {
  size_t accepted_ = 0;       // calls that returned 0
  size_t callbacks_ = 0;
  size_t done_ = 0, failed_ = 0, cancelled_ = 0;
  size_t running_at_stop_ = 0;  // accepted and never called back
  size_t from_callbacks_ = 0;   // requests made inside a callback
  size_t made_in_stop_ = 0;     // requests made while KavoPoolStop ran
  size_t in_stop_refused_ = 0, in_stop_cancelled_ = 0;  // how those ended
};

// One pool of kRaceLimit slots: aHeld requests that the server holds keep as
// many slots busy, kLoaders threads make small requests (each that ends well
// queues one more from its callback), and a stopping thread stops the pool
// while they go on, waits for their last call, and destroys it.
//
// With some slots free, downloads end on the worker thread while the stop
// comes, and a request of theirs may be running at the stop too. With every
// slot held, no request of the threads can run: each must end with -1 or -4,
// and the held ones are exactly those running at the stop.
void _T_RaceRound(vms_sim& aSim, sim_scratch_dir& aDir, int aRound, int aHeld, race_figures& aFigures) {
  round_state round(kLoaders * kMaxCallsPerLoader + 4000);
  round.sim_ = &aSim;
  round.dir_ = &aDir;
  round.chain_depth_ = 1;
  round.outstanding_.assign(kLoaders, 0);
  void* pool = nullptr;
  ASSERT_EQ(KavoPoolCreate(&pool, nullptr, kRaceLimit), 0);

  const std::string held = "/held/" + std::to_string(aRound);
  std::vector<request_slot*> heldSlots;
  for (int h = 0; h < aHeld; ++h) {
    request_slot* slot = round.take();
    slot->round_ = &round;
    slot->pool_ = pool;
    slot->depth_ = round.chain_depth_;  // no follow-up
    // Held for longer than a round may last (its watchdog included).
    _T_Submit(*slot, aSim.url(held + "/delay/150000"));
    heldSlots.push_back(slot);
  }
  // Both held requests have reached the server: they run, and hold their slots.
  for (int i = 0; i < 1000 && aSim.requestsStartingWith(held + "/") < static_cast<size_t>(aHeld); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(aSim.requestsStartingWith(held + "/"), static_cast<size_t>(aHeld));

  std::atomic<int> loadersLeft{kLoaders};
  std::thread::id stopper;
  bool progressed = false;
  bool loadersEnded = false;
  {
    watchdog guard("a round of requests racing with stop", std::chrono::seconds(120));
    std::vector<std::thread> loaders;
    for (int t = 0; t < kLoaders; ++t) {
      loaders.emplace_back([&round, &loadersLeft, pool, t] {
        int afterStop = 0;
        for (int n = 0; n < kMaxCallsPerLoader; ++n) {
          if (round.stopped_ && ++afterStop > kCallsAfterStop) break;
          {
            // Until the stop begins, keep a few requests open; from then on,
            // call as fast as possible, into the stop and past it.
            std::unique_lock<std::mutex> lock(round.mutex_);
            if (!round.cv_.wait_for(lock, std::chrono::seconds(30), [&] {
                  return round.in_stop_ || round.stopped_ || round.outstanding_[t] < kOutstandingPerLoader;
                })) {
              break;  // no progress: the round's checks report it
            }
            ++round.outstanding_[t];
          }
          request_slot* slot = round.take();
          if (slot == nullptr) break;
          slot->round_ = &round;
          slot->pool_ = pool;
          slot->loader_ = t;
          slot->expect_size_ = 100 + static_cast<uint32_t>((slot - round.slots_.get()) % 400);
          _T_Submit(*slot, _T_SmallExport(round, "/race", slot->expect_size_));
          round.cv_.notify_all();  // the stopping thread counts the open requests
        }
        --loadersLeft;
        round.cv_.notify_all();
      });
    }
    std::thread stopping([&] {
      stopper = std::this_thread::get_id();
      {
        std::unique_lock<std::mutex> lock(round.mutex_);
        // Until downloads flow, or, with no slot free, until every thread has its requests queued.
        progressed = round.cv_.wait_for(lock, std::chrono::seconds(30), [&] {
          if (aHeld < kRaceLimit) return round.done_ >= 20;
          int queued = 0;
          for (int open : round.outstanding_) queued += open;
          return queued == kLoaders * kOutstandingPerLoader;
        });
        round.in_stop_ = true;
      }
      round.cv_.notify_all();
      EXPECT_EQ(KavoPoolStop(pool), 0);
      {
        std::lock_guard<std::mutex> lock(round.mutex_);
        round.in_stop_ = false;
        round.stopped_ = true;
      }
      round.cv_.notify_all();
      // Destroy must not overlap any other call: wait for the last one.
      {
        std::unique_lock<std::mutex> lock(round.mutex_);
        loadersEnded = round.cv_.wait_for(lock, std::chrono::seconds(30), [&] { return loadersLeft == 0; });
      }
      if (loadersEnded) KavoPoolDestroy(pool);
    });
    for (auto& loader : loaders) loader.join();
    stopping.join();
  }
  ASSERT_TRUE(progressed) << "no progress before the stop\n" << LogCapture__Dump();
  ASSERT_TRUE(loadersEnded);

  // The pool is gone: no callback can come any more, the counts are final.
  std::lock_guard<std::mutex> lock(round.mutex_);
  size_t wrong = 0, unansweredFast = 0, accepted = 0, callbacks = 0;
  std::string example;
  auto complain = [&](size_t aIndex, const char* aWhy) {
    if (wrong++ == 0) example = "request " + std::to_string(aIndex) + ": " + aWhy;
  };
  for (size_t i = 0; i < round.used(); ++i) {
    const request_slot& slot = round.slots_[i];
    if (slot.rc_ != 0) {
      complain(i, "KavoPoolLoadVideoAsync refused a well-formed request");
      continue;
    }
    ++accepted;
    callbacks += slot.calls_;
    if (slot.loader_ < 0 && slot.depth_ > 0) ++aFigures.from_callbacks_;
    if (slot.made_in_stop_) {
      ++aFigures.made_in_stop_;
      aFigures.in_stop_refused_ += slot.calls_ == 1 && slot.code_ == kKAVO_FAIL;
      aFigures.in_stop_cancelled_ += slot.calls_ == 1 && slot.code_ == -4;
    }
    if (slot.calls_ > 1) complain(i, "more than one callback");
    if (slot.calls_ == 0) {
      const bool isHeld = std::find(heldSlots.begin(), heldSlots.end(), &slot) != heldSlots.end();
      if (!isHeld) ++unansweredFast;
      continue;
    }
    switch (slot.code_) {
      case 0:
        // On the worker thread, and never once the stop has returned.
        ++aFigures.done_;
        if (slot.thread_ == stopper || (slot.loader_ >= 0 && slot.thread_ == slot.caller_)) {
          complain(i, "a finished download reported on the wrong thread");
        }
        if (slot.after_stop_) complain(i, "a finished download reported after the stop returned");
        if (slot.size_ != slot.expect_size_ || _T_FileSize(slot.path_) != slot.expect_size_) {
          complain(i, "wrong size");
        }
        break;
      case -1:
        // Refused by the stopped pool: on the caller's thread, before the call returned.
        ++aFigures.failed_;
        if (slot.thread_ != slot.caller_ || !slot.before_return_) complain(i, "a refusal not on the caller's thread");
        if (!slot.in_stop_ && !slot.after_stop_) complain(i, "a refusal before the stop");
        break;
      case -4:
        // Still queued at the stop: on the stopping thread, while it stops.
        ++aFigures.cancelled_;
        if (slot.thread_ != stopper || !slot.in_stop_) complain(i, "a cancellation outside the stop");
        break;
      default:
        complain(i, "an unknown code");
    }
  }
  for (const request_slot* slot : heldSlots) {
    EXPECT_EQ(slot->calls_, 0) << "a request running at the stop was called back";
  }
  EXPECT_EQ(wrong, 0u) << example;
  // accepted = callbacks + running at the stop; the held ones certainly ran,
  // and the two other slots may have held one request each.
  EXPECT_LE(unansweredFast, static_cast<size_t>(kRaceLimit - aHeld));
  EXPECT_EQ(accepted, callbacks + aHeld + unansweredFast);
  aFigures.accepted_ += accepted;
  aFigures.callbacks_ += callbacks;
  aFigures.running_at_stop_ += aHeld + unansweredFast;
  aDir.empty();
  Tarn::Testing::LogCapture__Clear();
}

TEST(KavoPoolStress, RequestsRacingWithStopEndOnceOrRunningAtStopNothingLeaks) {
  vms_sim sim;
  sim_scratch_dir dir;
  const auto start = std::chrono::steady_clock::now();
  race_figures warmup;
  _T_RaceRound(sim, dir, 0, 2, warmup);
  _T_RaceRound(sim, dir, 1, kRaceLimit, warmup);
  _T_ReserveLogCapture();
  const process_usage before = Process__Usage();
  race_figures figures;
  const int rounds = 12;
  for (int r = 0; r < rounds && !::testing::Test::HasFailure(); ++r) {
    _T_RaceRound(sim, dir, 2 + r, r % 2 == 0 ? 2 : kRaceLimit, figures);
  }
  const process_usage after = Process__Usage();

  std::printf("racing with stop: %d rounds, %zu accepted = %zu callbacks (%zu done, %zu refused -1, %zu cancelled -4) "
              "+ %zu running at stop; %zu made from callbacks; %zu made while the stop ran (%zu refused -1, "
              "%zu cancelled -4); in %.1f s; fds %zu -> %zu; heap %zu -> %zu bytes; rss %zu -> %zu KiB\n",
              rounds, figures.accepted_, figures.callbacks_, figures.done_, figures.failed_, figures.cancelled_,
              figures.running_at_stop_, figures.from_callbacks_, figures.made_in_stop_, figures.in_stop_refused_,
              figures.in_stop_cancelled_, _T_Seconds(start), before.fds_, after.fds_,
              before.heap_, after.heap_, before.rss_ / 1024, after.rss_ / 1024);
  EXPECT_EQ(figures.accepted_, figures.callbacks_ + figures.running_at_stop_);
  // Every kind of ending happened, so the race was run, not sidestepped.
  EXPECT_GT(figures.done_, 0u);
  EXPECT_GT(figures.failed_, 0u);
  EXPECT_GT(figures.cancelled_, 0u);
  // The requests abandoned at each stop were unwound when their pool went:
  // their sockets and files are closed, their memory is back.
  EXPECT_EQ(after.fds_, before.fds_);
  EXPECT_LT(after.heap_, before.heap_ + 128 * 1024);
}

// A download running at the stop gets no callback while the pool is stopped;
// starting the pool again resumes it, and it ends with its one callback. (A
// caller may not free what a running request's callback uses just because
// the stop left it without a call, unless the pool is destroyed instead.)
TEST(KavoPoolStress, RunningAtStopResumesWhenStartedAgain) {
  vms_sim sim;
  sim_scratch_dir dir;
  round_state round(1);
  round.sim_ = &sim;
  round.dir_ = &dir;
  void* pool = nullptr;
  ASSERT_EQ(KavoPoolCreate(&pool, nullptr, 1), 0);
  request_slot* slot = round.take();
  slot->round_ = &round;
  slot->pool_ = pool;
  // The server answers after 3 s: long enough for the stop to find the
  // download running, short enough to finish after the start.
  _T_Submit(*slot, sim.url("/resumed/delay/3000/big/500"));
  ASSERT_EQ(slot->rc_, 0);
  for (int i = 0; i < 1000 && sim.requestsStartingWith("/resumed/") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(sim.requestsStartingWith("/resumed/"), 1u);
  ASSERT_EQ(KavoPoolStop(pool), 0);
  {
    std::lock_guard<std::mutex> lock(round.mutex_);
    EXPECT_EQ(slot->calls_, 0);  // the worker has ended: nothing can call back while stopped
  }
  ASSERT_EQ(KavoPoolStart(pool), 0);
  {
    std::unique_lock<std::mutex> lock(round.mutex_);
    EXPECT_TRUE(round.cv_.wait_for(lock, std::chrono::seconds(30), [&] { return round.calls_ >= 1; }));
  }
  KavoPoolDestroy(pool);
  std::lock_guard<std::mutex> lock(round.mutex_);
  EXPECT_EQ(slot->calls_, 1);
  EXPECT_EQ(slot->code_, 0);
  EXPECT_EQ(slot->size_, 500u);
  EXPECT_EQ(_T_FileSize(slot->path_), 500u);
}

// The largest limit a pool takes: 255 exchanges at once (255 coroutine
// stacks, sockets and files), never more, and everything given back.
TEST(KavoPoolStress, APoolAtTheLargestLimitRunsThatManyAtOnce) {
  vms_sim sim;
  sim_scratch_dir dir;
  const size_t fdsBefore = Process__Usage().fds_;
  constexpr size_t kRequests = 300;
  round_state round(kRequests);
  round.sim_ = &sim;
  round.dir_ = &dir;
  void* pool = nullptr;
  ASSERT_EQ(KavoPoolCreate(&pool, nullptr, 255), 0);
  {
    watchdog guard("a pool at its largest limit", std::chrono::seconds(120));
    for (size_t i = 0; i < kRequests; ++i) {
      request_slot* slot = round.take();
      slot->round_ = &round;
      slot->pool_ = pool;
      slot->expect_size_ = 1000;
      // The server holds each answer for 2 s, so that the first 255 are all under way at once.
      _T_Submit(*slot, sim.url("/wide/" + std::to_string(i) + "/delay/2000/big/1000"));
    }
    std::unique_lock<std::mutex> lock(round.mutex_);
    EXPECT_TRUE(round.cv_.wait_for(lock, std::chrono::seconds(90), [&] { return round.calls_ >= kRequests; }));
  }
  KavoPoolDestroy(pool);
  std::lock_guard<std::mutex> lock(round.mutex_);
  size_t good = 0;
  for (size_t i = 0; i < kRequests; ++i) {
    const request_slot& slot = round.slots_[i];
    good += slot.rc_ == 0 && slot.calls_ == 1 && slot.code_ == 0 && _T_FileSize(slot.path_) == 1000;
  }
  EXPECT_EQ(good, kRequests);
  EXPECT_EQ(sim.statsNumber("max_active"), 255);
  EXPECT_EQ(Process__Usage().fds_, fdsBefore);
}

}  // namespace
