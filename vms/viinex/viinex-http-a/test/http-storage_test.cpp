// Storage client and export exchange against a scripted loopback server.
#include "http-storage-fixture.h"

#include <tarn/support/viinex/http/storage.h>
#include <tarn/testing/log_capture.h>

#include <gtest/gtest.h>

#include <atomic>
#include <limits>

namespace Tarn { namespace Support { namespace Viinex { namespace {

using Testing::exchange_record;
using Testing::Fixture__Chunked;
using Testing::Fixture__Exists;
using Testing::Fixture__Multipart;
using Testing::Fixture__OpenCount;
using Testing::Fixture__Read;
using Testing::Fixture__Summary;
using Testing::Fixture__VideoBytes;
using Testing::LogCapture__Dump;
using Testing::LogCapture__Has;
using Testing::loopback_server;
using Testing::scratch_dir;
using Testing::scripted_reply;

struct completion {
  size_t index_ = 0;
  stat_t stat_ = kS_FAIL;
  bool has_info_ = false;
  video_info info_;
  std::thread::id thread_;
};

// Records every handler call, in call order.
class completion_log {
 public:
  storage_client_like::handler_t handler(size_t aIndex) {
    return [this, aIndex](stat_t aStat, const video_info* aInfo) {
      completion call;
      call.index_ = aIndex;
      call.stat_ = aStat;
      call.has_info_ = aInfo != nullptr;
      if (aInfo != nullptr) call.info_ = *aInfo;
      call.thread_ = std::this_thread::get_id();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
      }
      cv_.notify_all();
    };
  }
  // Waits (with a generous safety net) until aCount calls were recorded.
  bool waitFor(size_t aCount, std::chrono::seconds aLimit = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, aLimit, [&] { return calls_.size() >= aCount; });
  }
  std::vector<completion> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<completion> calls_;
};

// Holds a thread inside one allocation of a chosen size, so that a test can
// act while a call is half done. Armed per thread; fires once.
constexpr size_t _T_kPausingSize = 5001;
thread_local bool _T_PauseArmed = false;

class pause_point {
 public:
  void pauseHere() {
    std::unique_lock<std::mutex> lock(mutex_);
    paused_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return resumed_; });
  }
  // False when the thread never got there (a memory checker that brings its
  // own allocation functions takes the pause point away).
  bool waitPaused() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return paused_; });
  }
  void resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    resumed_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool paused_ = false;
  bool resumed_ = false;
};
pause_point _T_Pause;

const char* const kBoundary = "EXPORT-b0undary";

std::string _T_GoodBody(const std::string& aVideo) {
  return Fixture__Multipart(kBoundary, aVideo,
                            Fixture__Summary(static_cast<uint32_t>(aVideo.size()), 1280, 720, "2024-01-02T03:04:05.000Z",
                                             "2024-01-02T03:05:05.000Z"));
}

// A complete export response (status 200, chunked, 4 KiB chunks) in one piece.
std::string _T_GoodResponse(const std::string& aVideo) {
  return std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=") + kBoundary +
         "\r\nTransfer-Encoding: chunked\r\n\r\n" + Fixture__Chunked(_T_GoodBody(aVideo), 4096);
}

scripted_reply _T_Reply(std::string aResponse) {
  scripted_reply reply;
  reply.pieces_.push_back(std::move(aResponse));
  return reply;
}

std::string _T_ExpectedRequest(const std::string& aTarget, const std::string& aHost) {
  return "GET " + aTarget + " HTTP/1.1\r\nHost: " + aHost + "\r\nUser-Agent: TARN/0.37.x\r\n\r\n";
}

class StorageClientTest : public ::testing::Test {
 protected:
  void SetUp() override { Testing::LogCapture__Clear(); }
  scratch_dir dir_;
  completion_log done_;
};

