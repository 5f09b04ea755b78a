// Named shared-memory segments and the allocators over them.
//
// A segment is a POSIX shared-memory object. Its writer process holds an
// exclusive flock on it for as long as it is open; the kernel drops that lock
// when the writer dies, which is how a stale segment is told from a live one.
// A stale segment is marked closed (for readers still attached) and replaced
// by a fresh object under the same name. The last reference in the writer
// process marks the segment closed and unlinks it.
#include "vnxvideo_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vnxvideo_impl {
namespace {

constexpr int kDEFAULT_SIZE_MB = 16;
constexpr int kMAX_SIZE_MB = 4096;
constexpr const char* kSUBSYSTEM = "shm";

std::mutex _s_registryMutex;
std::map<std::string, segment*>& _T_Registry() {
  static auto* registry = new std::map<std::string, segment*>();
  return *registry;
}

thread_local std::vector<segment*> _t_current;

// Marks an abandoned segment closed so that readers still attached to it
// stop waiting for frames, then removes its name.
void _T_RetireStale(int aFd, const std::string& aShmName, uint64_t aSize) {
  int stalePid = 0;
  if (aSize >= vnxshm::kHEADER_SIZE) {
    void* map = mmap(nullptr, vnxshm::kHEADER_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, aFd, 0);
    if (map != MAP_FAILED) {
      auto* hdr = static_cast<vnxshm::header*>(map);
      if (std::memcmp(hdr->magic_, vnxshm::kMAGIC, sizeof vnxshm::kMAGIC) == 0) stalePid = hdr->writer_pid_;
      hdr->state_.store(vnxshm::kSTATE_CLOSED, std::memory_order_release);
      munmap(map, vnxshm::kHEADER_SIZE);
    }
  }
  shm_unlink(aShmName.c_str());
  Log(VNXLOG_WARNING, kSUBSYSTEM, "replacing stale segment <%s> (size:%llu, writer-pid:%d)", aShmName.c_str(),
      static_cast<unsigned long long>(aSize), stalePid);
}

// Opens the object under aShmName as its one writer: fresh, or replacing a
// stale one. Returns the locked descriptor or -1 after logging.
int _T_OpenAsWriter(const std::string& aShmName) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = shm_open(aShmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: shm_open <%s> (%s)", aShmName.c_str(), std::strerror(errno));
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int pid = 0;
      struct stat st {};
      if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= vnxshm::kHEADER_SIZE) {
        void* map = mmap(nullptr, vnxshm::kHEADER_SIZE, PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
          pid = static_cast<const vnxshm::header*>(map)->writer_pid_;
          munmap(map, vnxshm::kHEADER_SIZE);
        }
      }
      Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: segment <%s> is held by another writer (writer-pid:%d)",
          aShmName.c_str(), pid);
      close(fd);
      return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: fstat <%s> (%s)", aShmName.c_str(), std::strerror(errno));
      close(fd);
      return -1;
    }
    if (st.st_size == 0) return fd;  // ours, fresh
    // Someone left it behind and no longer holds it: replace it, so readers
    // attached to the old object see it close and never a resized mapping.
    _T_RetireStale(fd, aShmName, static_cast<uint64_t>(st.st_size));
    close(fd);
  }
  Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: segment <%s> keeps being recreated by another process", aShmName.c_str());
  return -1;
}

