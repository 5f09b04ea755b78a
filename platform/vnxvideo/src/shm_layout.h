// Layout of a vnxvideo shared-memory segment, shared by the library (the one
// writer) and the readers in other processes (vnx-shm-peek, tests).
//
//   [0, kHEADER_SIZE)            header: identity, state, the published frame
//   [arena_offset_, segment end) arena: sample memory, 64-byte aligned blocks
//
// The published frame is guarded by a sequence lock: the writer makes seq_ odd,
// rewrites the description, then makes it even again. A reader notes an even
// seq_, copies the description and the pixels it points at, and keeps the copy
// only when seq_ is unchanged afterwards. The writer keeps the published sample
// (and so its arena block) alive until it publishes the next one, so an
// unchanged seq_ also proves that the pixels were not overwritten mid-copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vnxshm {

constexpr char kMAGIC[8] = {'V', 'N', 'X', 'S', 'H', 'M', '0', '1'};
constexpr uint32_t kVERSION = 1;
constexpr uint64_t kHEADER_SIZE = 4096;
constexpr uint64_t kALIGN = 64;
constexpr int kMAX_DIMENSION = 16384;

// Segment state, written by the writer only.
enum : uint32_t {
  kSTATE_INIT = 0,    // being set up; nothing else is valid yet
  kSTATE_LIVE = 1,    // a writer process owns it
  kSTATE_CLOSED = 2,  // the writer let it go (or a new writer replaced it)
};

// Pixel formats, same numbers as the public ERawMediaFormat.
enum : uint32_t { kFMT_I420 = 1, kFMT_NV12 = 3, kFMT_GRAY = 14 };

// One published frame. plane_count_ 0 means "no frame" (none yet, or the
// server went away and its sample memory may be reused).
struct frame_desc {
  uint32_t format_;
  uint32_t width_;
  uint32_t height_;
  uint32_t plane_count_;
  int32_t strides_[3];
  uint32_t reserved_;
  uint64_t offsets_[3];  // from the start of the segment
  uint64_t timestamp_;
  uint64_t sequence_;  // 1 for the first frame published in this segment
};

struct header {
  char magic_[8];
  uint32_t version_;
  uint32_t header_size_;
  uint64_t segment_size_;
  uint64_t arena_offset_;
  uint64_t arena_size_;
  std::atomic<uint32_t> state_;
  int32_t writer_pid_;
  std::atomic<uint64_t> seq_;  // sequence lock over announced_* and frame_
  uint32_t announced_format_;  // last format announced by the server (0: none)
  uint32_t announced_width_;
  uint32_t announced_height_;
  uint32_t reserved_;
  frame_desc frame_;
};

static_assert(sizeof(header) <= kHEADER_SIZE, "header must fit its page");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "seqlock needs lock-free 64-bit atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "state needs lock-free 32-bit atomics");

// Plane geometry of a packed frame: rows and bytes per row of each plane.
// Returns the number of planes, 0 for an unknown format or a size the format
// cannot carry (4:2:0 needs even width and height).
inline int PlaneGeometry(uint32_t aFormat, int aWidth, int aHeight, int aRows[3], int aRowBytes[3]) {
  if (aWidth <= 0 || aHeight <= 0 || aWidth > kMAX_DIMENSION || aHeight > kMAX_DIMENSION) return 0;
  switch (aFormat) {
    case kFMT_GRAY:
      aRows[0] = aHeight, aRowBytes[0] = aWidth;
      return 1;
    case kFMT_I420:
      if (aWidth % 2 != 0 || aHeight % 2 != 0) return 0;
      aRows[0] = aHeight, aRowBytes[0] = aWidth;
      aRows[1] = aRows[2] = aHeight / 2;
      aRowBytes[1] = aRowBytes[2] = aWidth / 2;
      return 3;
    case kFMT_NV12:
      if (aWidth % 2 != 0 || aHeight % 2 != 0) return 0;
      aRows[0] = aHeight, aRowBytes[0] = aWidth;
      aRows[1] = aHeight / 2, aRowBytes[1] = aWidth;
      return 2;
    default:
      return 0;
  }
}

inline const char* FormatName(uint32_t aFormat) {
  switch (aFormat) {
    case kFMT_GRAY: return "GRAY8";
    case kFMT_I420: return "I420";
    case kFMT_NV12: return "NV12";
    default: return "unknown";
  }
}

// POSIX shared-memory object name of an endpoint: "/vnxvideo." followed by
// the endpoint with every byte outside [A-Za-z0-9._-] written as %XX, so any
// endpoint text maps to a distinct, valid name.
inline std::string SegmentName(const std::string& aEndpoint) {
  std::string name = "/vnxvideo.";
  for (unsigned char c : aEndpoint) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
        c == '-') {
      name += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      name += hex;
    }
  }
  return name;
}

// Longest endpoint name whose segment name still fits NAME_MAX.
constexpr size_t kMAX_SEGMENT_NAME = 250;

}  // namespace vnxshm
