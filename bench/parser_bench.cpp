// The multipart export parser against the plain write of the same bytes.
//
// One body of about 256 MiB (a video part of pseudo-random bytes, as dense in
// CR and '-' as compressed video is, then the JSON summary and the closing
// delimiter) is fed to the parser in 16 KiB pieces, the parser writing the
// video part into a file on disk. The anchor writes the same video bytes to
// the same file with write(2), in the same 16 KiB pieces: the parser's floor,
// since it must write (and flush) every run of video bytes as it goes.
//
// The file lives in $TARN_BENCH_DIR (a directory on the real disk; the
// current directory when unset) and is removed at the end.
#include <tarn/support/viinex/internal/http-response.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace Tarn::Support::Viinex;

constexpr size_t kVideoBytes = 256u << 20;
constexpr size_t kPiece = 16 * 1024;
const char kBoundary[] = "tarn-bench-5f3a9c1e";

std::string _T_Dir() {
  const char* dir = std::getenv("TARN_BENCH_DIR");
  return dir && *dir ? dir : ".";
}

const std::string& _T_Path() {
  static const std::string path = _T_Dir() + "/parser-bench-" + std::to_string(getpid()) + ".mp4";
  return path;
}

struct body_t {
  std::string text_;
  size_t video_at_ = 0;  // where the video part's content starts
};

const body_t& _T_Body() {
  static const body_t body = [] {
    body_t b;
    const std::string delimiter = std::string("--") + kBoundary;
    b.text_ = delimiter + "\r\nContent-Type: video/mp4\r\n\r\n";
    b.video_at_ = b.text_.size();
    b.text_.resize(b.video_at_ + kVideoBytes);
    uint64_t x = 0x9E3779B97F4A7C15ull;  // xorshift64: incompressible, every byte value
    for (size_t i = b.video_at_; i + 8 <= b.text_.size(); i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      for (int k = 0; k < 8; ++k) b.text_[i + k] = char(x >> (8 * k));
    }
    b.text_ += "\r\n" + delimiter + "\r\nContent-Type: application/json\r\n\r\n";
    b.text_ +=
        "{\"length\": 268435456, \"tracks\": [{\"codec\": \"H264\", \"width\": 1920, \"height\": 1080,"
        " \"interval\": [\"2026-12-11T10:00:00.000Z\", \"2026-12-11T10:00:10.000Z\"]}]}";
    b.text_ += "\r\n" + delimiter + "--\r\n";
    return b;
  }();
  return body;
}

void BM_Parser(benchmark::State& aState) {
  const body_t& body = _T_Body();
  const std::string contentType = std::string("multipart/mixed; boundary=") + kBoundary;
  for (auto _ : aState) {
    auto parser = Internal::ResponseBodyParser__CreateVideo(_T_Path());
    parser->setBoundary(contentType);
    for (size_t at = 0; at < body.text_.size(); at += kPiece) {
      const size_t n = std::min(kPiece, body.text_.size() - at);
      parser->handleChunkData(body.text_.data() + at, n);
    }
    video_info info;
    if (!parser->getVideoInfo(info) || info.width_ != 1920) {
      aState.SkipWithError("the parser did not complete the body");
      break;
    }
    parser.reset();  // closes the file, as the exchange does before it reports
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(body.text_.size()));
}

// aFirst: size of the first write; the others are kPiece bytes.
void _T_PlainWrite(benchmark::State& aState, size_t aFirst) {
  const body_t& body = _T_Body();
  const char* video = body.text_.data() + body.video_at_;
  for (auto _ : aState) {
    const int fd = ::open(_T_Path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      aState.SkipWithError("cannot open the file");
      break;
    }
    bool ok = true;
    for (size_t at = 0, n = aFirst; at < kVideoBytes && ok; at += n, n = kPiece) {
      n = std::min(n, kVideoBytes - at);
      ok = ::write(fd, video + at, n) == ssize_t(n);
    }
    ::close(fd);
    if (!ok) {
      aState.SkipWithError("write failed");
      break;
    }
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(body.text_.size()));
}

// The anchor: the video bytes in 16 KiB writes from the start of the file.
void BM_PlainWrite(benchmark::State& aState) { _T_PlainWrite(aState, kPiece); }

// The same bytes cut where the parser cuts them: its first write ends where
// the first piece of the body ends, so every later write starts mid-page,
// which costs the kernel more than page-aligned writes. This is the floor
// for one write per piece.
void BM_PlainWriteParserCuts(benchmark::State& aState) { _T_PlainWrite(aState, kPiece - _T_Body().video_at_); }

// Every side is charged the whole body, so the throughput ratio is the ratio
// of their times.
BENCHMARK(BM_Parser)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PlainWriteParserCuts)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  _T_Body();  // built once, outside every measurement
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ::unlink(_T_Path().c_str());
  return 0;
}