// The stream URL becomes host, port and request target; the request on the
// wire is exactly the request line and the two fields, written once.
TEST_F(StorageClientTest, StreamUrlGivesTheExportRequestOnTheWire) {
  const std::string video = Fixture__VideoBytes(3000);
  loopback_server server([&](const std::string&) { return _T_Reply(_T_GoodResponse(video)); });
  struct row {
    std::string path_;  // the URL after host and port
    uint64_t min_;
    uint64_t max_;
    std::string target_;
  };
  const std::string query = "/export?format=isom&begin=";
  const std::vector<row> rows = {
      {"/a/b?x=1&y=2#frag", 5, 10, "/a/b/export?format=isom&begin=5&end=10&summary=basic"},
      {"", 0, std::numeric_limits<uint64_t>::max(),
       "/export?format=isom&begin=0&end=18446744073709551615&summary=basic"},
      {"/", 7, 8, "//export?format=isom&begin=7&end=8&summary=basic"},
      {"/v1/cam-1_~.!$&'()*+,;=:@/", 1, 2, "/v1/cam-1_~.!$&'()*+,;=:@//export?format=isom&begin=1&end=2&summary=basic"},
      {"/cam%41%2Fx", 1, 2, "/camA/x/export?format=isom&begin=1&end=2&summary=basic"},
      // Decoded characters that would break the request line are encoded again.
      {"/cam%201", 1, 2, "/cam%201/export?format=isom&begin=1&end=2&summary=basic"},
      {"/a%0D%0AX-Injected:%20yes%0D%0A", 1, 2,
       "/a%0D%0AX-Injected:%20yes%0D%0A/export?format=isom&begin=1&end=2&summary=basic"},
      {"/x%3Fy=1%23z", 1, 2, "/x%3Fy=1%23z/export?format=isom&begin=1&end=2&summary=basic"},
      {"/%C3%A9t%c3%a9%25%22%3C%3E%5C%5E%60%7B%7C%7D%7F%00", 1, 2,
       "/%C3%A9t%C3%A9%25%22%3C%3E%5C%5E%60%7B%7C%7D%7F%00/export?format=isom&begin=1&end=2&summary=basic"},
  };
  auto client = StorageClient__Create(1);
  client->start();
  for (size_t i = 0; i < rows.size(); ++i) {
    client->loadVideoAsync(server.url(rows[i].path_), dir_.file("row.mp4"), rows[i].min_, rows[i].max_, 60,
                           done_.handler(i));
    ASSERT_TRUE(done_.waitFor(i + 1)) << rows[i].path_;
    // The exchange is over for the server once the client has closed.
    ASSERT_TRUE(server.waitUntil([&] { return server.endedLocked(i); })) << rows[i].path_;
    const exchange_record exchange = server.exchanges().at(i);
    EXPECT_EQ(exchange.target_, rows[i].target_) << rows[i].path_;
    EXPECT_EQ(exchange.received_, _T_ExpectedRequest(rows[i].target_, "127.0.0.1")) << rows[i].path_;
    EXPECT_EQ(done_.calls().at(i).stat_, kS_DONE) << rows[i].path_ << "\n" << LogCapture__Dump();
  }
  EXPECT_EQ(server.connections(), rows.size());
}

