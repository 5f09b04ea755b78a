// Owning pointers over the VMS video library's handles.
//
// Every library object (allocator, raw sample, raw processor) is a C handle
// holding one pointer that must be released with its own free function. Here
// it becomes a shared owning pointer whose stored pointer is the handle's ptr
// and whose deleter calls the free function when the last owner goes. Owners
// may be copied and released on any thread (atomic reference counts).
#pragma once

#include <memory>

#include <vnxvideo/vnxvideo.h>

namespace Tarn { namespace Support {

typedef std::shared_ptr<void> vnx_object_sp_t;
typedef vnx_object_sp_t vnx_allocator_sp_t;  // vnxvideo_allocator_t, vnxvideo_shm_allocator_free
typedef vnx_object_sp_t vnx_streamer_sp_t;   // vnxvideo_rawproc_t, vnxvideo_rawproc_free
typedef vnx_object_sp_t vnx_sample_sp_t;     // vnxvideo_raw_sample_t, vnxvideo_raw_sample_free

// Takes ownership of aHandle: the result frees it with aDeleterFn. A null
// handle gives an owner that compares equal to null; its release still calls
// aDeleterFn with the null handle (the library accepts that). Should the
// owner's bookkeeping fail to allocate, the handle is freed before
// std::bad_alloc leaves.
template <typename TVnxObjectHandle, void (*aDeleterFn)(TVnxObjectHandle)>
vnx_object_sp_t VnxObject__MapHandleToPtr(TVnxObjectHandle aHandle) {
  return vnx_object_sp_t(aHandle.ptr, [](void* aPtr) {
    TVnxObjectHandle handle;
    handle.ptr = aPtr;
    aDeleterFn(handle);
  });
}

// A borrowed handle to the object aPtr owns: valid while an owner lives, and
// never to be freed by the caller.
template <typename TVnxObjectHandle>
TVnxObjectHandle VnxObject__MapPtrToHandle(const vnx_object_sp_t& aPtr) {
  TVnxObjectHandle handle;
  handle.ptr = aPtr.get();
  return handle;
}

}}  // namespace Tarn::Support
