// Raw samples: wrapped caller memory, or packed planes in a segment's arena
// (or private memory when no allocator is current).
#include "vnxvideo_internal.h"

#include <cstring>
#include <new>

namespace vnxvideo_impl {
namespace {

constexpr const char* kSUBSYSTEM = "sample";

}  // namespace

void Sample__AddRef(sample* aSample) { aSample->refs_.fetch_add(1, std::memory_order_relaxed); }

void Sample__Release(sample* aSample) {
  if (aSample->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (aSample->segment_ != nullptr) {
    Segment__Free(aSample->segment_, aSample->offset_);
    Segment__Release(aSample->segment_);
  }
  delete aSample;
}

int Sample__Allocate(segment* aSegment, int aFormat, int aWidth, int aHeight, sample*& aSample) {
  int rows[3] = {0, 0, 0}, rowBytes[3] = {0, 0, 0};
  const int planes = vnxshm::PlaneGeometry(static_cast<uint32_t>(aFormat), aWidth, aHeight, rows, rowBytes);
  if (planes == 0) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: unsupported sample (format:%d, size:%dx%d)", aFormat, aWidth, aHeight);
    return vnxvideo_err_invalid_parameter;
  }
  uint64_t total = 0;
  for (int i = 0; i < planes; ++i) total += static_cast<uint64_t>(rows[i]) * static_cast<uint64_t>(rowBytes[i]);

  auto s = std::make_unique<sample>();
  uint8_t* base = nullptr;
  if (aSegment != nullptr) {
    uint64_t offset = 0;
    if (!Segment__Alloc(aSegment, total, offset)) {
      Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: no room in segment <%s> (need:%llu, size:%llu)",
          aSegment->shm_name_.c_str(), static_cast<unsigned long long>(total),
          static_cast<unsigned long long>(aSegment->size_));
      return vnxvideo_err_external_api;
    }
    Segment__AddRef(aSegment);
    s->segment_ = aSegment;
    s->offset_ = offset;
    base = aSegment->base_ + offset;
  } else {
    s->heap_.reset(new (std::nothrow) uint8_t[total]);
    if (!s->heap_) {
      Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: out of memory (need:%llu)", static_cast<unsigned long long>(total));
      return vnxvideo_err_external_api;
    }
    base = s->heap_.get();
  }
  s->format_ = aFormat;
  s->width_ = aWidth;
  s->height_ = aHeight;
  s->plane_count_ = planes;
  for (int i = 0; i < planes; ++i) {
    s->strides_[i] = rowBytes[i];
    s->planes_[i] = base;
    base += static_cast<uint64_t>(rows[i]) * static_cast<uint64_t>(rowBytes[i]);
  }
  aSample = s.release();
  return vnxvideo_err_ok;
}

void Sample__CopyPixels(const sample& aSource, sample& aTarget) {
  int rows[3] = {0, 0, 0}, rowBytes[3] = {0, 0, 0};
  const int planes = vnxshm::PlaneGeometry(static_cast<uint32_t>(aSource.format_), aSource.width_,
                                           aSource.height_, rows, rowBytes);
  for (int i = 0; i < planes; ++i) {
    const uint8_t* from = aSource.planes_[i];
    uint8_t* to = aTarget.planes_[i];
    if (aSource.strides_[i] == rowBytes[i] && aTarget.strides_[i] == rowBytes[i]) {
      std::memcpy(to, from, static_cast<size_t>(rows[i]) * static_cast<size_t>(rowBytes[i]));
      continue;
    }
    for (int r = 0; r < rows[i]; ++r) {
      std::memcpy(to, from, static_cast<size_t>(rowBytes[i]));
      from += aSource.strides_[i];
      to += aTarget.strides_[i];
    }
  }
}

}  // namespace vnxvideo_impl

using namespace vnxvideo_impl;

