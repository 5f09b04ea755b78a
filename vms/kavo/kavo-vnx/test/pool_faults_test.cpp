// Faults of the VMS, end to end: the deliverable's C functions, as an outside
// caller uses them, against the simulated VMS misbehaving on purpose. Each
// fault must end its request with exactly one callback -1, leave the target
// file holding what arrived, and leave the pool serving the next request.
#include "vms-sim-fixture.h"

#include <tarn/support/kavo/pool.h>
#include <tarn/testing/log_capture.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using Tarn::Testing::closed_port;
using Tarn::Testing::LogCapture__Dump;
using Tarn::Testing::LogCapture__Has;
using Tarn::Testing::Sim__ReadFile;
using Tarn::Testing::Sim__Recording;
using Tarn::Testing::sim_scratch_dir;
using Tarn::Testing::vms_sim;
using clock_type = std::chrono::steady_clock;

// Callbacks of one test, counted per request.
struct callback_board {
  std::mutex mutex_;
  std::condition_variable cv_;
  size_t calls_ = 0;

  bool waitFor(size_t aCount, std::chrono::seconds aLimit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, aLimit, [&] { return calls_ >= aCount; });
  }
};

struct request_slot {
  callback_board* board_ = nullptr;
  std::atomic<int> calls_{0};
  int code_ = 1;  // no call yet
  uint32_t size_ = 0;
  clock_type::time_point queued_, called_;
};

extern "C" void _T_OnVideo(int aCode, const kavo_video_info* aInfo, void* aArg) {
  auto* slot = static_cast<request_slot*>(aArg);
  std::lock_guard<std::mutex> lock(slot->board_->mutex_);
  ++slot->calls_;
  slot->code_ = aCode;
  slot->size_ = aInfo != nullptr ? aInfo->size_ : 0;
  slot->called_ = clock_type::now();
  ++slot->board_->calls_;
  slot->board_->cv_.notify_all();
}

// How much of aSent, the start of a video part, the file must hold once the
// connection has failed: the parser writes video bytes as soon as they can't
// be the start of a delimiter, and keeps back a final stretch that may be one
// (CR LF "--" and the boundary, which begins "tarn-sim-" on the simulator)
// until the next bytes decide, which never come.
size_t _T_Decided(const std::string& aSent) {
  static const std::string kStarts[] = {"\r\n--tarn-sim-", "--tarn-sim-"};
  size_t keep = 0;
  for (const auto& start : kStarts) {
    for (size_t k = std::min(start.size(), aSent.size()); k > keep; --k) {
      if (aSent.compare(aSent.size() - k, k, start, 0, k) == 0) {
        keep = k;
        break;
      }
    }
  }
  return aSent.size() - keep;
}

// Every interval here is 5 s, which the simulator answers with its 5 s recording.
constexpr uint64_t kBegin = 1765447200000;
constexpr uint64_t kEnd = kBegin + 5000;

enum class left_file { kNONE, kEMPTY, kEXACT_PREFIX, kSOME_PREFIX };

struct fault_row {
  const char* what_;
  const char* stream_;  // stream path on the simulator; null: a port where nobody listens
  const char* log_;     // the exchange's level-1 line
  left_file file_;
  size_t bytes_;        // kEXACT_PREFIX: how many bytes of the video the server sent
  bool deadline_;       // ends in the exchange's 30 s deadline
};