int _T_Create(const std::string& aEndpoint, int aMaxSizeMb, segment*& aSegment) {
  const std::string shmName = vnxshm::SegmentName(aEndpoint);
  const uint64_t size = static_cast<uint64_t>(aMaxSizeMb == 0 ? kDEFAULT_SIZE_MB : aMaxSizeMb) << 20;
  int fd = _T_OpenAsWriter(shmName);
  if (fd < 0) return vnxvideo_err_external_api;
  // Reserve the memory now: a full /dev/shm then fails here with an error
  // instead of a SIGBUS at the first frame.
  int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (rc != 0) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: posix_fallocate <%s> (size:%llu, %s)", shmName.c_str(),
        static_cast<unsigned long long>(size), std::strerror(rc));
    shm_unlink(shmName.c_str());
    close(fd);
    return vnxvideo_err_external_api;
  }
  // Pre-fault every page once, so the frame path never takes a page fault.
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (map == MAP_FAILED) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: mmap <%s> (size:%llu, %s)", shmName.c_str(),
        static_cast<unsigned long long>(size), std::strerror(errno));
    shm_unlink(shmName.c_str());
    close(fd);
    return vnxvideo_err_external_api;
  }

  auto* seg = new segment();
  seg->endpoint_ = aEndpoint;
  seg->shm_name_ = shmName;
  seg->fd_ = fd;
  seg->base_ = static_cast<uint8_t*>(map);
  seg->size_ = size;

  auto* hdr = new (map) vnxshm::header();
  hdr->state_.store(vnxshm::kSTATE_INIT, std::memory_order_relaxed);
  hdr->version_ = vnxshm::kVERSION;
  hdr->header_size_ = static_cast<uint32_t>(vnxshm::kHEADER_SIZE);
  hdr->segment_size_ = size;
  hdr->arena_offset_ = vnxshm::kHEADER_SIZE;
  hdr->arena_size_ = size - vnxshm::kHEADER_SIZE;
  hdr->writer_pid_ = static_cast<int32_t>(getpid());
  hdr->seq_.store(0, std::memory_order_relaxed);
  std::memcpy(hdr->magic_, vnxshm::kMAGIC, sizeof vnxshm::kMAGIC);
  hdr->state_.store(vnxshm::kSTATE_LIVE, std::memory_order_release);

  Log(VNXLOG_INFO, kSUBSYSTEM, "segment <%s> created (size-mb:%d)", shmName.c_str(),
      static_cast<int>(size >> 20));
  aSegment = seg;
  return vnxvideo_err_ok;
}

void _T_Destroy(segment* aSegment) {
  aSegment->Header()->state_.store(vnxshm::kSTATE_CLOSED, std::memory_order_release);
  // Still holding the writer lock, so the name is still ours to remove.
  shm_unlink(aSegment->shm_name_.c_str());
  munmap(aSegment->base_, aSegment->size_);
  close(aSegment->fd_);
  Log(VNXLOG_INFO, kSUBSYSTEM, "segment <%s> closed", aSegment->shm_name_.c_str());
  delete aSegment;
}

}  // namespace

int Segment__Acquire(const char* aEndpoint, int aMaxSizeMb, segment*& aSegment) {
  if (aEndpoint == nullptr || *aEndpoint == '\0') {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: empty segment name");
    return vnxvideo_err_invalid_parameter;
  }
  if (vnxshm::SegmentName(aEndpoint).size() > vnxshm::kMAX_SEGMENT_NAME) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: segment name too long <%s>", aEndpoint);
    return vnxvideo_err_invalid_parameter;
  }
  if (aMaxSizeMb < 0 || aMaxSizeMb > kMAX_SIZE_MB) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: segment size out of range (name:<%s>, size-mb:%d)", aEndpoint, aMaxSizeMb);
    return vnxvideo_err_invalid_parameter;
  }
  std::lock_guard<std::mutex> lock(_s_registryMutex);
  auto& registry = _T_Registry();
  auto found = registry.find(aEndpoint);
  if (found != registry.end()) {
    found->second->refs_.fetch_add(1, std::memory_order_relaxed);
    if (aMaxSizeMb != 0 && static_cast<uint64_t>(aMaxSizeMb) << 20 != found->second->size_)
      Log(VNXLOG_DEBUG, kSUBSYSTEM, "segment <%s> already open with size-mb:%d (asked:%d)",
          found->second->shm_name_.c_str(), static_cast<int>(found->second->size_ >> 20), aMaxSizeMb);
    aSegment = found->second;
    return vnxvideo_err_ok;
  }
  segment* seg = nullptr;
  int rc = _T_Create(aEndpoint, aMaxSizeMb, seg);
  if (rc != vnxvideo_err_ok) return rc;
  seg->refs_.store(1, std::memory_order_relaxed);
  registry.emplace(aEndpoint, seg);
  aSegment = seg;
  return vnxvideo_err_ok;
}

void Segment__AddRef(segment* aSegment) { aSegment->refs_.fetch_add(1, std::memory_order_relaxed); }