TEST_F(StorageClientTest, IPv6LiteralIsResolvedWithoutBracketsAndSentWithThem) {
  const std::string video = Fixture__VideoBytes(100);
  std::unique_ptr<loopback_server> server;
  try {
    server = std::make_unique<loopback_server>([&](const std::string&) { return _T_Reply(_T_GoodResponse(video)); },
                                               AF_INET6);
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  auto client = StorageClient__Create(1);
  client->start();
  client->loadVideoAsync(server->url("/cam"), dir_.file("v6.mp4"), 1, 2, 60, done_.handler(0));
  ASSERT_TRUE(done_.waitFor(1));
  EXPECT_EQ(done_.calls()[0].stat_, kS_DONE) << LogCapture__Dump();
  ASSERT_TRUE(server->waitUntil([&] { return server->endedLocked(0); }));
  EXPECT_EQ(server->exchanges()[0].received_,
            _T_ExpectedRequest("/cam/export?format=isom&begin=1&end=2&summary=basic", "[::1]"));
}

// Refusals reach the handler on the calling thread before the call returns and
// are not counted.
TEST_F(StorageClientTest, RefusedRequestsCompleteOnTheCallingThread) {
  auto client = StorageClient__Create(1);
  struct row {
    bool started_;
    std::string url_;
    stat_t stat_;
    std::string log_;
  };
  const std::vector<row> rows = {
      {true, "not a url", kS_INVALID_PARAMS, "fail: parse_uri <not a url> (mismatch)"},
      {true, "/relative/path", kS_INVALID_PARAMS, "fail: parse_uri </relative/path> (mismatch)"},
      {false, "http://127.0.0.1:1/cam", kS_FAIL, "fail: started:false"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    Testing::LogCapture__Clear();
    if (rows[i].started_) client->start();
    client->loadVideoAsync(rows[i].url_, dir_.file("x.mp4"), 1, 2, 60, done_.handler(i));
    ASSERT_EQ(done_.count(), i + 1) << rows[i].url_;
    const completion call = done_.calls()[i];
    EXPECT_EQ(call.stat_, rows[i].stat_) << rows[i].url_;
    EXPECT_FALSE(call.has_info_);
    EXPECT_EQ(call.thread_, std::this_thread::get_id());
    EXPECT_TRUE(LogCapture__Has(1, rows[i].log_)) << LogCapture__Dump();
    storage_client_stats stats;
    client->getStats(stats);
    EXPECT_EQ(stats.query_total_, 0u);
    if (rows[i].started_) client->stop();
  }
  EXPECT_FALSE(Fixture__Exists(dir_.file("x.mp4")));
}

// With a limit of N the server never sees more than N exchanges at once, and
// requests start in queue order as slots free.
TEST_F(StorageClientTest, LimitBoundsConcurrentExchangesAndKeepsQueueOrder) {
  const std::string video = Fixture__VideoBytes(500);
  for (int limit : {1, 2, 3}) {
    loopback_server server([&](const std::string&) {
      scripted_reply reply = _T_Reply(_T_GoodResponse(video));
      reply.hold_ = true;
      return reply;
    });
    completion_log done;
    const size_t requests = static_cast<size_t>(limit) + 3;
    auto client = StorageClient__Create(limit);
    client->start();
    for (size_t i = 0; i < requests; ++i) {
      client->loadVideoAsync(server.url("/cam" + std::to_string(i)), dir_.file(std::to_string(i) + ".mp4"), i, i + 1,
                             60, done.handler(i));
    }
    for (size_t i = 0; i < requests; ++i) {
      const size_t started = std::min(i + static_cast<size_t>(limit), requests);
      ASSERT_TRUE(server.waitUntil([&] { return server.arrivalsLocked() >= started; })) << "limit " << limit;
      const auto exchanges = server.exchanges();
      // The first N start together and may reach the server in any order;
      // every later one starts alone, when the slot of the oldest one frees.
      std::set<std::string> firstTargets, expectedFirst;
      for (size_t k = 0; k < exchanges.size(); ++k) {
        const std::string expected = "/cam" + std::to_string(k) + "/export?format=isom&begin=" + std::to_string(k) +
                                     "&end=" + std::to_string(k + 1) + "&summary=basic";
        if (k < static_cast<size_t>(limit)) {
          firstTargets.insert(exchanges[k].target_);
          expectedFirst.insert(expected);
        } else {
          EXPECT_EQ(exchanges[k].target_, expected) << "limit " << limit;
        }
      }
      EXPECT_EQ(firstTargets, expectedFirst) << "limit " << limit;
      EXPECT_LE(server.maxActive(), static_cast<size_t>(limit));
      storage_client_stats stats;
      client->getStats(stats);
      EXPECT_LE(stats.query_active_, static_cast<uint64_t>(limit));
      // Release the oldest request; its slot goes to the next one in the queue.
      size_t arrival = 0;
      for (; arrival < exchanges.size(); ++arrival) {
        if (exchanges[arrival].target_.rfind("/cam" + std::to_string(i) + "/", 0) == 0) break;
      }
      ASSERT_LT(arrival, exchanges.size());
      server.release(arrival);
      ASSERT_TRUE(done.waitFor(i + 1));
      EXPECT_EQ(done.calls()[i].index_, i);
    }
    EXPECT_EQ(server.maxActive(), static_cast<size_t>(limit));
    storage_client_stats stats;
    client->getStats(stats);
    EXPECT_EQ(stats.query_total_, requests);
    EXPECT_EQ(stats.query_success_, requests);
    EXPECT_EQ(stats.query_failure_, 0u);
    EXPECT_FALSE(client->testBusy());
  }
}

// stop() completes the queued requests with kS_CANCELED, in queue order, on
// the stopping thread; the running one is abandoned without a call, and
// destroying the client closes its socket and its file.
TEST_F(StorageClientTest, StopCancelsQueuedRequestsAndDestroyReleasesTheAbandonedOne) {
  const std::string video = Fixture__VideoBytes(100000);
  const std::string response = _T_GoodResponse(video);
  // The running exchange gets its header and half of the body, then stalls.
  loopback_server server([&](const std::string&) {
    scripted_reply reply;
    reply.pieces_.push_back(response.substr(0, response.size() / 2));
    return reply;
  });
  auto client = StorageClient__Create(1);
  client->start();
  for (size_t i = 0; i < 4; ++i) {
    client->loadVideoAsync(server.url("/cam"), dir_.file(std::to_string(i) + ".mp4"), 1, 2, 60, done_.handler(i));
  }
  ASSERT_TRUE(server.waitUntil([&] { return server.arrivalsLocked() == 1; }));
  // The video part reaches the file as it arrives.
  const std::string running = dir_.file("0.mp4");
  for (int i = 0; i < 2000 && Fixture__Read(running).size() < 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(Fixture__Read(running).size(), 1000u);
  EXPECT_TRUE(client->testBusy());

  client->stop();
  const auto calls = done_.calls();
  ASSERT_EQ(calls.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(calls[i].index_, i + 1);
    EXPECT_EQ(calls[i].stat_, kS_CANCELED);
    EXPECT_FALSE(calls[i].has_info_);
    EXPECT_EQ(calls[i].thread_, std::this_thread::get_id());
  }
  storage_client_stats stats;
  client->getStats(stats);
  EXPECT_EQ(stats.query_total_, 4u);
  EXPECT_EQ(stats.query_success_, 0u);
  EXPECT_EQ(stats.query_failure_, 0u);
  EXPECT_EQ(stats.query_pending_, 0u);
  EXPECT_EQ(stats.query_active_, 1u);
  EXPECT_EQ(Fixture__OpenCount(running), 1u);
  EXPECT_FALSE(server.exchanges()[0].ended_);

  Testing::LogCapture__Clear();
  client.reset();
  EXPECT_EQ(done_.count(), 3u);
  EXPECT_EQ(Fixture__OpenCount(running), 0u);
  EXPECT_TRUE(server.waitUntil([&] { return server.endedLocked(0); }));
  EXPECT_EQ(server.connections(), 1u);
  // A stopped client's destructor has nothing to log: no stop, no exception.
  EXPECT_TRUE(Testing::LogCapture__Records().empty()) << LogCapture__Dump();
}

TEST_F(StorageClientTest, StartStopAndDestroyLogTheirSteps) {
  auto client = StorageClient__Create(2);
  EXPECT_FALSE(client->testBusy());
  client->start();
  client->start();
  EXPECT_TRUE(LogCapture__Has(5, "exec", "start"));
  EXPECT_TRUE(LogCapture__Has(4, "done", "start"));
  EXPECT_TRUE(LogCapture__Has(2, "fail: already started", "start"));
  client->stop();
  client->stop();
  EXPECT_TRUE(LogCapture__Has(5, "exec", "stop"));
  EXPECT_TRUE(LogCapture__Has(4, "done", "stop"));
  EXPECT_TRUE(LogCapture__Has(2, "fail: already stopped", "stop"));

  // Destroying a started client stops it first: queued requests are cancelled.
  Testing::LogCapture__Clear();
  client = StorageClient__Create(0);
  client->start();
  client->loadVideoAsync("127.0.0.1", "1", "/t", dir_.file("q.mp4"), 60, done_.handler(0));
  EXPECT_TRUE(LogCapture__Has(4, "exec: file:<" + dir_.file("q.mp4") + ">", "loadVideoAsync"));
  client.reset();
  EXPECT_TRUE(LogCapture__Has(2, "fail: started:true", "~storage_client")) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "done", "stop"));
  ASSERT_EQ(done_.count(), 1u);
  EXPECT_EQ(done_.calls()[0].stat_, kS_CANCELED);
}

// A client stopped and started again runs requests again.
TEST_F(StorageClientTest, RestartAfterStopRunsRequests) {
  const std::string video = Fixture__VideoBytes(2000);
  loopback_server server([&](const std::string&) { return _T_Reply(_T_GoodResponse(video)); });
  auto client = StorageClient__Create(1);
  for (size_t round = 0; round < 3; ++round) {
    client->start();
    client->loadVideoAsync(server.url("/cam"), dir_.file("r.mp4"), round, round + 1, 60, done_.handler(round));
    ASSERT_TRUE(done_.waitFor(round + 1)) << "round " << round;
    EXPECT_EQ(done_.calls()[round].stat_, kS_DONE) << LogCapture__Dump();
    client->stop();
  }
  EXPECT_EQ(Fixture__Read(dir_.file("r.mp4")), video);
}

// A request that passed the started check when stop() began, and reaches the
// queue only after stop() drained it, is refused: it is never left behind.
// The request is held in between by the copy of its (long) host text.
TEST_F(StorageClientTest, RequestReachingTheQueueAfterStopIsRefused) {
  auto client = StorageClient__Create(0);
  client->start();
  const std::string host(_T_kPausingSize - 1, 'h');
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    _T_PauseArmed = true;
    client->loadVideoAsync(host, "1", "/t", "/dev/null", 60, done_.handler(0));
    returned = true;
  });
  if (!_T_Pause.waitPaused()) {
    _T_Pause.resume();
    caller.join();
    GTEST_SKIP() << "the allocation functions of this program are not in use";
  }
  client->stop();
  EXPECT_EQ(done_.count(), 0u);
  _T_Pause.resume();
  caller.join();
  ASSERT_EQ(done_.count(), 1u);
  EXPECT_EQ(done_.calls()[0].stat_, kS_FAIL);
  EXPECT_EQ(Testing::LogCapture__Count("fail: started:false"), 1u);
  storage_client_stats stats;
  client->getStats(stats);
  EXPECT_EQ(stats.query_total_, 0u);
  EXPECT_EQ(stats.query_pending_, 0u);
}

