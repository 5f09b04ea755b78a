// Test fixtures for the storage client: a scripted loopback HTTP server, export
// bodies built by hand, a recorder of completion calls and a scratch directory.
//
// The server listens on 127.0.0.1 (or ::1), port 0. Each connection runs on its
// own thread: it reads the request header, records the exact bytes, asks the
// script for the reply by the request target, optionally waits until the test
// releases it, sends the reply's pieces one send() each, then ends as the
// script says (wait for the client to close, recording anything more it sends;
// close; or reset). It counts how many exchanges are open at once: from the
// arrival of a request until the connection is over, in the kernel's order of
// events (a connection whose client has already closed is not counted when a
// later request arrives, however late its own thread notices).
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Tarn { namespace Testing {

struct scripted_reply {
  enum class ending { kWAIT_CLIENT, kCLOSE, kRESET };
  std::vector<std::string> pieces_;  // raw bytes, one send() each
  bool hold_ = false;                // send nothing until the test releases this exchange
  ending ending_ = ending::kWAIT_CLIENT;
};

struct exchange_record {
  std::string target_;    // the request target of the request line
  std::string received_;  // every byte the client sent on the connection
  bool ended_ = false;    // the connection is over
};

class loopback_server {
 public:
  using script_t = std::function<scripted_reply(const std::string& aTarget)>;

  explicit loopback_server(script_t aScript, int aFamily = AF_INET) : script_(std::move(aScript)), family_(aFamily) {
    listen_fd_ = ::socket(aFamily, SOCK_STREAM, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (aFamily == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
      length = sizeof(sockaddr_in6);
    } else {
      auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
      in4->sin_family = AF_INET;
      in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof(sockaddr_in);
    }
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listen_fd_, 64) != 0) {
      ::close(listen_fd_);
      throw std::runtime_error("bind/listen");
    }
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(aFamily == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    accept_thread_ = std::thread([this] { acceptLoop(); });
  }

  ~loopback_server() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    cv_.notify_all();
    ::shutdown(listen_fd_, SHUT_RDWR);
    accept_thread_.join();
    ::close(listen_fd_);
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
  }

  unsigned short port() const { return port_; }

  // "http://127.0.0.1:<port>" followed by aPathEtc.
  std::string url(const std::string& aPathEtc) const {
    const std::string host = family_ == AF_INET6 ? "[::1]" : "127.0.0.1";
    return "http://" + host + ":" + std::to_string(port_) + aPathEtc;
  }

  std::vector<exchange_record> exchanges() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exchanges_;
  }
  size_t arrivals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exchanges_.size();
  }
  size_t maxActive() {
    std::lock_guard<std::mutex> lock(mutex_);
    return max_active_;
  }
  size_t connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }

  // Lets the held exchange with this arrival index send its reply.
  void release(size_t aArrival) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_.insert(aArrival);
    }
    cv_.notify_all();
  }

  // Waits (at most 20 s, a safety net) until aPredicate holds; it runs with the
  // server's state locked, so it must only read the server's state.
  bool waitUntil(const std::function<bool()>& aPredicate) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), aPredicate);
  }
  size_t arrivalsLocked() const { return exchanges_.size(); }
  bool endedLocked(size_t aArrival) const { return aArrival < exchanges_.size() && exchanges_[aArrival].ended_; }

 private:
  void acceptLoop() {
    for (;;) {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      std::lock_guard<std::mutex> lock(mutex_);
      if (fd < 0) {
        if (stopping_) return;
        continue;
      }
      if (stopping_) {
        ::close(fd);
        return;
      }
      ++connections_;
      open_fds_.insert(fd);
      threads_.emplace_back([this, fd] { serve(fd); });
    }
  }

  static void sendAll(int aFd, const std::string& aBytes) {
    size_t sent = 0;
    while (sent < aBytes.size()) {
      const ssize_t n = ::send(aFd, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  void closeFd(int aFd) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_fds_.erase(aFd);
    active_fds_.erase(aFd);
    ::close(aFd);
  }

  void serve(int aFd) {
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(aFd, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        closeFd(aFd);
        return;
      }
      received.append(buffer, static_cast<size_t>(n));
    }
    const size_t firstSpace = received.find(' ');
    const size_t secondSpace = received.find(' ', firstSpace + 1);
    const std::string target = firstSpace == std::string::npos || secondSpace == std::string::npos
                                   ? std::string()
                                   : received.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    size_t arrival = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      arrival = exchanges_.size();
      exchanges_.push_back({target, received, false});
      size_t active = 1;
      for (int other : active_fds_) {
        char byte;
        const ssize_t n = ::recv(other, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) ++active;
      }
      max_active_ = std::max(max_active_, active);
      active_fds_.insert(aFd);
    }
    cv_.notify_all();

    const scripted_reply reply = script_(target);
    if (reply.hold_) {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [&] { return stopping_ || released_.count(arrival) != 0; });
    }
    for (const auto& piece : reply.pieces_) sendAll(aFd, piece);

    if (reply.ending_ == scripted_reply::ending::kRESET) {
      linger hard{1, 0};
      ::setsockopt(aFd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    } else if (reply.ending_ == scripted_reply::ending::kWAIT_CLIENT) {
      for (;;) {
        const ssize_t n = ::recv(aFd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        exchanges_[arrival].received_.append(buffer, static_cast<size_t>(n));
      }
    }
    closeFd(aFd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      exchanges_[arrival].ended_ = true;
    }
    cv_.notify_all();
  }

  script_t script_;
  int family_;
  int listen_fd_ = -1;
  unsigned short port_ = 0;
  std::thread accept_thread_;

  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::set<int> open_fds_;
  std::vector<std::thread> threads_;
  std::vector<exchange_record> exchanges_;
  std::set<size_t> released_;
  std::set<int> active_fds_;  // connections whose request arrived and that are not over
  size_t connections_ = 0;
  size_t max_active_ = 0;
};