// All faults run at once, each on a pool of its own with one slot, so the
// deadline cases (30 s each) cost 30 s together. Behind each fault a good
// request waits for that slot: it can only run once the fault has let go of it.
TEST(KavoPoolFaults, EachFaultEndsInOneFailureAndThePoolServesOn) {
  const std::string video = Sim__Recording(5);
  ASSERT_GT(video.size(), 8192u) << "no recordings in " << Tarn::Testing::Sim__MediaDir();
  vms_sim sim;
  closed_port nobody;
  sim_scratch_dir dir;
  callback_board board;
  Tarn::Testing::LogCapture__Clear();
  const size_t fdsBefore = Tarn::Testing::Process__Usage().fds_;

  const std::vector<fault_row> rows = {
      {"connection reset in the middle of the body", "/reset-mid-body",
       "fail: tcp_stream::async_read (Connection reset by peer)", left_file::kEXACT_PREFIX, video.size() / 2, false},
      {"slow drip that outlasts the deadline", "/slow/40000",
       "fail: tcp_stream::async_read (The socket was closed due to a timeout)", left_file::kSOME_PREFIX, 0, true},
      {"stall after the start of the video", "/stall",
       "fail: tcp_stream::async_read (The socket was closed due to a timeout)", left_file::kEXACT_PREFIX, 4096, true},
      {"garbage status line", "/garbage-status", "fail: tcp_stream::async_read_header (bad version)",
       left_file::kEMPTY, 0, false},
      {"header larger than the HTTP library's limit", "/huge-header",
       "fail: tcp_stream::async_read_header (header limit exceeded)", left_file::kEMPTY, 0, false},
      {"server closes before answering", "/close-before-answer",
       "fail: tcp_stream::async_read_header (end of stream)", left_file::kEMPTY, 0, false},
      {"port where nobody listens", nullptr, "fail: tcp_stream::async_connect (Connection refused)",
       left_file::kNONE, 0, false},
  };

  const kavo_video_conf conf{kBegin, kEnd, 0, 0, 0, kKAVO_VIDEO_MP4_H264};
  std::vector<void*> pools(rows.size(), nullptr);
  std::vector<std::unique_ptr<request_slot[]>> slots;  // [0] the fault, [1] the request behind it
  std::vector<std::string> urls;
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(KavoPoolCreate(&pools[i], nullptr, 1), 0);
    slots.emplace_back(new request_slot[2]);
    urls.push_back(rows[i].stream_ != nullptr ? sim.url(rows[i].stream_)
                                              : "http://127.0.0.1:" + std::to_string(nobody.port()) + "/cam");
    const std::string next = sim.url("/after/" + std::to_string(i));
    for (int k = 0; k < 2; ++k) {
      request_slot& slot = slots[i][k];
      slot.board_ = &board;
      slot.queued_ = clock_type::now();
      const std::string path = dir.file(std::to_string(i) + (k == 0 ? "-fault.mp4" : "-next.mp4"));
      ASSERT_EQ(KavoPoolLoadVideoAsync(pools[i], (k == 0 ? urls[i] : next).c_str(), path.c_str(), &conf, _T_OnVideo,
                                       &slot),
                0);
    }
  }

  // The deadline is 30 s; the bound here only keeps a broken pool from hanging the test.
  const bool allCalled = board.waitFor(2 * rows.size(), std::chrono::seconds(90));
  // Once its pool is gone a request can't be called back any more: the counts
  // below are final.
  for (void* pool : pools) KavoPoolDestroy(pool);
  ASSERT_TRUE(allCalled) << LogCapture__Dump();
  // Every socket and file of the failed exchanges is closed.
  EXPECT_EQ(Tarn::Testing::Process__Usage().fds_, fdsBefore);

  for (size_t i = 0; i < rows.size(); ++i) {
    const fault_row& row = rows[i];
    SCOPED_TRACE(row.what_);
    const request_slot& fault = slots[i][0];
    const request_slot& next = slots[i][1];
    EXPECT_EQ(fault.calls_, 1);
    EXPECT_EQ(fault.code_, kKAVO_FAIL);
    EXPECT_TRUE(LogCapture__Has(1, row.log_, "doOneWork")) << LogCapture__Dump();
    EXPECT_TRUE(LogCapture__Has(2, "fail: kKAVO_FAIL (" + urls[i] + ")", "operator()"));

    // What the file holds: a prefix of the video part, as far as it arrived.
    const std::string faultPath = dir.file(std::to_string(i) + "-fault.mp4");
    const std::string got = Sim__ReadFile(faultPath);
    switch (row.file_) {
      case left_file::kNONE:
        EXPECT_FALSE(std::filesystem::exists(faultPath));
        break;
      case left_file::kEMPTY:
        EXPECT_TRUE(std::filesystem::exists(faultPath));
        EXPECT_EQ(got.size(), 0u);
        break;
      case left_file::kEXACT_PREFIX:
        EXPECT_EQ(got.size(), _T_Decided(video.substr(0, row.bytes_)));
        EXPECT_TRUE(got == video.substr(0, got.size()));
        break;
      case left_file::kSOME_PREFIX:
        EXPECT_GT(got.size(), 0u);
        EXPECT_LT(got.size(), video.size());
        EXPECT_TRUE(got == video.substr(0, got.size()));
        break;
    }
    if (row.deadline_) {
      // The write, the header and the body share one 30 s deadline that starts
      // after the request was queued, so the failure can't come sooner.
      EXPECT_GE(fault.called_ - fault.queued_, std::chrono::seconds(30));
    }
    // Reached the server once: a failed exchange is not retried.
    if (row.stream_ != nullptr) {
      EXPECT_EQ(sim.requestsStartingWith(std::string(row.stream_) + "/export?"), 1u);
    }

    // The figures, for the record of what was measured.
    std::printf("fault: %-45s callbacks %d code %d file %zu of %zu video bytes, callback after %.1f s\n", row.what_,
                fault.calls_.load(), fault.code_, got.size(), video.size(),
                std::chrono::duration<double>(fault.called_ - fault.queued_).count());

    // The pool goes on: the request behind the fault downloads in full.
    EXPECT_EQ(next.calls_, 1);
    EXPECT_EQ(next.code_, 0);
    EXPECT_EQ(next.size_, video.size());
    EXPECT_GE(next.called_, fault.called_);
    EXPECT_TRUE(Sim__ReadFile(dir.file(std::to_string(i) + "-next.mp4")) == video);
  }
}

