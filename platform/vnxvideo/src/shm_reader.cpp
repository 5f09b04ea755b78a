#include "shm_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vnxshm {
namespace {

bool _T_EndsWith(const std::string& aText, const char* aSuffix) {
  const size_t n = std::strlen(aSuffix);
  return aText.size() >= n && aText.compare(aText.size() - n, n, aSuffix) == 0;
}

uint8_t _T_Clamp(int aValue) { return static_cast<uint8_t>(std::min(255, std::max(0, aValue))); }

}  // namespace

const uint8_t* frame::Plane(int aIndex, int* aRows, int* aRowBytes) const {
  int rows[3] = {0, 0, 0}, rowBytes[3] = {0, 0, 0};
  const int planes = PlaneGeometry(desc_.format_, static_cast<int>(desc_.width_), static_cast<int>(desc_.height_),
                                   rows, rowBytes);
  if (aIndex < 0 || aIndex >= planes) return nullptr;
  size_t offset = 0;
  for (int i = 0; i < aIndex; ++i) offset += static_cast<size_t>(rows[i]) * static_cast<size_t>(rowBytes[i]);
  if (aRows != nullptr) *aRows = rows[aIndex];
  if (aRowBytes != nullptr) *aRowBytes = rowBytes[aIndex];
  return pixels_.data() + offset;
}

std::unique_ptr<reader> reader::Attach(const std::string& aEndpoint, std::string& aError) {
  const std::string shmName = SegmentName(aEndpoint);
  int fd = shm_open(shmName.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    aError = "shm_open " + shmName + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < kHEADER_SIZE) {
    aError = "segment " + shmName + " is not set up (yet)";
    close(fd);
    return nullptr;
  }
  void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    aError = "mmap " + shmName + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<reader> r(new reader());
  r->shm_name_ = shmName;
  r->base_ = static_cast<const uint8_t*>(map);
  r->size_ = static_cast<uint64_t>(st.st_size);
  r->inode_ = st.st_ino;
  r->device_ = st.st_dev;
  const header* hdr = r->Header();
  if (hdr->state_.load(std::memory_order_acquire) == kSTATE_INIT) {
    aError = "segment " + shmName + " is not set up (yet)";
    return nullptr;
  }
  if (std::memcmp(hdr->magic_, kMAGIC, sizeof kMAGIC) != 0 || hdr->version_ != kVERSION ||
      hdr->segment_size_ != r->size_ || hdr->arena_offset_ < kHEADER_SIZE || hdr->arena_offset_ > r->size_) {
    aError = "segment " + shmName + " has an unknown layout";
    return nullptr;
  }
  return r;
}

reader::~reader() {
  if (base_ != nullptr) munmap(const_cast<uint8_t*>(base_), static_cast<size_t>(size_));
}

bool reader::Begin(uint64_t& aSeq) const {
  aSeq = Header()->seq_.load(std::memory_order_acquire);
  return (aSeq & 1) == 0;
}

bool reader::Validate(uint64_t aSeq) const {
  std::atomic_thread_fence(std::memory_order_acquire);
  return Header()->seq_.load(std::memory_order_relaxed) == aSeq;
}

bool reader::Closed() const { return Header()->state_.load(std::memory_order_acquire) != kSTATE_LIVE; }

