// The pool's C functions, called as a foreign caller calls them, against a
// scripted loopback VMS.
#include "http-storage-fixture.h"

#include <tarn/support/kavo/pool.h>
#include <tarn/testing/log_capture.h>

#include <gtest/gtest.h>

namespace {

using Tarn::Testing::Fixture__Chunked;
using Tarn::Testing::Fixture__Multipart;
using Tarn::Testing::Fixture__Read;
using Tarn::Testing::Fixture__Summary;
using Tarn::Testing::Fixture__VideoBytes;
using Tarn::Testing::LogCapture__Dump;
using Tarn::Testing::LogCapture__Has;
using Tarn::Testing::loopback_server;
using Tarn::Testing::scratch_dir;
using Tarn::Testing::scripted_reply;

struct callback_call {
  int code_ = 0;
  bool has_info_ = false;
  std::string path_, min_ts_, max_ts_;
  uint32_t size_ = 0;
  uint16_t width_ = 0, height_ = 0;
  std::thread::id thread_;
  int tag_ = 0;
};

// What the callbacks of one test received; aHandlerArg points to one of these.
struct callback_log {
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<callback_call> calls_;

  bool waitFor(size_t aCount) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_.size() >= aCount; });
  }
  std::vector<callback_call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
};

// aHandlerArg of one request: the log and a tag that tells the requests apart.
struct request_tag {
  callback_log* log_;
  int tag_;
};

extern "C" void _T_OnVideo(int aCode, const kavo_video_info* aInfo, void* aArg) {
  auto* tag = static_cast<request_tag*>(aArg);
  callback_call call;
  call.code_ = aCode;
  call.has_info_ = aInfo != nullptr;
  if (aInfo != nullptr) {
    call.path_ = aInfo->path_;
    call.min_ts_ = aInfo->min_ts_;
    call.max_ts_ = aInfo->max_ts_;
    call.size_ = aInfo->size_;
    call.width_ = aInfo->width_;
    call.height_ = aInfo->height_;
  }
  call.thread_ = std::this_thread::get_id();
  call.tag_ = tag->tag_;
  // Notify under the lock: once the waiting test sees the call it may end,
  // and the tag (on its stack) must not be read after that.
  std::lock_guard<std::mutex> lock(tag->log_->mutex_);
  tag->log_->calls_.push_back(call);
  tag->log_->cv_.notify_all();
}

const char* const kBoundary = "pool-boundary";

std::string _T_GoodResponse(const std::string& aVideo) {
  const std::string body =
      Fixture__Multipart(kBoundary, aVideo, Fixture__Summary(4242, 1920, 1080, "20240102T030405", "20240102T030505"));
  return std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=") + kBoundary +
         "\r\nTransfer-Encoding: chunked\r\n\r\n" + Fixture__Chunked(body, 1500);
}

class KavoPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { Tarn::Testing::LogCapture__Clear(); }
  void TearDown() override {
    if (pool_ != nullptr) KavoPoolDestroy(pool_);
  }
  void* pool_ = nullptr;
  callback_log log_;
  scratch_dir dir_;
  kavo_video_conf conf_{100, 200, 0, 0, 0, kKAVO_VIDEO_MP4_H264};
};

TEST_F(KavoPoolTest, CreateRefusesBadArgumentsSilentlyAndIgnoresTheConfiguration) {
  void* untouched = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(KavoPoolCreate(&untouched, "{}", 0), kKAVO_FAIL);
  EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
  EXPECT_EQ(KavoPoolCreate(nullptr, "{}", 4), kKAVO_FAIL);
  EXPECT_TRUE(Tarn::Testing::LogCapture__Records().empty()) << LogCapture__Dump();
  for (const char* conf : {static_cast<const char*>(nullptr), "", "not json at all", "{\"x\":1}"}) {
    void* pool = nullptr;
    ASSERT_EQ(KavoPoolCreate(&pool, conf, 255), 0);
    ASSERT_NE(pool, nullptr);
    KavoPoolDestroy(pool);
  }
}

