// vms-sim: the simulated VMS storage service. It answers export requests
// with a chunked multipart body (the recording, then the JSON summary) and
// misbehaves when the stream path asks for it. README.md lists the paths.
//
// One thread, one Asio event loop, one stackful coroutine per connection.
// Bodies are sent piece by piece, so an export of any size costs a few
// hundred KiB of memory.

#include "media.h"

#include <boost/asio.hpp>
#include <boost/asio/spawn.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace Tarn::Tools::VmsSim {
namespace {

constexpr size_t kMaxHead = 64 * 1024;          // request head, bytes
constexpr size_t kMaxRecorded = 10000;          // request heads kept for /sim/stats
constexpr auto kIdle = std::chrono::seconds(60);  // keep-alive wait for the next request
constexpr auto kStallCap = std::chrono::seconds(120);
constexpr size_t kPiece = 64 * 1024;            // body piece of an ordinary export
constexpr size_t kBigPiece = 256 * 1024;        // body piece of a generated export
constexpr unsigned kMaxRequestsPerConnection = 1000;

struct options_t {
  unsigned short port_ = 0;
  std::string media_;  // directory of the recordings
  bool quiet_ = false;
  bool exitOnStdinEof_ = false;
};

struct server_t {
  asio::io_context ioc_;
  media_set media_;
  options_t options_;
  std::mt19937_64 random_{std::random_device{}()};
  uint64_t exports_ = 0;
  unsigned active_ = 0;
  unsigned maxActive_ = 0;
  std::deque<std::pair<std::string, std::string>> requests_;  // target, head
};

// What the stream path asks for.
struct modes_t {
  bool noContentType_ = false;
  bool contentLength_ = false;
  bool emptyBody_ = false;
  bool status404_ = false;
  bool closeAfterLastChunk_ = false;
  bool stall_ = false;
  bool stallHeader_ = false;
  bool tinyChunks_ = false;
  bool audioFirst_ = false;
  bool quotedBoundary_ = false;
  bool resetMidBody_ = false;
  bool garbageStatus_ = false;
  bool hugeHeader_ = false;
  bool closeBeforeAnswer_ = false;
  bool noSummary_ = false;
  bool truncated_ = false;
  bool noVideoTrack_ = false;
  bool big_ = false;
  uint64_t bigSize_ = 0;
  uint64_t delayMs_ = 0;
  uint64_t slowMs_ = 0;
};

bool _T_ParseU64(const std::string& aText, uint64_t& aValue) {
  if (aText.empty() || aText.size() > 20) return false;
  uint64_t v = 0;
  for (char c : aText) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = uint64_t(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  aValue = v;
  return true;
}

std::vector<std::string> _T_Split(const std::string& aText, char aSep) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    const size_t next = aText.find(aSep, pos);
    out.push_back(aText.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
    if (next == std::string::npos) return out;
    pos = next + 1;
  }
}

modes_t _T_Modes(const std::string& aStreamPath) {
  modes_t m;
  const auto segs = _T_Split(aStreamPath, '/');
  for (size_t i = 0; i < segs.size(); ++i) {
    const std::string& s = segs[i];
    const std::string next = i + 1 < segs.size() ? segs[i + 1] : std::string();
    if (s == "no-content-type") m.noContentType_ = true;
    else if (s == "content-length") m.contentLength_ = true;
    else if (s == "empty-body") m.emptyBody_ = true;
    else if (s == "status-404") m.status404_ = true;
    else if (s == "close-after-last-chunk") m.closeAfterLastChunk_ = true;
    else if (s == "stall") m.stall_ = true;
    else if (s == "stall-header") m.stallHeader_ = true;
    else if (s == "tiny-chunks") m.tinyChunks_ = true;
    else if (s == "audio-first") m.audioFirst_ = true;
    else if (s == "quoted-boundary") m.quotedBoundary_ = true;
    else if (s == "reset-mid-body") m.resetMidBody_ = true;
    else if (s == "garbage-status") m.garbageStatus_ = true;
    else if (s == "huge-header") m.hugeHeader_ = true;
    else if (s == "close-before-answer") m.closeBeforeAnswer_ = true;
    else if (s == "no-summary") m.noSummary_ = true;
    else if (s == "truncated") m.truncated_ = true;
    else if (s == "no-video-track") m.noVideoTrack_ = true;
    else if (s == "big" && _T_ParseU64(next, m.bigSize_)) m.big_ = true, ++i;
    else if (s == "delay" && _T_ParseU64(next, m.delayMs_)) ++i;
    else if (s == "slow" && _T_ParseU64(next, m.slowMs_)) ++i;
  }
  return m;
}

// Milliseconds since the epoch as ISO 8601 UTC; plain digits beyond year 9999.
std::string _T_IsoTime(uint64_t aMs) {
  const uint64_t secs = aMs / 1000;
  if (secs > 253402300799ull) return std::to_string(aMs);
  const time_t t = time_t(secs);
  struct tm tm {};
  if (!gmtime_r(&t, &tm)) return std::to_string(aMs);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + n, sizeof text - n, ".%03uZ", unsigned(aMs % 1000));
  return text;
}

