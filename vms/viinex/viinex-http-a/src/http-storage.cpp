// Storage client: request queue, worker thread, scheduling coroutine and the
// export exchange with the VMS (one HTTP GET per request, chunked multipart
// body streamed into the target file).
//
// All of Asio and Beast stays in this one translation unit: they are slow to
// compile, and the public header must not pull them in.
#include <tarn/support/viinex/http/storage.h>
#include <tarn/support/viinex/internal/http-response.h>

#include <tarn/support/log.h>
#include <tarn/types/exceptions.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <queue>
#include <string_view>
#include <system_error>
#include <thread>

namespace Tarn { namespace Support { namespace Viinex {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using yield_context = asio::yield_context;
using handler_t = storage_client_like::handler_t;

// Every exchange must connect within this time, and then write, read the
// header and read the whole body within this time once more.
constexpr std::chrono::seconds _T_kExchangeDeadline{30};
constexpr std::chrono::milliseconds _T_kIdlePoll{100};
constexpr std::chrono::milliseconds _T_kBusyPoll{50};
// Bytes one read of the body may take: the most Beast's body read asks for.
constexpr std::size_t _T_kBodyReadSize = 64 * 1024;

// Characters that may stand in a path as they are (RFC 3986: pchar and "/").
bool _T_IsPathChar(unsigned char aChar) {
  if ((aChar >= 'a' && aChar <= 'z') || (aChar >= 'A' && aChar <= 'Z') || (aChar >= '0' && aChar <= '9')) {
    return true;
  }
  switch (aChar) {
    case '-': case '.': case '_': case '~':                                       // unreserved
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*':        // sub-delims
    case '+': case ',': case ';': case '=':
    case ':': case '@': case '/':
      return true;
    default:
      return false;
  }
}

// The decoded path goes into the request line: anything that could end the
// target early (space, CR LF), start a query or fragment, or is no path
// character at all is percent-encoded again. Ordinary paths stay unchanged.
std::string _T_EncodePath(const std::string& aPath) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(aPath.size());
  for (const char c : aPath) {
    const auto byte = static_cast<unsigned char>(c);
    if (_T_IsPathChar(byte)) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0x0F]);
    }
  }
  return encoded;
}

// The resolver wants an IPv6 literal without the brackets that the URL (and the
// Host field) carry.
std::string _T_ResolverHost(const std::string& aHost) {
  if (aHost.size() >= 2 && aHost.front() == '[' && aHost.back() == ']') {
    return aHost.substr(1, aHost.size() - 2);
  }
  return aHost;
}

struct query_args {
  query_args(std::string aHost, std::string aPort, std::string aSourceUrl, std::string aTargetFile,
             std::chrono::seconds aToutSec, handler_t aHandler)
      : host_(std::move(aHost)),
        port_(std::move(aPort)),
        source_url_(std::move(aSourceUrl)),
        target_file_(std::move(aTargetFile)),
        tout_sec_(std::move(aToutSec)),
        handler_(std::move(aHandler)) {}

  std::string host_;
  std::string port_;
  std::string source_url_;
  std::string target_file_;
  std::chrono::seconds tout_sec_;  // not read by the exchange, which keeps its fixed deadlines
  handler_t handler_;
};

using query_args_t = std::shared_ptr<query_args>;

class storage_client final : public storage_client_like {
 public:
  explicit storage_client(int max_concurrent);
  ~storage_client() override;

  void start() override;
  bool testBusy() override;
  void stop() override;
  void getStats(storage_client_stats& aStats) override;
  void loadVideoAsync(const std::string& aHost, const std::string& aPort, const std::string& aSourceUrl,
                      const std::string& aTargetFile, const unsigned int aToutSec, handler_t aHandler) override;
  void loadVideoAsync(const std::string& aSourceUrl, const std::string& aTargetFile, const uint64_t aTargetMinTs,
                      const uint64_t aTargetMaxTs, const unsigned int aToutSec, handler_t aHandler) override;

 private:
  uint64_t getPendngQueryCount();
  uint64_t getActiveQueryCount() const;
  void doManyWork(yield_context aYieldContext);
  video_info doOneWork(query_args_t aQuery, yield_context aYieldContext);