TEST_F(KavoPoolTest, StartAndStopReportTheirState) {
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  EXPECT_EQ(KavoPoolStart(pool_), 0);
  EXPECT_TRUE(LogCapture__Has(2, "fail: already started", "start"));
  EXPECT_EQ(KavoPoolStop(pool_), 0);
  EXPECT_EQ(KavoPoolStop(pool_), 0);
  EXPECT_TRUE(LogCapture__Has(2, "fail: already stopped", "stop"));
  EXPECT_EQ(KavoPoolStart(nullptr), kKAVO_FAIL);
  EXPECT_TRUE(LogCapture__Has(1, "fail: kS_INVALID_PARAMS (aSelf)", "KavoPoolStart"));
  EXPECT_EQ(KavoPoolStop(nullptr), kKAVO_FAIL);
  EXPECT_TRUE(LogCapture__Has(1, "fail: kS_INVALID_PARAMS (aSelf)", "KavoPoolStop"));

  Tarn::Testing::LogCapture__Clear();
  KavoPoolDestroy(nullptr);
  const auto records = Tarn::Testing::LogCapture__Records();
  ASSERT_EQ(records.size(), 2u) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "exec", "KavoPoolDestroy"));
  EXPECT_TRUE(LogCapture__Has(4, "done", "KavoPoolDestroy"));
}

TEST_F(KavoPoolTest, UnsupportedEntryPointsAlwaysFail) {
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  Tarn::Testing::LogCapture__Clear();
  for (void* self : {static_cast<void*>(nullptr), pool_}) {
    uint64_t ts[4] = {0};
    uint16_t count = 4, width = 0, height = 0;
    uint8_t buffer[16];
    uint32_t size = sizeof(buffer);
    EXPECT_EQ(KavoPoolSearchTsAsc(self, "cam", 1, 2, ts, &count), kKAVO_FAIL);
    EXPECT_EQ(KavoPoolLoadImageExact(self, "cam", 1, kKAVO_IMAGE_JPEG, &width, &height, buffer, &size), kKAVO_FAIL);
    EXPECT_EQ(KavoPoolLoadImageFuzzy(self, "cam", ts, kKAVO_IMAGE_RGBA, buffer, &size), kKAVO_FAIL);
    EXPECT_EQ(KavoPoolLoadVideo(self, "cam", "/dev/null", &conf_, ts, ts + 1), kKAVO_FAIL);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(size, sizeof(buffer));
  }
  EXPECT_TRUE(Tarn::Testing::LogCapture__Records().empty()) << LogCapture__Dump();
}

TEST_F(KavoPoolTest, LoadVideoAsyncChecksItsArgumentsInOrder) {
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  request_tag tag{&log_, 0};
  struct row {
    void* self_;
    const char* stream_;
    const char* path_;
    const kavo_video_conf* conf_;
    kavo_video_handler_fn fn_;
    std::string log_;
  };
  const std::vector<row> rows = {
      {nullptr, nullptr, nullptr, nullptr, nullptr, "fail: kS_INVALID_PARAMS (aSelf)"},
      {pool_, nullptr, nullptr, nullptr, nullptr, "fail: kS_INVALID_PARAMS (aChannel)"},
      {pool_, "", "/dev/null", &conf_, _T_OnVideo, "fail: kS_INVALID_PARAMS (aChannel)"},
      {pool_, "http://h/c", nullptr, nullptr, nullptr, "fail: kS_INVALID_PARAMS (aVideoPath)"},
      {pool_, "http://h/c", "", nullptr, nullptr, "fail: kS_INVALID_PARAMS (aVideoConf)"},
      {pool_, "http://h/c", "", &conf_, nullptr, "fail: kS_INVALID_PARAMS (aHandlerFn)"},
  };
  for (const auto& r : rows) {
    Tarn::Testing::LogCapture__Clear();
    EXPECT_EQ(KavoPoolLoadVideoAsync(r.self_, r.stream_, r.path_, r.conf_, r.fn_, &tag), kKAVO_FAIL) << r.log_;
    const auto records = Tarn::Testing::LogCapture__Records();
    ASSERT_EQ(records.size(), 1u) << LogCapture__Dump();
    EXPECT_TRUE(LogCapture__Has(1, r.log_, "KavoPoolLoadVideoAsync")) << LogCapture__Dump();
  }
  EXPECT_TRUE(log_.calls().empty());
}

