// The simulated VMS (tools/vms-sim) as a child process of a test, plus what the
// pool tests need around it: the recordings it serves, a port where nobody
// listens, a scratch directory, and the process's own descriptors and heap.
//
// The simulator is found through VMS_SIM (and its recordings through
// VMS_SIM_MEDIA), or else next to the test in the build tree: <build>/bin/vms-sim
// and <build>/share/vms-sim, as the test runs from <build>/tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>

extern char** environ;

namespace Tarn { namespace Testing {

inline std::string _T_BuildDir() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : exe.parent_path().parent_path().string();
}

inline std::string Sim__Program() {
  const char* path = std::getenv("VMS_SIM");
  return path != nullptr && path[0] != '\0' ? path : _T_BuildDir() + "/bin/vms-sim";
}

inline std::string Sim__MediaDir() {
  const char* path = std::getenv("VMS_SIM_MEDIA");
  return path != nullptr && path[0] != '\0' ? path : _T_BuildDir() + "/share/vms-sim";
}

inline std::string Sim__ReadFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The recording the simulator sends as the video part for an interval of
// aSeconds whole seconds (1 to 10).
inline std::string Sim__Recording(int aSeconds) {
  return Sim__ReadFile(Sim__MediaDir() + "/recording-" + std::to_string(aSeconds) + "s.mp4");
}

// One simulator process for the lifetime of the object. It exits when its
// stdin closes, so a test that dies leaves no server behind.
class vms_sim {
 public:
  vms_sim() {
    const std::string program = Sim__Program();
    if (::access(program.c_str(), X_OK) != 0) throw std::runtime_error("no simulated VMS at " + program);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string media = Sim__MediaDir();
    const char* argv[] = {program.c_str(), "--port", "0", "--quiet", "--exit-on-stdin-eof",
                          "--media", media.c_str(), nullptr};
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
      ::close(in[1]);
      ::close(out[0]);
      throw std::runtime_error("posix_spawn " + program);
    }
    stdin_ = in[1];
    // The first line on stdout is the port, printed once the server listens.
    std::string line;
    char c = 0;
    while (line.size() < 16 && ::read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    ::close(out[0]);
    port_ = static_cast<unsigned short>(std::atoi(line.c_str()));
    if (port_ == 0) {
      stop();
      throw std::runtime_error("the simulated VMS printed no port");
    }
  }
  ~vms_sim() { stop(); }
  vms_sim(const vms_sim&) = delete;
  vms_sim& operator=(const vms_sim&) = delete;

  unsigned short port() const { return port_; }
  std::string url(const std::string& aStreamPath) const {
    return "http://127.0.0.1:" + std::to_string(port_) + aStreamPath;
  }

  // The body of GET /sim/stats (exports, active, max_active, request heads).
  std::string stats() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      const std::string request = "GET /sim/stats HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        // Content-Length framed; read until the whole body is there.
        char buffer[65536];
        for (;;) {
          const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
          if (n <= 0) break;
          reply.append(buffer, static_cast<size_t>(n));
          const size_t headEnd = reply.find("\r\n\r\n");
          const size_t lengthAt = reply.find("Content-Length: ");
          if (headEnd != std::string::npos && lengthAt != std::string::npos && lengthAt < headEnd &&
              reply.size() >= headEnd + 4 + std::strtoull(reply.c_str() + lengthAt + 16, nullptr, 10)) {
            break;
          }
        }
      }
    }
    ::close(fd);
    const size_t headEnd = reply.find("\r\n\r\n");
    return headEnd == std::string::npos ? std::string() : reply.substr(headEnd + 4);
  }

  // One number of the stats ("exports", "active", "max_active"); -1 when absent.
  long statsNumber(const std::string& aName) const {
    const std::string text = stats();
    const size_t at = text.find("\"" + aName + "\": ");
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + aName.size() + 4, nullptr, 10);
  }

  // How many request targets the server has seen that begin with aPrefix.
  size_t requestsStartingWith(const std::string& aPrefix) const {
    const std::string text = stats();
    const std::string needle = "{\"target\": \"" + aPrefix;
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
  }

 private:
  void stop() {
    if (stdin_ >= 0) {
      ::close(stdin_);
      stdin_ = -1;
    }
    if (pid_ <= 0) return;
    for (int i = 0; i < 1000; ++i) {  // at most 10 s
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  unsigned short port_ = 0;
};

// A loopback port that is bound but never listens: a connect to it is refused,
// and no other socket can take it while the object lives.
class closed_port {
 public:
  closed_port() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (fd_ >= 0) ::close(fd_);
      throw std::runtime_error("closed_port");
    }
    port_ = ntohs(address.sin_port);
  }
  ~closed_port() { ::close(fd_); }
  closed_port(const closed_port&) = delete;
  closed_port& operator=(const closed_port&) = delete;
  unsigned short port() const { return port_; }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

class sim_scratch_dir {
 public:
  sim_scratch_dir() {
    char pattern[] = "/tmp/tarn-pool-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~sim_scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& aName) const { return path_ + "/" + aName; }
  // Removes every file in the directory (between rounds of many requests).
  void empty() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
      std::filesystem::remove(entry.path(), ignored);
    }
  }

 private:
  std::string path_;
};

// What the process holds: open descriptors, heap bytes in use (all arenas,
// mmapped blocks included) and resident memory.
struct process_usage {
  size_t fds_ = 0;
  size_t heap_ = 0;
  size_t rss_ = 0;
};

inline process_usage Process__Usage() {
  process_usage usage;
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ignored);
       it != std::filesystem::directory_iterator(); it.increment(ignored)) {
    ++usage.fds_;
  }
  if (usage.fds_ > 0) --usage.fds_;  // the directory iterator's own descriptor
  const struct mallinfo2 info = ::mallinfo2();
  usage.heap_ = info.uordblks + info.hblkhd;
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  usage.rss_ = resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return usage;
}

}}  // namespace Tarn::Testing