void Segment__Release(segment* aSegment) {
  std::lock_guard<std::mutex> lock(_s_registryMutex);
  if (aSegment->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  _T_Registry().erase(aSegment->endpoint_);
  _T_Destroy(aSegment);
}

bool Segment__Alloc(segment* aSegment, uint64_t aSize, uint64_t& aOffset) {
  const uint64_t size = (aSize + vnxshm::kALIGN - 1) / vnxshm::kALIGN * vnxshm::kALIGN;
  const uint64_t begin = aSegment->Header()->arena_offset_;
  const uint64_t end = aSegment->size_;
  if (size == 0 || size > end - begin) return false;
  std::lock_guard<std::mutex> lock(aSegment->arena_mutex_);
  auto& blocks = aSegment->blocks_;
  // First fit from the start of the arena: a steady stream alternates between
  // the block of the frame still published and the block of the one before,
  // which the last copy left in the CPU caches, so the frame's one copy goes
  // to warm memory instead of walking the whole segment (for 1920x1080 I420
  // into 64 MiB: 194 -> 65 us per frame). Reusing a freed block at once is
  // safe for readers: a sample is freed only after a newer frame was
  // published, so a reader still copying it has already seen the sequence
  // move and will drop that copy.
  uint64_t at = begin;
  for (const auto& block : blocks) {
    if (block.first >= at + size) break;
    at = std::max(at, block.first + block.second);
  }
  if (at + size > end) return false;
  aOffset = at;
  blocks.emplace(at, size);
  return true;
}

void Segment__Free(segment* aSegment, uint64_t aOffset) {
  std::lock_guard<std::mutex> lock(aSegment->arena_mutex_);
  aSegment->blocks_.erase(aOffset);
}

segment* Current__Get() { return _t_current.empty() ? nullptr : _t_current.back(); }

namespace {

// Makes a segment current on this thread for the life of the scope; the
// scope also owns one reference to it.
class _T_CurrentScope {
 public:
  explicit _T_CurrentScope(segment* aSegment) : segment_(aSegment) { _t_current.push_back(aSegment); }
  ~_T_CurrentScope() {
    _t_current.pop_back();
    Segment__Release(segment_);
  }
  _T_CurrentScope(const _T_CurrentScope&) = delete;
  _T_CurrentScope& operator=(const _T_CurrentScope&) = delete;

 private:
  segment* segment_;
};

}  // namespace
}  // namespace vnxvideo_impl

using namespace vnxvideo_impl;

extern "C" int vnxvideo_with_shm_allocator_str(const char* aName, int aMaxSizeMb, vnxvideo_action_t aAction,
                                               void* aUsrPtr) {
  if (aAction == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: with_shm_allocator_str without an action");
    return vnxvideo_err_invalid_parameter;
  }
  segment* seg = nullptr;
  int rc = Segment__Acquire(aName, aMaxSizeMb, seg);
  if (rc != vnxvideo_err_ok) return rc;
  _T_CurrentScope scope(seg);
  aAction(aUsrPtr);
  return vnxvideo_err_ok;
}

extern "C" int vnxvideo_with_shm_allocator_ptr(vnxvideo_allocator_t aAllocator, vnxvideo_action_t aAction,
                                               void* aUsrPtr) {
  if (aAllocator.ptr == nullptr || aAction == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: with_shm_allocator_ptr without %s",
        aAllocator.ptr == nullptr ? "an allocator" : "an action");
    return vnxvideo_err_invalid_parameter;
  }
  auto* seg = static_cast<segment*>(aAllocator.ptr);
  Segment__AddRef(seg);
  _T_CurrentScope scope(seg);
  aAction(aUsrPtr);
  return vnxvideo_err_ok;
}

extern "C" int vnxvideo_shm_allocator_duplicate(vnxvideo_allocator_t* aAllocator) {
  if (aAllocator == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: shm_allocator_duplicate without an output handle");
    return vnxvideo_err_invalid_parameter;
  }
  segment* seg = Current__Get();
  if (seg == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: shm_allocator_duplicate outside an allocator scope");
    return vnxvideo_err_invalid_parameter;
  }
  Segment__AddRef(seg);
  aAllocator->ptr = seg;
  return vnxvideo_err_ok;
}

extern "C" void vnxvideo_shm_allocator_free(vnxvideo_allocator_t aAllocator) {
  if (aAllocator.ptr != nullptr) Segment__Release(static_cast<segment*>(aAllocator.ptr));
}