// Refusals reach the callback with -1 on the calling thread before the call
// returns 0: a stream reference that is no URL, and a stopped pool.
TEST_F(KavoPoolTest, ImmediateRejectionsCallBackBeforeReturning) {
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  request_tag tag{&log_, 0};
  EXPECT_EQ(KavoPoolLoadVideoAsync(pool_, "no url", dir_.file("a.mp4").c_str(), &conf_, _T_OnVideo, &tag), 0);
  ASSERT_EQ(log_.calls().size(), 1u);
  EXPECT_TRUE(LogCapture__Has(1, "fail: parse_uri <no url> (mismatch)"));
  EXPECT_TRUE(LogCapture__Has(2, "fail: kKAVO_FAIL (no url)", "operator()")) << LogCapture__Dump();

  ASSERT_EQ(KavoPoolStop(pool_), 0);
  Tarn::Testing::LogCapture__Clear();
  EXPECT_EQ(KavoPoolLoadVideoAsync(pool_, "http://127.0.0.1:1/cam", "", &conf_, _T_OnVideo, &tag), 0);
  ASSERT_EQ(log_.calls().size(), 2u);
  EXPECT_TRUE(LogCapture__Has(1, "fail: started:false", "loadVideoAsync"));
  EXPECT_TRUE(LogCapture__Has(2, "fail: kKAVO_FAIL (http://127.0.0.1:1/cam)", "operator()")) << LogCapture__Dump();
  for (const auto& call : log_.calls()) {
    EXPECT_EQ(call.code_, kKAVO_FAIL);
    EXPECT_FALSE(call.has_info_);
    EXPECT_EQ(call.thread_, std::this_thread::get_id());
  }
}

// A finished download reaches the callback on the worker thread with the
// record; the unused request fields change nothing on the wire.
TEST_F(KavoPoolTest, FinishedDownloadsReportTheirRecord) {
  const std::string video = Fixture__VideoBytes(30000);
  loopback_server server([&](const std::string&) {
    scripted_reply reply;
    reply.pieces_.push_back(_T_GoodResponse(video));
    return reply;
  });
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 2), 0);
  const kavo_video_conf odd{100, 200, 77, 320, 240, kKAVO_VIDEO_AVI_H264};
  request_tag tags[2] = {{&log_, 0}, {&log_, 1}};
  const std::string url = server.url("/storage/cam1");
  ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), dir_.file("0.mp4").c_str(), &conf_, _T_OnVideo, &tags[0]), 0);
  ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), dir_.file("1.mp4").c_str(), &odd, _T_OnVideo, &tags[1]), 0);
  ASSERT_TRUE(log_.waitFor(2));
  for (const auto& call : log_.calls()) {
    EXPECT_EQ(call.code_, 0) << LogCapture__Dump();
    ASSERT_TRUE(call.has_info_);
    EXPECT_EQ(call.path_, dir_.file(std::to_string(call.tag_) + ".mp4"));
    EXPECT_EQ(call.min_ts_, "20240102T030405");
    EXPECT_EQ(call.max_ts_, "20240102T030505");
    EXPECT_EQ(call.size_, 4242u);
    EXPECT_EQ(call.width_, 1920u);
    EXPECT_EQ(call.height_, 1080u);
    EXPECT_NE(call.thread_, std::this_thread::get_id());
    EXPECT_EQ(Fixture__Read(call.path_), video);
  }
  EXPECT_EQ(Tarn::Testing::LogCapture__Count("done: kS_DONE (" + url + ")"), 2u);
  EXPECT_TRUE(LogCapture__Has(3, "done: kS_DONE (" + url + ")", "operator()"));
  ASSERT_TRUE(server.waitUntil([&] { return server.endedLocked(0) && server.endedLocked(1); }));
  const auto exchanges = server.exchanges();
  EXPECT_EQ(exchanges[0].received_, exchanges[1].received_);
  EXPECT_EQ(exchanges[0].target_, "/storage/cam1/export?format=isom&begin=100&end=200&summary=basic");
}