std::string _T_JsonText(const std::string& aText) {
  std::string out = "\"";
  for (unsigned char c : aText) {
    if (c == '"' || c == '\\') out += '\\', out += char(c);
    else if (c < 0x20 || c >= 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else out += char(c);
  }
  return out + "\"";
}

// The body of one response as a list of pieces: owned texts, runs of the
// recording, and runs of zero bytes (the padding of a generated export).
class body_t {
 public:
  void text(std::string aText) { items_.push_back({std::move(aText), nullptr, 0}); }
  void bytes(const char* aData, uint64_t aSize) { items_.push_back({{}, aData, aSize}); }
  void zeros(uint64_t aSize) { items_.push_back({{}, nullptr, aSize}); }
  uint64_t size() const {
    uint64_t n = 0;
    for (const auto& i : items_) n += i.length();
    return n;
  }

  // Calls aSend(data, size) for consecutive pieces of at most aPiece bytes,
  // stopping after aLimit bytes or when aSend returns false. Returns whether
  // the whole body went out.
  template <typename Send>
  bool send(size_t aPiece, uint64_t aLimit, Send&& aSend) const {
    static const std::vector<char> zeros(kBigPiece, 0);
    uint64_t sent = 0;
    for (const auto& item : items_) {
      for (uint64_t off = 0; off < item.length();) {
        if (sent >= aLimit) return false;
        const uint64_t n = std::min<uint64_t>({aPiece, item.length() - off, aLimit - sent, zeros.size()});
        const char* p = !item.text_.empty() ? item.text_.data() + off
                        : item.data_        ? item.data_ + off
                                            : zeros.data();
        if (!aSend(p, size_t(n))) return false;
        off += n;
        sent += n;
      }
    }
    return true;
  }

 private:
  struct item_t {
    std::string text_;
    const char* data_;
    uint64_t size_;
    uint64_t length() const { return text_.empty() ? size_ : text_.size(); }
  };
  std::vector<item_t> items_;
};

// Sends body pieces with the framing the response uses.
class framer_t {
 public:
  framer_t(tcp::socket& aSocket, asio::yield_context aYield, bool aChunked, bool aTiny, uint64_t aPauseMs)
      : socket_(aSocket), yield_(aYield), chunked_(aChunked), tiny_(aTiny), pauseMs_(aPauseMs) {}

  bool piece(const char* aData, size_t aSize) {
    error_code ec;
    if (tiny_) {
      // Chunks of 1 to 13 bytes, gathered into writes of about 16 KiB.
      static const size_t kSizes[] = {1, 2, 3, 5, 8, 13, 7, 4};
      for (size_t off = 0; off < aSize;) {
        const size_t n = std::min(kSizes[tinyIndex_++ % 8], aSize - off);
        char line[16];
        std::snprintf(line, sizeof line, "%zx\r\n", n);
        stage_ += line;
        stage_.append(aData + off, n);
        stage_ += "\r\n";
        off += n;
        if (stage_.size() >= 16 * 1024 && !flush()) return false;
      }
    } else if (chunked_) {
      char line[24];
      const int len = std::snprintf(line, sizeof line, "%zx\r\n", aSize);
      const std::array<asio::const_buffer, 3> bufs = {asio::buffer(line, size_t(len)),
                                                      asio::buffer(aData, aSize), asio::buffer("\r\n", 2)};
      asio::async_write(socket_, bufs, yield_[ec]);
    } else {
      asio::async_write(socket_, asio::buffer(aData, aSize), yield_[ec]);
    }
    if (ec) return false;
    return pause();
  }

  // Sends what is staged and, for a chunked body, the last chunk.
  bool finish() {
    if (!flush()) return false;
    if (!chunked_) return true;
    error_code ec;
    asio::async_write(socket_, asio::buffer("0\r\n\r\n", 5), yield_[ec]);
    return !ec;
  }

  bool flush() {
    if (stage_.empty()) return true;
    error_code ec;
    asio::async_write(socket_, asio::buffer(stage_), yield_[ec]);
    stage_.clear();
    return !ec && pause();
  }

 private:
  bool pause() {
    if (!pauseMs_) return true;
    if (tiny_ && !stage_.empty()) return true;
    asio::steady_timer timer(socket_.get_executor());
    timer.expires_after(std::chrono::milliseconds(pauseMs_));
    error_code ec;
    timer.async_wait(yield_[ec]);
    return true;
  }

  tcp::socket& socket_;
  asio::yield_context yield_;
  bool chunked_;
  bool tiny_;
  uint64_t pauseMs_;
  size_t tinyIndex_ = 0;
  std::string stage_;
};

using socket_sp_t = std::shared_ptr<tcp::socket>;

bool _T_Write(tcp::socket& aSocket, const std::string& aText, asio::yield_context aYield) {
  error_code ec;
  asio::async_write(aSocket, asio::buffer(aText), aYield[ec]);
  return !ec;
}

// Waits until the peer closes the connection (or sends anything), at most aCap.
void _T_WaitForPeer(const socket_sp_t& aSocket, asio::yield_context aYield,
                    std::chrono::steady_clock::duration aCap) {
  asio::steady_timer timer(aSocket->get_executor());
  timer.expires_after(aCap);
  timer.async_wait([aSocket](error_code ec) {
    if (!ec) aSocket->close(ec);
  });
  char scratch[512];
  error_code ec;
  for (unsigned i = 0; i < 1000 && !ec; ++i) aSocket->async_read_some(asio::buffer(scratch), aYield[ec]);
  timer.cancel();
}

void _T_Reset(tcp::socket& aSocket) {
  error_code ec;
  aSocket.set_option(asio::socket_base::linger(true, 0), ec);
  aSocket.close(ec);
}

std::string _T_Plain(int aStatus, const char* aReason, const std::string& aText) {
  return "HTTP/1.1 " + std::to_string(aStatus) + " " + aReason +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(aText.size()) + "\r\n\r\n" + aText;
}

std::string _T_Stats(const server_t& aServer) {
  std::string out = "{\"exports\": " + std::to_string(aServer.exports_) +
                    ", \"active\": " + std::to_string(aServer.active_) +
                    ", \"max_active\": " + std::to_string(aServer.maxActive_) + ", \"requests\": [";
  bool first = true;
  for (const auto& r : aServer.requests_) {
    out += first ? "" : ", ";
    out += "{\"target\": " + _T_JsonText(r.first) + ", \"head\": " + _T_JsonText(r.second) + "}";
    first = false;
  }
  return out + "]}\n";
}

std::string _T_Summary(uint64_t aLength, const modes_t& aModes, const media_info& aMedia,
                       const std::string& aMin, const std::string& aMax) {
  const std::string interval = "[" + _T_JsonText(aMin) + ", " + _T_JsonText(aMax) + "]";
  const std::string audio = "{\"codec\": \"AAC\", \"channels\": 1, \"sample_rate\": 16000, \"interval\": " +
                            interval + "}";
  const std::string video = "{\"codec\": \"H264\", \"width\": " + std::to_string(aMedia.width_) +
                            ", \"height\": " + std::to_string(aMedia.height_) + ", \"interval\": " + interval + "}";
  std::string tracks;
  if (aModes.noVideoTrack_) tracks = audio;
  else if (aModes.audioFirst_) tracks = audio + ", " + video;
  else tracks = video;
  return "{\"length\": " + std::to_string(aLength) + ", \"tracks\": [" + tracks + "]}";
}

// Active exports, for /sim/stats.
class active_guard_t {
 public:
  explicit active_guard_t(server_t& aServer) : server_(aServer) {
    ++server_.exports_;
    server_.maxActive_ = std::max(server_.maxActive_, ++server_.active_);
  }
  ~active_guard_t() { --server_.active_; }
  active_guard_t(const active_guard_t&) = delete;
  active_guard_t& operator=(const active_guard_t&) = delete;

 private:
  server_t& server_;
};

// Answers one export request. Returns whether the connection may serve
// another request.
bool _T_Export(server_t& aServer, const socket_sp_t& aSocket, const std::string& aStreamPath,
               const std::string& aQuery, asio::yield_context aYield) {
  tcp::socket& socket = *aSocket;
  uint64_t begin = 0, end = 0;
  bool haveBegin = false, haveEnd = false;
  for (const auto& kv : _T_Split(aQuery, '&')) {
    const size_t eq = kv.find('=');
    const std::string key = kv.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : kv.substr(eq + 1);
    if (key == "begin") haveBegin = _T_ParseU64(value, begin);
    if (key == "end") haveEnd = _T_ParseU64(value, end);
  }
  if (!haveBegin || !haveEnd || begin > end)
    return _T_Write(socket, _T_Plain(400, "Bad Request", "begin and end must be decimal and begin <= end\n"), aYield);

  active_guard_t active(aServer);
  const modes_t modes = _T_Modes(aStreamPath);
  if (modes.closeBeforeAnswer_) return false;
  if (modes.stallHeader_) return _T_WaitForPeer(aSocket, aYield, kStallCap), false;
  if (modes.delayMs_) {
    asio::steady_timer timer(socket.get_executor());
    timer.expires_after(std::chrono::milliseconds(modes.delayMs_));
    error_code ec;
    timer.async_wait(aYield[ec]);
  }
  if (modes.garbageStatus_) {
    _T_Write(socket, "HTTX/9.9 two hundred\r\nContent-Type: text/plain\r\n\r\n", aYield);
    return false;
  }

  // The recording that covers the interval; a generated export starts with
  // the longest one.
  const media_info& media =
      modes.big_ ? aServer.media_.longest() : aServer.media_.forInterval(end - begin);
  char boundaryText[40];
  std::snprintf(boundaryText, sizeof boundaryText, "tarn-sim-%016llx",
                static_cast<unsigned long long>(aServer.random_()));
  const std::string boundary = boundaryText;
  const std::string delimiter = "--" + boundary;

  // The video part's content.
  uint64_t videoSize = media.bytes_.size();
  body_t body;
  if (modes.quotedBoundary_) body.text("This preamble is not part of any part.\r\n");
  body.text(delimiter + "\r\nContent-Type: video/mp4\r\n\r\n");
  const uint64_t videoStart = body.size();
  if (modes.big_) {
    videoSize = modes.bigSize_;
    const uint64_t pad = videoSize >= media.bytes_.size() ? videoSize - media.bytes_.size() : 0;
    if (pad >= 16) {
      // The recording followed by a free box: still a playable MP4.
      body.bytes(media.bytes_.data(), media.bytes_.size());
      std::string header(pad > UINT32_MAX ? 16 : 8, '\0');
      const uint64_t size32 = pad > UINT32_MAX ? 1 : pad;
      for (int i = 0; i < 4; ++i) header[i] = char(size32 >> (24 - 8 * i));
      header.replace(4, 4, "free");
      if (pad > UINT32_MAX)
        for (int i = 0; i < 8; ++i) header[8 + i] = char(pad >> (56 - 8 * i));
      body.text(header);
      body.zeros(pad - header.size());
    } else {
      body.zeros(videoSize);
    }
  } else {
    body.bytes(media.bytes_.data(), media.bytes_.size());
  }
  const std::string minTs = _T_IsoTime(begin);
  const std::string maxTs = _T_IsoTime(std::min(end, begin + media.duration_ms_));
  if (!modes.noSummary_) {
    body.text("\r\n" + delimiter + "\r\nContent-Type: application/json\r\n\r\n" +
              _T_Summary(videoSize, modes, media, minTs, maxTs));
  }
  if (!modes.truncated_) body.text("\r\n" + delimiter + "--\r\n");

  // The header.
  std::string head = modes.status404_ ? "HTTP/1.1 404 Not Found\r\n" : "HTTP/1.1 200 OK\r\n";
  head += "Server: vms-sim\r\n";
  if (!modes.noContentType_) {
    head += modes.quotedBoundary_ ? "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n"
                                  : "Content-Type: multipart/mixed; boundary=" + boundary + "\r\n";
  }
  if (modes.hugeHeader_) head += "X-Padding: " + std::string(64 * 1024, 'a') + "\r\n";
  const bool chunked = !modes.contentLength_ && !modes.emptyBody_;
  if (modes.emptyBody_) head += "Content-Length: 0\r\n";
  else if (modes.contentLength_) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  else head += "Transfer-Encoding: chunked\r\n";
  if (modes.closeAfterLastChunk_) head += "Connection: close\r\n";
  head += "\r\n";
  if (!_T_Write(socket, head, aYield)) return false;
  if (modes.emptyBody_) return true;

  // The body, cut short for the faults that break off inside the video part.
  uint64_t limit = UINT64_MAX;
  if (modes.stall_) limit = videoStart + std::min<uint64_t>(4096, videoSize / 2);
  if (modes.resetMidBody_) limit = videoStart + videoSize / 2;
  size_t piece = modes.big_ ? kBigPiece : kPiece;
  uint64_t pauseMs = 0;
  if (modes.slowMs_) {
    piece = size_t(std::max<uint64_t>(1, std::min<uint64_t>(kBigPiece, body.size() / 20 + 1)));
    pauseMs = modes.slowMs_ / 20;
  }
  framer_t framer(socket, aYield, chunked, modes.tinyChunks_ && chunked, pauseMs);
  const bool whole = body.send(piece, limit, [&](const char* p, size_t n) { return framer.piece(p, n); });
  if (modes.stall_) {
    framer.flush();
    _T_WaitForPeer(aSocket, aYield, kStallCap);
    return false;
  }
  if (modes.resetMidBody_) {
    framer.flush();
    _T_Reset(socket);
    return false;
  }
  if (!whole || !framer.finish()) return false;
  if (modes.closeAfterLastChunk_) {
    error_code ec;
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
    return false;
  }
  return true;
}

void _T_Session(server_t& aServer, socket_sp_t aSocket, asio::yield_context aYield) {
  std::string buffer;
  for (unsigned n = 0; n < kMaxRequestsPerConnection; ++n) {
    // Read one request head, waiting at most kIdle for it.
    asio::steady_timer idle(aServer.ioc_);
    idle.expires_after(kIdle);
    idle.async_wait([aSocket](error_code ec) {
      if (!ec) aSocket->close(ec);
    });
    error_code ec;
    const size_t headSize =
        asio::async_read_until(*aSocket, asio::dynamic_buffer(buffer, kMaxHead), "\r\n\r\n", aYield[ec]);
    idle.cancel();
    if (ec) return;
    const std::string head = buffer.substr(0, headSize);
    buffer.erase(0, headSize);

    const size_t lineEnd = head.find("\r\n");
    const auto words = _T_Split(head.substr(0, lineEnd), ' ');
    if (words.size() != 3 || words[2].compare(0, 5, "HTTP/") != 0) {
      _T_Write(*aSocket, _T_Plain(400, "Bad Request", "bad request line\n"), aYield);
      return;
    }
    const std::string& method = words[0];
    const std::string& target = words[1];
    if (!aServer.options_.quiet_) std::cerr << "vms-sim: " << method << " " << target << std::endl;

    if (target == "/sim/stats") {
      if (!_T_Write(*aSocket, _T_Plain(200, "OK", _T_Stats(aServer)), aYield)) return;
      continue;
    }
    aServer.requests_.emplace_back(target, head);
    if (aServer.requests_.size() > kMaxRecorded) aServer.requests_.pop_front();

    const size_t q = target.find('?');
    const std::string path = target.substr(0, q);
    const std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
    static const std::string kExport = "/export";
    if (method != "GET") {
      _T_Write(*aSocket, _T_Plain(405, "Method Not Allowed", "only GET\n"), aYield);
      return;
    }
    if (path.size() < kExport.size() || path.compare(path.size() - kExport.size(), kExport.size(), kExport) != 0) {
      if (!_T_Write(*aSocket, _T_Plain(404, "Not Found", "no such export\n"), aYield)) return;
      continue;
    }
    if (!_T_Export(aServer, aSocket, path.substr(0, path.size() - kExport.size()), query, aYield)) return;
  }
}

void _T_Accept(server_t& aServer, tcp::acceptor& aAcceptor, asio::yield_context aYield) {
  for (;;) {
    auto socket = std::make_shared<tcp::socket>(aServer.ioc_);
    error_code ec;
    aAcceptor.async_accept(*socket, aYield[ec]);
    if (ec == asio::error::operation_aborted || !aAcceptor.is_open()) return;
    if (ec) continue;
    socket->set_option(tcp::no_delay(true), ec);
    asio::spawn(
        aServer.ioc_,
        [&aServer, socket](asio::yield_context aYield) {
          try {
            _T_Session(aServer, socket, aYield);
          } catch (const std::exception& e) {
            std::cerr << "vms-sim: connection ended: " << e.what() << std::endl;
          }
        },
        asio::detached);
  }
}

int _T_Usage() {
  std::cerr << "usage: vms-sim [--port P] [--media DIR] [--quiet] [--exit-on-stdin-eof]\n"
               "       vms-sim --make-media DIR\n";
  return 2;
}

}  // namespace