extern "C" int vnxvideo_raw_sample_wrap(EColorspace aFormat, int aWidth, int aHeight, int aStrides[3],
                                        uint8_t* aPlanes[3], vnxvideo_raw_sample_t* aSample) {
  if (aStrides == nullptr || aPlanes == nullptr || aSample == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: raw_sample_wrap with a null argument");
    return vnxvideo_err_invalid_parameter;
  }
  int rows[3] = {0, 0, 0}, rowBytes[3] = {0, 0, 0};
  const int planes = vnxshm::PlaneGeometry(static_cast<uint32_t>(aFormat), aWidth, aHeight, rows, rowBytes);
  if (planes == 0) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: unsupported sample (format:%d, size:%dx%d)", static_cast<int>(aFormat),
        aWidth, aHeight);
    return vnxvideo_err_invalid_parameter;
  }
  for (int i = 0; i < planes; ++i) {
    if (aPlanes[i] == nullptr || aStrides[i] < rowBytes[i]) {
      Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: bad plane %d (stride:%d, row-bytes:%d, null:%d)", i, aStrides[i],
          rowBytes[i], aPlanes[i] == nullptr ? 1 : 0);
      return vnxvideo_err_invalid_parameter;
    }
  }
  auto* s = new sample();
  s->format_ = aFormat;
  s->width_ = aWidth;
  s->height_ = aHeight;
  s->plane_count_ = planes;
  for (int i = 0; i < planes; ++i) {
    s->strides_[i] = aStrides[i];
    s->planes_[i] = aPlanes[i];
  }
  aSample->ptr = s;
  return vnxvideo_err_ok;
}

extern "C" int vnxvideo_raw_sample_allocate(EColorspace aFormat, int aWidth, int aHeight,
                                            vnxvideo_raw_sample_t* aSample) {
  if (aSample == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: raw_sample_allocate without an output handle");
    return vnxvideo_err_invalid_parameter;
  }
  sample* s = nullptr;
  int rc = Sample__Allocate(Current__Get(), aFormat, aWidth, aHeight, s);
  if (rc != vnxvideo_err_ok) return rc;
  aSample->ptr = s;
  return vnxvideo_err_ok;
}

extern "C" int vnxvideo_raw_sample_copy(vnxvideo_raw_sample_t aSource, vnxvideo_raw_sample_t* aCopy) {
  if (aSource.ptr == nullptr || aCopy == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: raw_sample_copy without %s",
        aSource.ptr == nullptr ? "a source" : "an output handle");
    return vnxvideo_err_invalid_parameter;
  }
  const auto* source = static_cast<const sample*>(aSource.ptr);
  sample* copy = nullptr;
  int rc = Sample__Allocate(Current__Get(), source->format_, source->width_, source->height_, copy);
  if (rc != vnxvideo_err_ok) return rc;
  Sample__CopyPixels(*source, *copy);
  aCopy->ptr = copy;
  return vnxvideo_err_ok;
}

extern "C" void vnxvideo_raw_sample_free(vnxvideo_raw_sample_t aSample) {
  if (aSample.ptr != nullptr) Sample__Release(static_cast<sample*>(aSample.ptr));
}

extern "C" int vnxvideo_raw_sample_get_data(vnxvideo_raw_sample_t aSample, int* aFormat, int* aWidth,
                                            int* aHeight, int aStrides[3], uint8_t* aPlanes[3]) {
  if (aSample.ptr == nullptr) {
    Log(VNXLOG_ERROR, kSUBSYSTEM, "fail: raw_sample_get_data without a sample");
    return vnxvideo_err_invalid_parameter;
  }
  const auto* s = static_cast<const sample*>(aSample.ptr);
  if (aFormat != nullptr) *aFormat = s->format_;
  if (aWidth != nullptr) *aWidth = s->width_;
  if (aHeight != nullptr) *aHeight = s->height_;
  for (int i = 0; i < 3; ++i) {
    if (aStrides != nullptr) aStrides[i] = s->strides_[i];
    if (aPlanes != nullptr) aPlanes[i] = s->planes_[i];
  }
  return vnxvideo_err_ok;
}