  asio::io_context ioc_;
  std::unique_ptr<std::thread> ioc_thread_;
  std::queue<query_args_t> pending_queries_queue_;
  std::mutex pending_queries_mutex_;
  std::atomic<int> active_query_count_{0};
  std::atomic<int> active_query_limit_;
  std::atomic<uint64_t> stats_query_total_{0};
  std::atomic<uint64_t> stats_query_success_{0};
  std::atomic<uint64_t> stats_query_failure_{0};
  std::atomic<bool> started_{false};
  // Counts the starts. A scheduler left suspended by stop() wakes up again when
  // the loop is restarted; it sees that a newer start owns the queue and ends,
  // so that one scheduler runs at a time.
  std::atomic<unsigned> run_count_{0};
};

storage_client::storage_client(int max_concurrent) : active_query_limit_(max_concurrent) {}

storage_client::~storage_client() {
  if (started_) {
    LOG(2, "fail: started:true");
    try {
      stop();
    } catch (const std::exception& aError) {
      LOG(1, "fail: exception <%s>", aError.what());
    }
  }
  // The members go in reverse order: the queue, the thread object, then the
  // loop, whose destruction unwinds the coroutines that stop() abandoned
  // (closing their sockets and files without calling their handlers).
}

void storage_client::start() {
  LOG(5, "exec");
  if (started_.exchange(true)) {
    LOG(2, "fail: already started");
    return;
  }
  try {
    // A loop stopped by stop() stays stopped until it is restarted; no thread runs it now.
    ioc_.restart();
    ++run_count_;
    ioc_thread_ = std::make_unique<std::thread>([this] {
      try {
        auto workGuard = asio::make_work_guard(ioc_);
        asio::spawn(
            ioc_, [this](yield_context aYieldContext) { doManyWork(aYieldContext); },
            [](std::exception_ptr aError) {
              if (!aError) return;
              try {
                std::rethrow_exception(aError);
              } catch (const std::exception& aException) {
                LOG(1, "fail: exception <%s>", aException.what());
              }
            });
        ioc_.run();
      } catch (const std::exception& aError) {
        LOG(1, "fail: exception <%s>", aError.what());
      }
    });
  } catch (...) {
    // No worker runs: the client stays stopped, and the caller learns why.
    started_ = false;
    throw;
  }
  LOG(4, "done");
}

bool storage_client::testBusy() { return getPendngQueryCount() != 0 || getActiveQueryCount() != 0; }

