// Objects behind the public handles of the vnxvideo stand-in.
#pragma once

#include <vnxvideo/vnxvideo.h>

#include "shm_layout.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vnxvideo_impl {

// One line of the library's own log, delivered to the function given to
// vnxvideo_init when aLevel is within its limit. Any thread.
void Log(ELogLevel aLevel, const char* aSubsystem, const char* aFmt, ...) __attribute__((format(printf, 3, 4)));

// A writable, mapped shared-memory segment. Reference-counted: allocator
// handles, samples in its arena and servers each hold one reference. The
// process keeps one object per name, so every opener shares the arena.
struct segment {
  std::string endpoint_;
  std::string shm_name_;
  int fd_ = -1;  // holds the writer lock (flock) while open
  uint8_t* base_ = nullptr;
  uint64_t size_ = 0;
  std::atomic<int> refs_{0};
  std::atomic<bool> has_server_{false};  // one server per segment

  std::mutex arena_mutex_;
  std::map<uint64_t, uint64_t> blocks_;  // live blocks: offset -> size, taken first fit

  vnxshm::header* Header() const { return reinterpret_cast<vnxshm::header*>(base_); }
};

// Opens (creating or replacing a stale one) or finds the segment of an
// endpoint; the result carries one new reference.
int Segment__Acquire(const char* aEndpoint, int aMaxSizeMb, segment*& aSegment);
void Segment__AddRef(segment* aSegment);
void Segment__Release(segment* aSegment);
// A block of aSize bytes in the arena, or false when there is no room.
bool Segment__Alloc(segment* aSegment, uint64_t aSize, uint64_t& aOffset);
void Segment__Free(segment* aSegment, uint64_t aOffset);

// Segment made current on this thread by vnxvideo_with_shm_allocator_*, or null.
segment* Current__Get();

struct sample {
  std::atomic<int> refs_{1};
  int format_ = 0;
  int width_ = 0;
  int height_ = 0;
  int plane_count_ = 0;
  int strides_[3] = {0, 0, 0};
  uint8_t* planes_[3] = {nullptr, nullptr, nullptr};
  segment* segment_ = nullptr;  // set when the pixels live in a segment's arena
  uint64_t offset_ = 0;         // of the arena block
  std::unique_ptr<uint8_t[]> heap_;  // private memory of an allocated sample
};

void Sample__AddRef(sample* aSample);
void Sample__Release(sample* aSample);
// A packed sample of the format in aSegment (null: private memory).
int Sample__Allocate(segment* aSegment, int aFormat, int aWidth, int aHeight, sample*& aSample);
// Copies the pixels of aSource into aTarget (same format and size).
void Sample__CopyPixels(const sample& aSource, sample& aTarget);

}  // namespace vnxvideo_impl