// The exchanges of one pool share its worker thread: faults interleaved with
// good downloads on one pool end only their own requests.
TEST(KavoPoolFaults, FaultsInterleavedOnOnePoolEndOnlyTheirOwnRequests) {
  const std::string video = Sim__Recording(5);
  ASSERT_GT(video.size(), 8192u) << "no recordings in " << Tarn::Testing::Sim__MediaDir();
  vms_sim sim;
  closed_port nobody;
  sim_scratch_dir dir;
  callback_board board;
  const size_t fdsBefore = Tarn::Testing::Process__Usage().fds_;

  // Good downloads come in pieces spread over half a second, so that the
  // faults fall between their reads.
  const std::string nobodyUrl = "http://127.0.0.1:" + std::to_string(nobody.port()) + "/cam";
  const std::vector<std::string> faults = {sim.url("/reset-mid-body"), sim.url("/garbage-status"),
                                           sim.url("/huge-header"), sim.url("/close-before-answer"), nobodyUrl};
  std::vector<std::string> urls;
  for (int round = 0; round < 3; ++round) {
    for (const auto& fault : faults) {
      urls.push_back(sim.url("/good/" + std::to_string(urls.size()) + "/slow/500"));
      urls.push_back(fault);
    }
  }
  void* pool = nullptr;
  ASSERT_EQ(KavoPoolCreate(&pool, nullptr, 8), 0);
  const kavo_video_conf conf{kBegin, kEnd, 0, 0, 0, kKAVO_VIDEO_MP4_H264};
  std::unique_ptr<request_slot[]> slots(new request_slot[urls.size()]);
  for (size_t i = 0; i < urls.size(); ++i) {
    slots[i].board_ = &board;
    const std::string path = dir.file(std::to_string(i) + ".mp4");
    ASSERT_EQ(KavoPoolLoadVideoAsync(pool, urls[i].c_str(), path.c_str(), &conf, _T_OnVideo, &slots[i]), 0);
  }
  const bool allCalled = board.waitFor(urls.size(), std::chrono::seconds(60));
  KavoPoolDestroy(pool);
  ASSERT_TRUE(allCalled) << LogCapture__Dump();
  EXPECT_EQ(Tarn::Testing::Process__Usage().fds_, fdsBefore);

  for (size_t i = 0; i < urls.size(); ++i) {
    SCOPED_TRACE(urls[i]);
    EXPECT_EQ(slots[i].calls_, 1);
    const std::string got = Sim__ReadFile(dir.file(std::to_string(i) + ".mp4"));
    if (i % 2 == 0) {
      EXPECT_EQ(slots[i].code_, 0);
      EXPECT_TRUE(got == video);
    } else {
      EXPECT_EQ(slots[i].code_, kKAVO_FAIL);
      EXPECT_TRUE(got == video.substr(0, got.size()));
    }
  }
  EXPECT_LE(sim.statsNumber("max_active"), 8);
}

// Faults that meet the multipart parser in other states: inside tiny chunks,
// after a preamble, with the summary missing or cut. Each request ends once,
// with -1, and its file holds a prefix of the video (all of it where the
// video part arrived whole).
TEST(KavoPoolFaults, FaultsAcrossParserStatesEndOnceWithAPrefix) {
  const std::string video = Sim__Recording(5);
  ASSERT_GT(video.size(), 8192u) << "no recordings in " << Tarn::Testing::Sim__MediaDir();
  vms_sim sim;
  sim_scratch_dir dir;
  callback_board board;
  struct row {
    const char* stream_;
    size_t bytes_;  // how much of the video the server sent (all of it: the delimiter after it came too)
  };
  const std::vector<row> rows = {
      {"/tiny-chunks/reset-mid-body", video.size() / 2},
      {"/quoted-boundary/reset-mid-body", video.size() / 2},
      {"/tiny-chunks/truncated", video.size()},
      {"/quoted-boundary/no-summary", video.size()},
      {"/tiny-chunks/no-video-track", video.size()},
      {"/status-404/truncated", video.size()},
      {"/close-after-last-chunk/no-summary", video.size()},
      {"/slow/300/reset-mid-body", video.size() / 2},
  };
  void* pool = nullptr;
  ASSERT_EQ(KavoPoolCreate(&pool, nullptr, 4), 0);
  const kavo_video_conf conf{kBegin, kEnd, 0, 0, 0, kKAVO_VIDEO_MP4_H264};
  std::unique_ptr<request_slot[]> slots(new request_slot[rows.size()]);
  for (size_t i = 0; i < rows.size(); ++i) {
    slots[i].board_ = &board;
    const std::string path = dir.file(std::to_string(i) + ".mp4");
    ASSERT_EQ(KavoPoolLoadVideoAsync(pool, sim.url(rows[i].stream_).c_str(), path.c_str(), &conf, _T_OnVideo,
                                     &slots[i]),
              0);
  }
  const bool allCalled = board.waitFor(rows.size(), std::chrono::seconds(60));
  KavoPoolDestroy(pool);
  ASSERT_TRUE(allCalled) << LogCapture__Dump();
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].stream_);
    EXPECT_EQ(slots[i].calls_, 1);
    EXPECT_EQ(slots[i].code_, kKAVO_FAIL);
    const std::string got = Sim__ReadFile(dir.file(std::to_string(i) + ".mp4"));
    EXPECT_EQ(got.size(), _T_Decided(video.substr(0, rows[i].bytes_)));
    EXPECT_TRUE(got == video.substr(0, got.size()));
  }
}

}  // namespace