void storage_client::stop() {
  LOG(5, "exec");
  // A handler on the worker thread can't wait for its own thread to end. Refuse
  // before anything changes, so that the client keeps working and can still be
  // stopped (and destroyed) from another thread.
  if (ioc_thread_ && ioc_thread_->get_id() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  if (!started_.exchange(false)) {
    LOG(2, "fail: already stopped");
    return;
  }
  ioc_.stop();
  if (ioc_thread_ && ioc_thread_->joinable()) {
    ioc_thread_->join();
  }
  {
    std::lock_guard<std::mutex> lock(pending_queries_mutex_);
    while (!pending_queries_queue_.empty()) {
      query_args_t query = std::move(pending_queries_queue_.front());
      pending_queries_queue_.pop();
      // One handler that throws must not cost the others their call.
      try {
        query->handler_(kS_CANCELED, nullptr);
      } catch (const std::exception& aError) {
        LOG(1, "fail: exception <%s>", aError.what());
      }
    }
  }
  LOG(4, "done");
}

void storage_client::getStats(storage_client_stats& aStats) {
  aStats.query_total_ = stats_query_total_;
  aStats.query_success_ = stats_query_success_;
  aStats.query_failure_ = stats_query_failure_;
  aStats.query_pending_ = getPendngQueryCount();
  aStats.query_active_ = getActiveQueryCount();
}

void storage_client::loadVideoAsync(const std::string& aHost, const std::string& aPort, const std::string& aSourceUrl,
                                    const std::string& aTargetFile, const unsigned int aToutSec, handler_t aHandler) {
  LOG(4, "exec: file:<%s>", aTargetFile.c_str());
  // Checked outside the lock first: a cancellation handler (called by stop()
  // with the lock held) that makes a new request is refused here.
  if (!started_) {
    LOG(1, "fail: started:false");
    aHandler(kS_FAIL, nullptr);
    return;
  }
  auto query = std::make_shared<query_args>(aHost, aPort, aSourceUrl, aTargetFile, std::chrono::seconds(aToutSec),
                                            std::move(aHandler));
  {
    std::lock_guard<std::mutex> lock(pending_queries_mutex_);
    // Checked again under the lock: stop() clears started_ before it drains
    // the queue under this lock, so a request pushed here is either drained
    // by that stop() or refused, never left behind.
    if (started_) {
      pending_queries_queue_.push(query);
      ++stats_query_total_;
      return;
    }
  }
  LOG(1, "fail: started:false");
  query->handler_(kS_FAIL, nullptr);
}

void storage_client::loadVideoAsync(const std::string& aSourceUrl, const std::string& aTargetFile,
                                    const uint64_t aTargetMinTs, const uint64_t aTargetMaxTs,
                                    const unsigned int aToutSec, handler_t aHandler) {
  const auto parsed = boost::urls::parse_uri(aSourceUrl);
  if (!parsed) {
    LOG(1, "fail: parse_uri <%s> (%s)", aSourceUrl.c_str(), parsed.error().message().c_str());
    aHandler(kS_INVALID_PARAMS, nullptr);
    return;
  }
  const boost::urls::url_view& url = *parsed;
  std::string target = _T_EncodePath(url.path());
  target += "/export?format=isom&begin=";
  target += std::to_string(aTargetMinTs);
  target += "&end=";
  target += std::to_string(aTargetMaxTs);
  target += "&summary=basic";
  loadVideoAsync(url.host(), std::string(url.port()), target, aTargetFile, aToutSec, std::move(aHandler));
}

uint64_t storage_client::getPendngQueryCount() {
  std::lock_guard<std::mutex> lock(pending_queries_mutex_);
  return pending_queries_queue_.size();
}

uint64_t storage_client::getActiveQueryCount() const {
  const int active = active_query_count_;
  return active > 0 ? static_cast<uint64_t>(active) : 0;
}

void storage_client::doManyWork(yield_context aYieldContext) {
  LOG(4, "exec");
  const unsigned run = run_count_;
  asio::steady_timer pollTimer(ioc_);
  boost::system::error_code ignored;
  while (started_ && run == run_count_) {
    query_args_t query;
    bool queueEmpty = false;
    {
      std::lock_guard<std::mutex> lock(pending_queries_mutex_);
      queueEmpty = pending_queries_queue_.empty();
      if (!queueEmpty && active_query_count_ < active_query_limit_) {
        query = std::move(pending_queries_queue_.front());
        pending_queries_queue_.pop();
      }
    }
    if (!query) {
      pollTimer.expires_after(queueEmpty ? _T_kIdlePoll : _T_kBusyPoll);
      pollTimer.async_wait(aYieldContext[ignored]);
      continue;
    }
    // Counted here rather than inside the new coroutine, so that the limit
    // holds whether or not the coroutine has run yet at the next check.
    ++active_query_count_;
    try {
      asio::spawn(
          ioc_,
          [this, query](yield_context aRequestYield) {
            video_info videoInfo;
            bool done = false;
            // Only the library's own and the standard exceptions are caught:
            // the unwinding of an abandoned coroutine must pass.
            try {
              videoInfo = doOneWork(query, aRequestYield);
              done = true;
            } catch (const generic_error&) {
              // doOneWork has logged the cause.
            } catch (const std::exception& aError) {
              LOG(1, "fail: exception <%s>", aError.what());
            }
            --active_query_count_;
            if (done) {
              ++stats_query_success_;
              query->handler_(kS_DONE, &videoInfo);
            } else {
              ++stats_query_failure_;
              query->handler_(kS_FAIL, nullptr);
            }
          },
          [](std::exception_ptr aError) {
            if (!aError) return;
            try {
              std::rethrow_exception(aError);
            } catch (const std::exception& aException) {
              LOG(1, "fail: exception <%s>", aException.what());
            }
          });
    } catch (const std::exception& aError) {
      // No coroutine (no stack for it): the request ends here as failed.
      LOG(1, "fail: exception <%s>", aError.what());
      --active_query_count_;
      ++stats_query_failure_;
      query->handler_(kS_FAIL, nullptr);
    }
  }
  LOG(4, "done");
}

video_info storage_client::doOneWork(query_args_t aQuery, yield_context aYieldContext) {
  boost::system::error_code errorCode;

  // Look up the VMS address (no deadline of its own).
  tcp::resolver resolver(ioc_);
  const auto endpoints = resolver.async_resolve(_T_ResolverHost(aQuery->host_), aQuery->port_,
                                                aYieldContext[errorCode]);
  if (errorCode) {
    LOG(1, "fail: resolver::async_resolve (%s)", errorCode.message().c_str());
    throw internal_error();
  }

  // Connect, trying the endpoints in order.
  beast::tcp_stream httpServer(ioc_);
  httpServer.expires_after(_T_kExchangeDeadline);
  httpServer.async_connect(endpoints, aYieldContext[errorCode]);
  if (errorCode) {
    LOG(1, "fail: tcp_stream::async_connect (%s)", errorCode.message().c_str());
    throw internal_error();
  }

  // One GET with exactly two fields; no Content-Length for the empty body.
  http::request<http::string_body> httpQuery{http::verb::get, aQuery->source_url_, 11};
  httpQuery.set(http::field::host, aQuery->host_);
  httpQuery.set(http::field::user_agent, "TARN/0.37.x");

  // From here the write, the header and the whole body share one deadline.
  httpServer.expires_after(_T_kExchangeDeadline);
  http::async_write(httpServer, httpQuery, aYieldContext[errorCode]);
  if (errorCode) {
    LOG(1, "fail: tcp_stream::async_write (%s)", errorCode.message().c_str());
    throw internal_error();
  }

  http::response_parser<http::empty_body> httpReplyParser;
  httpReplyParser.body_limit(std::numeric_limits<std::uint64_t>::max());

  // Creates or truncates the target file; throws the parser's own error when it can't.
  Internal::response_body_parser_up_t multipartParser = Internal::ResponseBodyParser__CreateVideo(aQuery->target_file_);
  auto chunkBodyHandler = [&multipartParser](std::uint64_t /*aChunkBodyRemain*/, std::string_view aChunkBodyPart,
                                             boost::system::error_code& aRetCode) -> std::size_t {
    aRetCode = {};
    multipartParser->handleChunkData(aChunkBodyPart.data(), aChunkBodyPart.size());
    return aChunkBodyPart.size();
  };
  httpReplyParser.on_chunk_body(chunkBodyHandler);
  // The body read asks the socket for as much as the buffer has free, at least
  // 512 bytes and at most 64 KiB; each piece then goes to the parser, which
  // writes and flushes it. Left at the size the header read gives it, the
  // buffer made that 512 bytes a time: a 1 GiB export cost 8 s of CPU and
  // most of the 30-second deadline.
  beast::flat_buffer httpBuffer;
  httpBuffer.reserve(_T_kBodyReadSize);

  // Read the header; body bytes that came with it wait in the buffer.
  http::async_read_header(httpServer, httpBuffer, httpReplyParser, aYieldContext[errorCode]);
  if (errorCode) {
    LOG(1, "fail: tcp_stream::async_read_header (%s)", errorCode.message().c_str());
    throw internal_error();
  }

  const auto& header = httpReplyParser.get();
  const auto contentType = header.find(http::field::content_type);
  if (contentType == header.end()) {
    LOG(1, "fail: find (header:Content-Type)");
    throw internal_error();
  }
  multipartParser->setBoundary(std::string(contentType->value()));

  // Stream the chunked body into the multipart parser.
  http::async_read(httpServer, httpBuffer, httpReplyParser, aYieldContext[errorCode]);
  if (errorCode) {
    LOG(1, "fail: tcp_stream::async_read (%s)", errorCode.message().c_str());
    throw internal_error();
  }

  // Shut down; a peer that has already gone leaves nothing to shut down.
  httpServer.socket().shutdown(tcp::socket::shutdown_both, errorCode);
  if (errorCode && errorCode != boost::system::errc::not_connected) {
    LOG(1, "fail: socket::shutdown (%s)", errorCode.message().c_str());
    throw internal_error();
  }

  video_info videoInfo;
  if (!multipartParser->getVideoInfo(videoInfo)) {
    LOG(1, "fail: getVideoInfo");
    throw internal_error();
  }
  LOG(3, "done: file-ts:[%s, %s]", videoInfo.min_ts_.c_str(), videoInfo.max_ts_.c_str());
  return videoInfo;
}

}  // namespace

storage_client_up_t StorageClient__Create(int aMaxConcurrentDownloads) {
  return std::make_unique<storage_client>(aMaxConcurrentDownloads);
}

}}}  // namespace Tarn::Support::Viinex