// A cancellation handler that makes a new request is refused at once, without
// waiting for the queue lock that stop() holds.
TEST_F(StorageClientTest, RequestFromACancellationHandlerIsRefused) {
  auto client = StorageClient__Create(0);
  client->start();
  auto inner = done_.handler(1);
  client->loadVideoAsync("127.0.0.1", "1", "/t", "/dev/null", 60, [&](stat_t aStat, const video_info* aInfo) {
    done_.handler(0)(aStat, aInfo);
    client->loadVideoAsync("127.0.0.1", "1", "/t", "/dev/null", 60, inner);
  });
  client->stop();
  const auto calls = done_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].stat_, kS_CANCELED);
  EXPECT_EQ(calls[1].stat_, kS_FAIL);
  EXPECT_TRUE(LogCapture__Has(1, "fail: started:false", "loadVideoAsync"));
}

// One exchange per row: what the server answers, and how the request ends.
TEST_F(StorageClientTest, ExchangeOutcomes) {
  const std::string video = Fixture__VideoBytes(20000);
  const std::string body = _T_GoodBody(video);
  const std::string contentType = std::string("multipart/mixed; boundary=") + kBoundary;
  const std::string chunkedHeader = "Content-Type: " + contentType + "\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string good = _T_GoodResponse(video);

  enum class file_state { kABSENT, kEMPTY, kPARTIAL, kVIDEO };
  struct row {
    std::string name_;
    std::vector<std::string> pieces_;
    scripted_reply::ending ending_;
    stat_t stat_;
    std::string log_;  // the level-1 line of a failure, or "" for success
    std::string func_;
    file_state file_;
    std::string path_ = "/cam";  // the URL after the server's host and port
    std::string url_ = "";       // a whole URL in place of the server's
    std::string target_ = "";    // a target file in place of the scratch one
  };
  using ending = scripted_reply::ending;
  std::vector<std::string> tiny;
  tiny.push_back("HTTP/1.1 200 OK\r\n" + chunkedHeader);
  const std::string tinyChunks = Fixture__Chunked(body, 1);
  for (size_t at = 0; at < tinyChunks.size(); at += 7) tiny.push_back(tinyChunks.substr(at, 7));
  const std::string quotedBody = "preamble text\r\n" + Fixture__Multipart("q b", video, Fixture__Summary(9, 640, 480,
                                                                                                         "2024-01-02T03:04:05.000Z",
                                                                                                         "2024-01-02T03:05:05.000Z"));
  const std::string missingTarget = "/nonexistent-dir-of-tarn/x.mp4";

  const std::vector<row> rows = {
      {"good", {good}, ending::kWAIT_CLIENT, kS_DONE, "", "", file_state::kVIDEO},
      {"status 404 with a good body",
       {"HTTP/1.1 404 Not Found\r\n" + chunkedHeader + Fixture__Chunked(body, 1000)},
       ending::kWAIT_CLIENT, kS_DONE, "", "", file_state::kVIDEO},
      {"closed right after the last chunk", {good}, ending::kCLOSE, kS_DONE, "", "", file_state::kVIDEO},
      {"reset right after the last chunk", {good}, ending::kRESET, kS_DONE, "", "", file_state::kVIDEO},
      {"one-byte chunks in seven-byte writes", tiny, ending::kWAIT_CLIENT, kS_DONE, "", "", file_state::kVIDEO},
      {"header field names in any case, a trailer after the last chunk",
       {"HTTP/1.1 200 OK\r\ncontent-type: " + contentType + "\r\ntransfer-encoding: chunked\r\n\r\n" +
        Fixture__Chunked(body, 333).substr(0, Fixture__Chunked(body, 333).size() - 2) + "X-Trailer: 1\r\n\r\n"},
       ending::kWAIT_CLIENT, kS_DONE, "", "", file_state::kVIDEO},
      {"quoted boundary and a preamble",
       {"HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; boundary=\"q b\"\r\nTransfer-Encoding: chunked\r\n\r\n" +
        Fixture__Chunked(quotedBody, 5000)},
       ending::kWAIT_CLIENT, kS_DONE, "", "", file_state::kVIDEO},
      {"no Content-Type",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Fixture__Chunked(body, 1000)},
       ending::kWAIT_CLIENT, kS_FAIL, "fail: find (header:Content-Type)", "doOneWork", file_state::kEMPTY},
      {"a body framed by Content-Length",
       {"HTTP/1.1 200 OK\r\nContent-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body},
       ending::kWAIT_CLIENT, kS_FAIL, "fail: tcp_stream::async_read (unexpected body)", "doOneWork",
       file_state::kEMPTY},
      {"a zero-length body",
       {"HTTP/1.1 200 OK\r\nContent-Type: " + contentType + "\r\nContent-Length: 0\r\n\r\n"},
       ending::kWAIT_CLIENT, kS_FAIL, "fail: getVideoInfo", "doOneWork", file_state::kEMPTY},
      {"a chunked body without its closing delimiter",
       {"HTTP/1.1 200 OK\r\n" + chunkedHeader +
        Fixture__Chunked(body.substr(0, body.find(std::string("--") + kBoundary + "--")), 1000)},
       ending::kWAIT_CLIENT, kS_FAIL, "fail: getVideoInfo", "doOneWork", file_state::kVIDEO},
      // The summary decoder's own exception passes through the exchange and is
      // logged where the request ends; the video stays as written.
      {"an empty summary",
       {"HTTP/1.1 200 OK\r\n" + chunkedHeader + Fixture__Chunked(Fixture__Multipart(kBoundary, video, ""), 1000)},
       ending::kWAIT_CLIENT, kS_FAIL,
       "fail: exception <from_string(std::string_ aJsonString): * Line 1, Column 1\n"
       "  Syntax error: value, object or array expected.\n>",
       "operator()", file_state::kVIDEO},
      {"a summary that is an array",
       {"HTTP/1.1 200 OK\r\n" + chunkedHeader + Fixture__Chunked(Fixture__Multipart(kBoundary, video, "[1]"), 1000)},
       ending::kWAIT_CLIENT, kS_FAIL, "fail: exception <variant::asMapRef(): wrong type>", "operator()",
       file_state::kVIDEO},
      {"connection closed inside the body",
       {"HTTP/1.1 200 OK\r\n" + chunkedHeader + Fixture__Chunked(body, 1000).substr(0, 12000)},
       ending::kCLOSE, kS_FAIL, "fail: tcp_stream::async_read (partial message)", "doOneWork", file_state::kPARTIAL},
      {"connection closed before the header", {}, ending::kCLOSE, kS_FAIL,
       "fail: tcp_stream::async_read_header (end of stream)", "doOneWork", file_state::kEMPTY},
      {"an unwritable target file", {good}, ending::kWAIT_CLIENT, kS_FAIL,
       "fail: exception <Failed to open video file: " + missingTarget + ">", "operator()", file_state::kABSENT, "/cam",
       "", missingTarget},
      {"a URL without a port", {}, ending::kWAIT_CLIENT, kS_FAIL, "fail: tcp_stream::async_connect (Connection refused)",
       "doOneWork", file_state::kABSENT, "", "http://127.0.0.1/cam"},
      {"a URL without a host", {}, ending::kWAIT_CLIENT, kS_FAIL,
       "fail: resolver::async_resolve (Host not found (authoritative))", "doOneWork", file_state::kABSENT, "",
       "http:///cam"},
  };

  for (size_t i = 0; i < rows.size(); ++i) {
    const row& r = rows[i];
    SCOPED_TRACE(r.name_);
    Testing::LogCapture__Clear();
    loopback_server server([&](const std::string&) {
      scripted_reply reply;
      reply.pieces_ = r.pieces_;
      reply.ending_ = r.ending_;
      return reply;
    });
    completion_log done;
    const std::string target = r.target_.empty() ? dir_.file("row" + std::to_string(i) + ".mp4") : r.target_;
    {
      auto client = StorageClient__Create(1);
      client->start();
      client->loadVideoAsync(r.url_.empty() ? server.url(r.path_) : r.url_, target, 100, 200, 60, done.handler(0));
      ASSERT_TRUE(done.waitFor(1));
      const completion call = done.calls()[0];
      EXPECT_EQ(call.stat_, r.stat_) << LogCapture__Dump();
      // The request was taken from the queue by the scheduler.
      EXPECT_TRUE(LogCapture__Has(4, "exec", "doManyWork")) << LogCapture__Dump();
      storage_client_stats stats;
      client->getStats(stats);
      EXPECT_EQ(stats.query_total_, 1u);
      EXPECT_EQ(stats.query_success_, r.stat_ == kS_DONE ? 1u : 0u);
      EXPECT_EQ(stats.query_failure_, r.stat_ == kS_DONE ? 0u : 1u);
      if (r.stat_ == kS_DONE) {
        ASSERT_TRUE(call.has_info_);
        EXPECT_EQ(call.info_.path_, target);
        EXPECT_EQ(call.info_.min_ts_, "2024-01-02T03:04:05.000Z");
        EXPECT_EQ(call.info_.max_ts_, "2024-01-02T03:05:05.000Z");
        EXPECT_TRUE(LogCapture__Has(3, "done: file-ts:[2024-01-02T03:04:05.000Z, 2024-01-02T03:05:05.000Z]",
                                    "doOneWork"))
            << LogCapture__Dump();
      } else {
        EXPECT_FALSE(call.has_info_);
        EXPECT_TRUE(LogCapture__Has(1, r.log_, r.func_.c_str())) << LogCapture__Dump();
      }
    }
    // The file is closed before the handler runs; check what it holds.
    EXPECT_EQ(Fixture__OpenCount(target), 0u);
    switch (r.file_) {
      case file_state::kABSENT: EXPECT_FALSE(Fixture__Exists(target)); break;
      case file_state::kEMPTY:
        EXPECT_TRUE(Fixture__Exists(target));
        EXPECT_EQ(Fixture__Read(target), "");
        break;
      case file_state::kPARTIAL: {
        const std::string written = Fixture__Read(target);
        EXPECT_GT(written.size(), 0u);
        EXPECT_LT(written.size(), video.size());
        EXPECT_EQ(written, video.substr(0, written.size()));
        break;
      }
      case file_state::kVIDEO: EXPECT_EQ(Fixture__Read(target), video); break;
    }
  }
}

