// vnx-shm-peek: reads the frames a vnxvideo local server publishes under an
// endpoint name, from another process, without disturbing the writer.
#include "shm_reader.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

const char* const kUSAGE =
    "usage: vnx-shm-peek [options] ENDPOINT\n"
    "\n"
    "Attaches read-only to the shared memory of the vnxvideo endpoint ENDPOINT\n"
    "and prints one line per new frame: sequence, format, size, timestamp.\n"
    "Frames published faster than it reads are skipped; it always takes the\n"
    "newest one, and retries a read the writer overtook.\n"
    "\n"
    "options:\n"
    "  --frames N    stop after N frames (default: no limit)\n"
    "  --seconds S   stop after S seconds (default 10; 0: no limit)\n"
    "  --wait S      wait up to S seconds for the endpoint to appear (default 10)\n"
    "  --save PATH   at the end, save the newest frame as a picture: PGM for\n"
    "                gray frames or when PATH ends in .pgm (luma only), else\n"
    "                PPM (YUV converted to RGB)\n"
    "  --quiet       no line per frame, only the summary\n"
    "\n"
    "It also stops when the writer closes the endpoint, or on SIGINT/SIGTERM.\n"
    "Exit status: 0 when at least one frame was read, 1 on an error (bad\n"
    "arguments, endpoint not found, picture not written), 3 when no frame came.\n";

volatile std::sig_atomic_t _s_stop = 0;

void _T_OnSignal(int) { _s_stop = 1; }

bool _T_ParseNumber(const char* aText, double& aValue) {
  char* end = nullptr;
  aValue = std::strtod(aText, &end);
  return end != aText && *end == '\0' && aValue >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  double frames = 0, seconds = 10, wait = 10;
  std::string save, endpoint;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](double& aValue) {
      if (i + 1 >= argc || !_T_ParseNumber(argv[i + 1], aValue)) {
        std::fprintf(stderr, "vnx-shm-peek: %s needs a number >= 0\n", arg.c_str());
        std::exit(1);
      }
      ++i;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUSAGE, stdout);
      return 0;
    } else if (arg == "--frames") {
      number(frames);
    } else if (arg == "--seconds") {
      number(seconds);
    } else if (arg == "--wait") {
      number(wait);
    } else if (arg == "--save" && i + 1 < argc) {
      save = argv[++i];
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (!arg.empty() && arg[0] != '-' && endpoint.empty()) {
      endpoint = arg;
    } else {
      std::fprintf(stderr, "vnx-shm-peek: unexpected argument <%s>\n\n%s", arg.c_str(), kUSAGE);
      return 1;
    }
  }
  if (endpoint.empty()) {
    std::fputs(kUSAGE, stderr);
    return 1;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGINT, _T_OnSignal);
  std::signal(SIGTERM, _T_OnSignal);

  using clock = std::chrono::steady_clock;
  const auto started = clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(clock::now() - started).count(); };

  // Wait for the writer to set the endpoint up.
  std::string error;
  std::unique_ptr<vnxshm::reader> r;
  while (!(r = vnxshm::reader::Attach(endpoint, error))) {
    if (_s_stop || elapsed() >= wait) {
      std::fprintf(stderr, "vnx-shm-peek: endpoint <%s> not found: %s\n", endpoint.c_str(), error.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("attached to <%s> (%s, %llu MB, writer pid %d)\n", endpoint.c_str(),
              vnxshm::SegmentName(endpoint).c_str(), static_cast<unsigned long long>(r->Size() >> 20),
              static_cast<int>(r->WriterPid()));

  const auto reading = clock::now();
  uint64_t count = 0, torn = 0, bad = 0, last = 0;
  vnxshm::frame newest, scratch;
  const char* why = "time limit";
  while (true) {
    if (_s_stop) {
      why = "signal";
      break;
    }
    if (frames > 0 && count >= frames) {
      why = "frame limit";
      break;
    }
    if (seconds > 0 && std::chrono::duration<double>(clock::now() - reading).count() >= seconds) break;
    switch (r->ReadNewest(last, scratch)) {
      case vnxshm::reader::kFRAME: {
        const vnxshm::frame_desc& d = scratch.desc_;
        ++count;
        last = d.sequence_;
        if (!quiet)
          std::printf("frame seq=%llu format=%s size=%ux%u ts=%llu\n", static_cast<unsigned long long>(d.sequence_),
                      vnxshm::FormatName(d.format_), d.width_, d.height_,
                      static_cast<unsigned long long>(d.timestamp_));
        std::swap(newest, scratch);
        continue;
      }
      case vnxshm::reader::kTORN:
        ++torn;  // the writer overtook the copy: take the newer frame at once
        continue;
      case vnxshm::reader::kBAD:
        if (++bad == 1) std::fprintf(stderr, "vnx-shm-peek: the published frame description is inconsistent\n");
        break;
      case vnxshm::reader::kCLOSED:
        why = "writer closed the endpoint";
        break;
      case vnxshm::reader::kNO_NEW_FRAME:
        break;
    }
    if (r->Closed()) {
      why = "writer closed the endpoint";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::printf("frames read: %llu (torn reads retried: %llu; stopped: %s)\n", static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(torn), why);
  if (!save.empty()) {
    if (count == 0) {
      std::fprintf(stderr, "vnx-shm-peek: no frame to save\n");
    } else if (!vnxshm::WritePicture(save, newest, error)) {
      std::fprintf(stderr, "vnx-shm-peek: %s\n", error.c_str());
      return 1;
    } else {
      std::printf("saved frame %llu (%s %ux%u) to %s\n", static_cast<unsigned long long>(newest.desc_.sequence_),
                  vnxshm::FormatName(newest.desc_.format_), newest.desc_.width_, newest.desc_.height_, save.c_str());
    }
  }
  return count > 0 ? 0 : 3;
}