// ---- Export responses built by hand ----------------------------------------

inline std::string Fixture__Summary(uint32_t aLength, uint16_t aWidth, uint16_t aHeight, const std::string& aMinTs,
                                    const std::string& aMaxTs) {
  return "{\"length\":" + std::to_string(aLength) + ",\"tracks\":[{\"codec\":\"H264\",\"width\":" +
         std::to_string(aWidth) + ",\"height\":" + std::to_string(aHeight) + ",\"interval\":[\"" + aMinTs + "\",\"" +
         aMaxTs + "\"]}]}";
}

// A multipart export body: the video part, then the JSON summary part.
inline std::string Fixture__Multipart(const std::string& aBoundary, const std::string& aVideo,
                                      const std::string& aSummary) {
  return "--" + aBoundary + "\r\nContent-Type: video/mp4\r\n\r\n" + aVideo + "\r\n--" + aBoundary +
         "\r\nContent-Type: application/json\r\n\r\n" + aSummary + "\r\n--" + aBoundary + "--\r\n";
}

// aBody in the chunked transfer coding, aChunkSize bytes a chunk, with the last chunk.
inline std::string Fixture__Chunked(const std::string& aBody, size_t aChunkSize) {
  std::string chunked;
  for (size_t at = 0; at < aBody.size(); at += aChunkSize) {
    const std::string chunk = aBody.substr(at, aChunkSize);
    char size[32];
    std::snprintf(size, sizeof(size), "%zx\r\n", chunk.size());
    chunked += size + chunk + "\r\n";
  }
  return chunked + "0\r\n\r\n";
}

// A deterministic stand-in for MP4 bytes, with CR LF and dashes in it so that a
// parser that cuts at the wrong place shows.
inline std::string Fixture__VideoBytes(size_t aSize) {
  std::string bytes(aSize, '\0');
  uint32_t state = 12345;
  for (size_t i = 0; i < aSize; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 24);
    if (i % 97 == 0) bytes[i] = '\r';
    if (i % 97 == 1) bytes[i] = '\n';
    if (i % 89 == 0) bytes[i] = '-';
  }
  return bytes;
}

// ---- Files ------------------------------------------------------------------

class scratch_dir {
 public:
  scratch_dir() {
    char pattern[] = "/tmp/tarn-storage-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& aName) const { return path_ + "/" + aName; }

 private:
  std::string path_;
};

inline bool Fixture__Exists(const std::string& aPath) { return std::filesystem::exists(aPath); }

inline std::string Fixture__Read(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How many descriptors of this process have aPath open.
inline size_t Fixture__OpenCount(const std::string& aPath) {
  size_t count = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target == aPath) ++count;
  }
  return count;
}

}}  // namespace Tarn::Testing