// The deadline set before the write covers the header and the whole body: an
// exchange that stalls fails in the step that is running when it passes.
TEST_F(StorageClientTest, StalledExchangesFailAtTheDeadline) {
  const std::string video = Fixture__VideoBytes(50000);
  const std::string response = _T_GoodResponse(video);
  loopback_server server([&](const std::string& aTarget) {
    scripted_reply reply;  // "/silent": nothing at all; "/slow": header and part of the body
    if (aTarget.rfind("/slow/", 0) == 0) reply.pieces_.push_back(response.substr(0, response.size() / 2));
    return reply;
  });
  auto client = StorageClient__Create(2);
  client->start();
  client->loadVideoAsync(server.url("/silent"), dir_.file("silent.mp4"), 1, 2, 60, done_.handler(0));
  client->loadVideoAsync(server.url("/slow"), dir_.file("slow.mp4"), 1, 2, 60, done_.handler(1));
  ASSERT_TRUE(done_.waitFor(2, std::chrono::seconds(90)));
  for (const auto& call : done_.calls()) EXPECT_EQ(call.stat_, kS_FAIL);
  EXPECT_TRUE(LogCapture__Has(1, "fail: tcp_stream::async_read_header (The socket was closed due to a timeout)",
                              "doOneWork"))
      << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(1, "fail: tcp_stream::async_read (The socket was closed due to a timeout)",
                              "doOneWork"))
      << LogCapture__Dump();
  EXPECT_EQ(Fixture__Read(dir_.file("silent.mp4")), "");
  const std::string slow = Fixture__Read(dir_.file("slow.mp4"));
  EXPECT_GT(slow.size(), 0u);
  EXPECT_EQ(slow, video.substr(0, slow.size()));
}

}}}}  // namespace Tarn::Support::Viinex

// The allocation functions of this test program, with the pause point above.
// (GCC can't see that malloc and free pair up behind them.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
__attribute__((noinline)) void* operator new(std::size_t aSize) {
  if (aSize == Tarn::Support::Viinex::_T_kPausingSize && Tarn::Support::Viinex::_T_PauseArmed) {
    Tarn::Support::Viinex::_T_PauseArmed = false;
    Tarn::Support::Viinex::_T_Pause.pauseHere();
  }
  if (void* memory = std::malloc(aSize == 0 ? 1 : aSize)) return memory;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* aMemory) noexcept { std::free(aMemory); }
__attribute__((noinline)) void operator delete(void* aMemory, std::size_t) noexcept { std::free(aMemory); }