bool reader::Replaced() const {
  int fd = shm_open(shm_name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return true;
  struct stat st {};
  const bool same = fstat(fd, &st) == 0 && st.st_ino == inode_ && st.st_dev == device_;
  close(fd);
  return !same;
}

pid_t reader::WriterPid() const { return static_cast<pid_t>(Header()->writer_pid_); }

reader::result reader::ReadNewest(uint64_t aAfterSequence, frame& aFrame) {
  if (Closed()) return kCLOSED;
  uint64_t seq = 0;
  if (!Begin(seq)) return kTORN;
  frame_desc desc;
  std::memcpy(&desc, &Header()->frame_, sizeof desc);
  if (desc.plane_count_ == 0 || desc.sequence_ <= aAfterSequence) return Validate(seq) ? kNO_NEW_FRAME : kTORN;

  // The description comes from another process: check that every plane lies
  // inside the arena before touching it.
  int rows[3] = {0, 0, 0}, rowBytes[3] = {0, 0, 0};
  const int planes =
      PlaneGeometry(desc.format_, static_cast<int>(desc.width_), static_cast<int>(desc.height_), rows, rowBytes);
  bool sane = planes != 0 && static_cast<uint32_t>(planes) == desc.plane_count_;
  size_t total = 0;
  for (int i = 0; sane && i < planes; ++i) {
    const uint64_t stride = static_cast<uint64_t>(desc.strides_[i]);
    const uint64_t span = static_cast<uint64_t>(rows[i] - 1) * stride + static_cast<uint64_t>(rowBytes[i]);
    sane = desc.strides_[i] >= rowBytes[i] && desc.offsets_[i] >= Header()->arena_offset_ &&
           desc.offsets_[i] <= size_ && span <= size_ - desc.offsets_[i];
    total += static_cast<size_t>(rows[i]) * static_cast<size_t>(rowBytes[i]);
  }
  if (!sane) return Validate(seq) ? kBAD : kTORN;

  aFrame.pixels_.resize(total);
  uint8_t* to = aFrame.pixels_.data();
  for (int i = 0; i < planes; ++i) {
    const uint8_t* from = base_ + desc.offsets_[i];
    for (int r = 0; r < rows[i]; ++r) {
      std::memcpy(to, from, static_cast<size_t>(rowBytes[i]));
      to += rowBytes[i];
      from += desc.strides_[i];
    }
  }
  if (!Validate(seq)) return kTORN;
  aFrame.desc_ = desc;
  return kFRAME;
}

bool WritePicture(const std::string& aPath, const frame& aFrame, std::string& aError) {
  const frame_desc& d = aFrame.desc_;
  const int w = static_cast<int>(d.width_), h = static_cast<int>(d.height_);
  const uint8_t* y = aFrame.Plane(0);
  if (y == nullptr) {
    aError = "no frame to save";
    return false;
  }
  const bool gray = d.format_ == kFMT_GRAY || _T_EndsWith(aPath, ".pgm");
  std::vector<uint8_t> out;
  if (gray) {
    out.assign(y, y + static_cast<size_t>(w) * static_cast<size_t>(h));
  } else {
    out.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    const uint8_t* u = aFrame.Plane(1);
    const uint8_t* v = d.format_ == kFMT_I420 ? aFrame.Plane(2) : nullptr;
    for (int row = 0; row < h; ++row) {
      for (int col = 0; col < w; ++col) {
        int cb, cr;
        if (d.format_ == kFMT_I420) {
          const size_t at = static_cast<size_t>(row / 2) * static_cast<size_t>(w / 2) + static_cast<size_t>(col / 2);
          cb = u[at], cr = v[at];
        } else {  // NV12: interleaved U, V
          const size_t at = static_cast<size_t>(row / 2) * static_cast<size_t>(w) + static_cast<size_t>(col / 2) * 2;
          cb = u[at], cr = u[at + 1];
        }
        const int c = (y[static_cast<size_t>(row) * w + col] - 16) * 298;
        const int e = cb - 128, f = cr - 128;
        uint8_t* px = &out[(static_cast<size_t>(row) * w + col) * 3];
        px[0] = _T_Clamp((c + 409 * f + 128) >> 8);
        px[1] = _T_Clamp((c - 100 * e - 208 * f + 128) >> 8);
        px[2] = _T_Clamp((c + 516 * e + 128) >> 8);
      }
    }
  }
  const std::string aside = aPath + ".part";
  FILE* file = std::fopen(aside.c_str(), "wb");
  if (file == nullptr) {
    aError = "open " + aside + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fprintf(file, "%s\n%d %d\n255\n", gray ? "P5" : "P6", w, h) > 0 &&
            std::fwrite(out.data(), 1, out.size(), file) == out.size();
  ok = (std::fclose(file) == 0) && ok;
  if (!ok || std::rename(aside.c_str(), aPath.c_str()) != 0) {
    aError = "write " + aPath + ": " + std::strerror(errno);
    std::remove(aside.c_str());
    return false;
  }
  return true;
}

}  // namespace vnxshm