int Main(int argc, char** argv) {
  options_t options;
#ifdef VMS_SIM_DEFAULT_MEDIA
  options.media_ = VMS_SIM_DEFAULT_MEDIA;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue) {
      uint64_t port = 0;
      if (!_T_ParseU64(argv[++i], port) || port > 65535) return _T_Usage();
      options.port_ = static_cast<unsigned short>(port);
    } else if (arg == "--media" && hasValue) {
      options.media_ = argv[++i];
    } else if (arg == "--make-media" && hasValue) {
      std::string error;
      if (!Media__MakeAll(argv[++i], error)) return std::cerr << "vms-sim: " << error << std::endl, 1;
      return 0;
    } else if (arg == "--quiet") {
      options.quiet_ = true;
    } else if (arg == "--exit-on-stdin-eof") {
      options.exitOnStdinEof_ = true;
    } else {
      return _T_Usage();
    }
  }
  if (options.media_.empty()) return _T_Usage();

  server_t server;
  server.options_ = options;
  std::string error;
  if (!Media__Load(server.media_, options.media_, error)) return std::cerr << "vms-sim: " << error << std::endl, 1;

  std::signal(SIGPIPE, SIG_IGN);
  tcp::acceptor acceptor(server.ioc_);
  const tcp::endpoint where(asio::ip::address_v4::loopback(), options.port_);
  acceptor.open(where.protocol());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.bind(where);
  acceptor.listen();
  std::cout << acceptor.local_endpoint().port() << std::endl;

  asio::signal_set signals(server.ioc_, SIGINT, SIGTERM);
  signals.async_wait([&](error_code, int) { server.ioc_.stop(); });

  asio::posix::stream_descriptor input(server.ioc_);
  char scratch[256];
  std::function<void(error_code, size_t)> onInput = [&](error_code ec, size_t) {
    if (ec) return server.ioc_.stop();
    input.async_read_some(asio::buffer(scratch), onInput);
  };
  if (options.exitOnStdinEof_) {
    error_code ec;
    input.assign(::dup(STDIN_FILENO), ec);
    if (!ec) input.async_read_some(asio::buffer(scratch), onInput);
  }

  asio::spawn(server.ioc_, [&](asio::yield_context aYield) { _T_Accept(server, acceptor, aYield); },
              asio::detached);
  server.ioc_.run();
  return 0;
}

}  // namespace Tarn::Tools::VmsSim

int main(int argc, char** argv) {
  try {
    return Tarn::Tools::VmsSim::Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "vms-sim: " << e.what() << std::endl;
    return 1;
  }
}