// Requests queued behind the limit get -4 from KavoPoolStop, in queue order, on
// the stopping thread; the running one gets nothing, also when the pool goes.
TEST_F(KavoPoolTest, StopCancelsQueuedRequestsInOrder) {
  loopback_server server([&](const std::string&) {
    scripted_reply reply;
    reply.hold_ = true;
    return reply;
  });
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  request_tag tags[4] = {{&log_, 0}, {&log_, 1}, {&log_, 2}, {&log_, 3}};
  const std::string url = server.url("/cam");
  for (int i = 0; i < 4; ++i) {
    const std::string path = dir_.file(std::to_string(i) + ".mp4");
    ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), path.c_str(), &conf_, _T_OnVideo, &tags[i]), 0);
  }
  ASSERT_TRUE(server.waitUntil([&] { return server.arrivalsLocked() == 1; }));
  ASSERT_EQ(KavoPoolStop(pool_), 0);
  auto calls = log_.calls();
  ASSERT_EQ(calls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(calls[i].tag_, i + 1);
    EXPECT_EQ(calls[i].code_, -4);
    EXPECT_FALSE(calls[i].has_info_);
    EXPECT_EQ(calls[i].thread_, std::this_thread::get_id());
  }
  EXPECT_EQ(Tarn::Testing::LogCapture__Count("fail: kS_CANCELED (" + url + ")"), 3u);
  EXPECT_TRUE(LogCapture__Has(2, "fail: kS_CANCELED (" + url + ")", "operator()")) << LogCapture__Dump();
  KavoPoolDestroy(pool_);
  pool_ = nullptr;
  EXPECT_EQ(log_.calls().size(), 3u);
}

// Destroying a started pool cancels what is queued, on the destroying thread.
TEST_F(KavoPoolTest, DestroyCancelsQueuedRequests) {
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  loopback_server server([&](const std::string&) {
    scripted_reply reply;
    reply.hold_ = true;
    return reply;
  });
  request_tag tags[2] = {{&log_, 0}, {&log_, 1}};
  const std::string url = server.url("/cam");
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), dir_.file("d.mp4").c_str(), &conf_, _T_OnVideo, &tags[i]),
              0);
  }
  ASSERT_TRUE(server.waitUntil([&] { return server.arrivalsLocked() == 1; }));
  KavoPoolDestroy(pool_);
  pool_ = nullptr;
  const auto calls = log_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].tag_, 1);
  EXPECT_EQ(calls[0].code_, -4);
  EXPECT_EQ(calls[0].thread_, std::this_thread::get_id());
  EXPECT_TRUE(LogCapture__Has(2, "fail: started:true", "~storage_client"));
}

