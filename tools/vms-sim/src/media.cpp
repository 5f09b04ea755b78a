#include "media.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace Tarn::Tools::VmsSim {
namespace {

uint32_t _T_Be32(const std::string& aData, size_t aPos) {
  const auto* p = reinterpret_cast<const unsigned char*>(aData.data() + aPos);
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint64_t _T_Be64(const std::string& aData, size_t aPos) {
  return (uint64_t(_T_Be32(aData, aPos)) << 32) | _T_Be32(aData, aPos + 4);
}

// One ISO BMFF box inside [begin, end) of the file.
struct box_t {
  std::string type_;
  size_t body_ = 0;  // first byte after the box header
  size_t end_ = 0;   // one past the last byte of the box
};

// Lists the boxes that tile [aBegin, aEnd); false when one runs past aEnd.
bool _T_Boxes(const std::string& aData, size_t aBegin, size_t aEnd, std::vector<box_t>& aBoxes) {
  size_t pos = aBegin;
  while (pos < aEnd) {
    if (aEnd - pos < 8) return false;
    uint64_t size = _T_Be32(aData, pos);
    box_t box;
    box.type_ = aData.substr(pos + 4, 4);
    box.body_ = pos + 8;
    if (size == 1) {
      if (aEnd - pos < 16) return false;
      size = _T_Be64(aData, pos + 8);
      box.body_ = pos + 16;
    } else if (size == 0) {
      size = aEnd - pos;
    }
    if (size < box.body_ - pos || size > aEnd - pos) return false;
    box.end_ = pos + size;
    aBoxes.push_back(box);
    pos = box.end_;
  }
  return true;
}

const box_t* _T_Find(const std::vector<box_t>& aBoxes, const char* aType) {
  for (const auto& box : aBoxes)
    if (box.type_ == aType) return &box;
  return nullptr;
}

}  // namespace

bool Media__Inspect(media_info& aInfo, std::string& aError) {
  const std::string& data = aInfo.bytes_;
  std::vector<box_t> top;
  if (!_T_Boxes(data, 0, data.size(), top)) return aError = "box runs past the end of the file", false;
  const box_t* moov = _T_Find(top, "moov");
  if (!moov) return aError = "no moov box", false;
  std::vector<box_t> inMoov;
  if (!_T_Boxes(data, moov->body_, moov->end_, inMoov)) return aError = "broken moov box", false;

  if (const box_t* mvhd = _T_Find(inMoov, "mvhd")) {
    const size_t b = mvhd->body_;
    const bool v1 = b < mvhd->end_ && data[b] == 1;
    const size_t need = v1 ? 4 + 8 + 8 + 4 + 8 : 4 + 4 + 4 + 4 + 4;
    if (mvhd->end_ - b >= need) {
      const uint32_t timescale = _T_Be32(data, b + (v1 ? 20 : 12));
      const uint64_t duration = v1 ? _T_Be64(data, b + 24) : _T_Be32(data, b + 16);
      if (timescale) aInfo.duration_ms_ = duration * 1000 / timescale;
    }
  }

  for (const auto& trak : inMoov) {
    if (trak.type_ != "trak") continue;
    std::vector<box_t> inTrak, inMdia;
    if (!_T_Boxes(data, trak.body_, trak.end_, inTrak)) continue;
    const box_t* tkhd = _T_Find(inTrak, "tkhd");
    const box_t* mdia = _T_Find(inTrak, "mdia");
    if (!tkhd || !mdia || tkhd->end_ - tkhd->body_ < 8) continue;
    if (!_T_Boxes(data, mdia->body_, mdia->end_, inMdia)) continue;
    const box_t* hdlr = _T_Find(inMdia, "hdlr");
    if (!hdlr || hdlr->end_ - hdlr->body_ < 12 || data.compare(hdlr->body_ + 8, 4, "vide") != 0) continue;
    // tkhd ends with width and height as 16.16 fixed point numbers.
    aInfo.width_ = _T_Be32(data, tkhd->end_ - 8) >> 16;
    aInfo.height_ = _T_Be32(data, tkhd->end_ - 4) >> 16;
    if (aInfo.width_ == 0 || aInfo.height_ == 0) return aError = "video track without a picture size", false;
    return true;
  }
  return aError = "no video track", false;
}

const media_info& media_set::forInterval(uint64_t aMs) const {
  const uint64_t seconds = std::min<uint64_t>(kMaxSeconds, std::max<uint64_t>(1, aMs / 1000 + (aMs % 1000 != 0)));
  return bySeconds_[seconds];
}

std::string Media__Path(const std::string& aDir, unsigned aSeconds) {
  return aDir + "/recording-" + std::to_string(aSeconds) + "s.mp4";
}

bool Media__Make(const std::string& aPath, unsigned aSeconds, std::string& aError) {
  // A name of our own beside the target: two servers started at once may
  // both find the recording missing.
  const std::string temp = aPath + ".part" + std::to_string(::getpid());
  std::error_code ec;
  const auto dir = std::filesystem::path(aPath).parent_path();
  if (!dir.empty()) std::filesystem::create_directories(dir, ec);
  const std::string location = "location=" + temp;
  const std::string frames = "num-buffers=" + std::to_string(25 * aSeconds);
  // A moving test picture at 25 frames a second, a key frame every second.
  std::vector<std::string> args = {
      "gst-launch-1.0", "-q", "videotestsrc", frames, "pattern=ball", "!",
      "video/x-raw,width=640,height=360,framerate=25/1", "!",
      "x264enc", "speed-preset=ultrafast", "key-int-max=25", "!",
      "mp4mux", "!", "filesink", location};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (rc != 0) return aError = std::string("cannot run gst-launch-1.0: ") + std::strerror(rc), false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return aError = std::string("waitpid: ") + std::strerror(errno), false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::remove(temp.c_str());
    return aError = "gst-launch-1.0 failed to encode " + aPath, false;
  }
  if (std::rename(temp.c_str(), aPath.c_str()) != 0)
    return aError = "cannot rename " + temp + ": " + std::strerror(errno), false;
  return true;
}

bool Media__MakeAll(const std::string& aDir, std::string& aError) {
  for (unsigned s = 1; s <= kMaxSeconds; ++s)
    if (!Media__Make(Media__Path(aDir, s), s, aError)) return false;
  return true;
}

bool Media__Load(media_set& aSet, const std::string& aDir, std::string& aError) {
  for (unsigned s = 1; s <= kMaxSeconds; ++s) {
    const std::string path = Media__Path(aDir, s);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && !Media__Make(path, s, aError)) return false;
    media_info& info = aSet.bySeconds_[s];
    std::ifstream in(path, std::ios::binary);
    if (!in) return aError = "cannot open " + path, false;
    std::ostringstream all;
    all << in.rdbuf();
    info.bytes_ = all.str();
    if (!Media__Inspect(info, aError)) return aError = path + ": " + aError, false;
  }
  return true;
}

}  // namespace Tarn::Tools::VmsSim
