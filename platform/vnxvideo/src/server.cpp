// The local server: publishes each processed sample in its segment's header
// for readers in other processes (see shm_layout.h for the protocol).
#include "vnxvideo_internal.h"

#include <cinttypes>
#include <cstring>

namespace vnxvideo_impl {
namespace {

constexpr const char* kSUBSYSTEM = "server";

struct server {
  segment* segment_ = nullptr;
  int format_ = 0;  // 0 until a format is announced
  int width_ = 0;
  int height_ = 0;
  sample* published_ = nullptr;  // kept until a newer sample replaces it
  uint64_t sequence_ = 0;
};

// Rewrites the published part of the header under the sequence lock. Only the
// server of the segment writes here, and one server is used by one thread at
// a time, so writers never overlap.
template <typename TUpdate>
void _T_Publish(segment* aSegment, TUpdate aUpdate) {
  vnxshm::header* hdr = aSegment->Header();
  const uint64_t seq = hdr->seq_.load(std::memory_order_relaxed);
  hdr->seq_.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  aUpdate(*hdr);
  hdr->seq_.store(seq + 2, std::memory_order_release);
}

void _T_ClearFrame(server* aServer) {
  _T_Publish(aServer->segment_, [&](vnxshm::header& aHdr) {
    aHdr.frame_.plane_count_ = 0;
    aHdr.announced_format_ = 0;
  });
}

}  // namespace
}  // namespace vnxvideo_impl

using namespace vnxvideo_impl;

extern "C" int vnxvideo_local_server_create(const char* aName, int aMaxSizeMb, vnxvideo_rawproc_t* aServer) {
  if (aServer == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: local_server_create without an output handle");
    return vnxvideo_err_invalid_parameter;
  }
  // The segment of that name: the one of the current allocator when it has
  // that name (the process keeps one per name), else opened here.
  segment* seg = nullptr;
  int rc = Segment__Acquire(aName, aMaxSizeMb, seg);
  if (rc != vnxvideo_err_ok) return rc;
  // Two servers in one segment would overwrite each other's frames.
  if (seg->has_server_.exchange(true)) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: a server already publishes <%s>", aName);
    Segment__Release(seg);
    return vnxvideo_err_invalid_parameter;
  }
  auto* srv = new server();
  srv->segment_ = seg;
  // Continue the segment's numbering, so readers never see a sequence number
  // go back when a server is replaced.
  srv->sequence_ = seg->Header()->frame_.sequence_;
  _T_ClearFrame(srv);
  aServer->ptr = srv;
  Log(VNXLOG_INFO, kSUBSYSTEM, "server <%s> created", aName);
  return vnxvideo_err_ok;
}

extern "C" int vnxvideo_rawproc_set_format(vnxvideo_rawproc_t aProc, EColorspace aFormat, int aWidth, int aHeight) {
  if (aProc.ptr == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: rawproc_set_format without a server");
    return vnxvideo_err_invalid_parameter;
  }
  int rows[3], rowBytes[3];
  if (vnxshm::PlaneGeometry(static_cast<uint32_t>(aFormat), aWidth, aHeight, rows, rowBytes) == 0) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: unsupported format (format:%d, size:%dx%d)", static_cast<int>(aFormat),
        aWidth, aHeight);
    return vnxvideo_err_invalid_parameter;
  }
  auto* srv = static_cast<server*>(aProc.ptr);
  srv->format_ = aFormat;
  srv->width_ = aWidth;
  srv->height_ = aHeight;
  _T_Publish(srv->segment_, [&](vnxshm::header& aHdr) {
    aHdr.announced_format_ = static_cast<uint32_t>(aFormat);
    aHdr.announced_width_ = static_cast<uint32_t>(aWidth);
    aHdr.announced_height_ = static_cast<uint32_t>(aHeight);
  });
  Log(VNXLOG_DEBUG, kSUBSYSTEM, "format %s %dx%d announced on <%s>", vnxshm::FormatName(aFormat), aWidth, aHeight,
      srv->segment_->endpoint_.c_str());
  return vnxvideo_err_ok;
}

extern "C" int vnxvideo_rawproc_process(vnxvideo_rawproc_t aProc, vnxvideo_raw_sample_t aSample,
                                        uint64_t aTimestamp) {
  if (aProc.ptr == nullptr || aSample.ptr == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: rawproc_process without %s", aProc.ptr == nullptr ? "a server" : "a sample");
    return vnxvideo_err_invalid_parameter;
  }
  auto* srv = static_cast<server*>(aProc.ptr);
  auto* s = static_cast<sample*>(aSample.ptr);
  if (srv->format_ == 0) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: rawproc_process before a format was announced");
    return vnxvideo_err_invalid_parameter;
  }
  if (s->format_ != srv->format_ || s->width_ != srv->width_ || s->height_ != srv->height_) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: sample %s %dx%d does not match the announced %s %dx%d",
        vnxshm::FormatName(s->format_), s->width_, s->height_, vnxshm::FormatName(srv->format_), srv->width_,
        srv->height_);
    return vnxvideo_err_invalid_parameter;
  }
  // Readers can only reach memory of this segment: a sample that lives
  // elsewhere is copied in first.
  sample* held = nullptr;
  if (s->segment_ == srv->segment_) {
    Sample__AddRef(s);
    held = s;
  } else {
    int rc = Sample__Allocate(srv->segment_, s->format_, s->width_, s->height_, held);
    if (rc != vnxvideo_err_ok) return rc;
    Sample__CopyPixels(*s, *held);
  }
  const uint64_t sequence = ++srv->sequence_;
  const uint8_t* base = srv->segment_->base_;
  _T_Publish(srv->segment_, [&](vnxshm::header& aHdr) {
    vnxshm::frame_desc& f = aHdr.frame_;
    f.format_ = static_cast<uint32_t>(held->format_);
    f.width_ = static_cast<uint32_t>(held->width_);
    f.height_ = static_cast<uint32_t>(held->height_);
    f.plane_count_ = static_cast<uint32_t>(held->plane_count_);
    for (int i = 0; i < 3; ++i) {
      f.strides_[i] = i < held->plane_count_ ? held->strides_[i] : 0;
      f.offsets_[i] = i < held->plane_count_ ? static_cast<uint64_t>(held->planes_[i] - base) : 0;
    }
    f.timestamp_ = aTimestamp;
    f.sequence_ = sequence;
  });
  // Only now may the previous frame's memory be reused: a reader that still
  // copies it sees the sequence move and drops its copy.
  sample* previous = srv->published_;
  srv->published_ = held;
  if (previous != nullptr) Sample__Release(previous);
  return vnxvideo_err_ok;
}

extern "C" int vnxvideo_rawproc_flush(vnxvideo_rawproc_t aProc) {
  if (aProc.ptr == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: rawproc_flush without a server");
    return vnxvideo_err_invalid_parameter;
  }
  // Publication is synchronous: nothing is ever pending.
  return vnxvideo_err_ok;
}

extern "C" void vnxvideo_rawproc_free(vnxvideo_rawproc_t aProc) {
  if (aProc.ptr == nullptr) return;
  auto* srv = static_cast<server*>(aProc.ptr);
  // Withdraw the frame before its memory goes back to the arena.
  _T_ClearFrame(srv);
  if (srv->published_ != nullptr) Sample__Release(srv->published_);
  srv->segment_->has_server_.store(false);
  Log(VNXLOG_INFO, kSUBSYSTEM, "server <%s> freed (last-sequence:%" PRIu64 ")", srv->segment_->endpoint_.c_str(),
      srv->sequence_);
  Segment__Release(srv->segment_);
  delete srv;
}