// A request made from a cancellation callback is refused at once.
TEST_F(KavoPoolTest, RequestFromACancellationCallbackIsRefused) {
  struct reentry {
    void* pool_;
    kavo_video_conf conf_;
    callback_log* log_;
    request_tag inner_;
  };
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  // The first request holds the only slot (the server never answers); the
  // queued second one is what the stop cancels.
  loopback_server server([&](const std::string&) {
    scripted_reply reply;
    reply.hold_ = true;
    return reply;
  });
  const std::string url = server.url("/cam");
  request_tag first{&log_, 0};
  reentry again{pool_, conf_, &log_, {&log_, 2}};
  ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), "/dev/null", &conf_, _T_OnVideo, &first), 0);
  auto onCancel = [](int aCode, const kavo_video_info* aInfo, void* aArg) {
    auto* r = static_cast<reentry*>(aArg);
    request_tag self{r->log_, 1};
    _T_OnVideo(aCode, aInfo, &self);
    const int rc = KavoPoolLoadVideoAsync(r->pool_, "http://127.0.0.1:1/x", "/dev/null", &r->conf_, _T_OnVideo,
                                          &r->inner_);
    EXPECT_EQ(rc, 0);
  };
  ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), "/dev/null", &conf_, onCancel, &again), 0);
  ASSERT_TRUE(server.waitUntil([&] { return server.arrivalsLocked() == 1; }));
  ASSERT_EQ(KavoPoolStop(pool_), 0);
  const auto calls = log_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].tag_, 1);
  EXPECT_EQ(calls[0].code_, -4);
  EXPECT_EQ(calls[1].tag_, 2);
  EXPECT_EQ(calls[1].code_, kKAVO_FAIL);
}

// A stopped pool started again downloads again.
TEST_F(KavoPoolTest, StartAfterStopWorks) {
  const std::string video = Fixture__VideoBytes(5000);
  loopback_server server([&](const std::string&) {
    scripted_reply reply;
    reply.pieces_.push_back(_T_GoodResponse(video));
    return reply;
  });
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  ASSERT_EQ(KavoPoolStop(pool_), 0);
  ASSERT_EQ(KavoPoolStart(pool_), 0);
  request_tag tag{&log_, 0};
  const std::string url = server.url("/cam");
  ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), dir_.file("r.mp4").c_str(), &conf_, _T_OnVideo, &tag), 0);
  ASSERT_TRUE(log_.waitFor(1));
  EXPECT_EQ(log_.calls()[0].code_, 0) << LogCapture__Dump();
  EXPECT_EQ(Fixture__Read(dir_.file("r.mp4")), video);
}

// A callback that stops its own pool (which the caller must not do) gets -1 and
// a log line instead of an exception through C or a hang; the pool keeps
// working and stops normally afterwards.
TEST_F(KavoPoolTest, StopFromOwnCallbackFailsWithoutHarm) {
  const std::string video = Fixture__VideoBytes(1000);
  loopback_server server([&](const std::string&) {
    scripted_reply reply;
    reply.pieces_.push_back(_T_GoodResponse(video));
    return reply;
  });
  ASSERT_EQ(KavoPoolCreate(&pool_, nullptr, 1), 0);
  struct stopper {
    void* pool_;
    int rc_ = 0;
    callback_log* log_;
  } self{pool_, 0, &log_};
  auto stopInCallback = [](int aCode, const kavo_video_info* aInfo, void* aArg) {
    auto* s = static_cast<stopper*>(aArg);
    s->rc_ = KavoPoolStop(s->pool_);
    request_tag tag{s->log_, 0};
    _T_OnVideo(aCode, aInfo, &tag);
  };
  const std::string url = server.url("/cam");
  ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), dir_.file("s.mp4").c_str(), &conf_, stopInCallback, &self), 0);
  ASSERT_TRUE(log_.waitFor(1));
  EXPECT_EQ(self.rc_, kKAVO_FAIL);
  EXPECT_TRUE(LogCapture__Has(1, "fail: exception <Resource deadlock avoided>", "KavoPoolStop")) << LogCapture__Dump();

  request_tag tag{&log_, 1};
  ASSERT_EQ(KavoPoolLoadVideoAsync(pool_, url.c_str(), dir_.file("t.mp4").c_str(), &conf_, _T_OnVideo, &tag), 0);
  ASSERT_TRUE(log_.waitFor(2));
  EXPECT_EQ(log_.calls()[1].code_, 0);
  EXPECT_EQ(KavoPoolStop(pool_), 0);
  EXPECT_TRUE(LogCapture__Has(4, "done", "stop"));
}

}  // namespace
