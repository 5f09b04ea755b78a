// Shared-memory allocators of the VMS video library, as owning pointers and
// scoped calls.
//
// The library allocates sample memory from whichever shared-memory allocator
// is current during one of its callbacks. VnxAllocator__With turns that into a
// plain call: run a function object while an allocator is current and get a
// result code back. The module keeps no state and takes no lock; each scope
// is entered and left on the calling thread within one call.
//
// Errors: failures are logged once (level 1) where they are detected and
// thrown as internal_error, except VnxAllocator__With, which answers a code.
#pragma once

#include <functional>

#include <tarn/support/vnxvideo/object.h>

namespace Tarn { namespace Support {

// Code to run while an allocator is current: answers 0 (vnxvideo_err_ok) or
// a library answer.
typedef std::function<int()> vnx_allocator_scope_fn;

// Passed through the library to VnxAllocator__CallNothrow; lives on the
// caller's stack for the duration of one library call.
struct vnx_allocator_call_data {
  vnx_allocator_scope_fn fn_;
  int rc_;  // fn_'s result; 0 until it has run
};

// The allocator named aName with a size limit of aMaxSizeMb megabytes,
// created or reopened by the library. The owner keeps it open after the
// scope it was created in. Throws internal_error when the library refuses or
// hands back no allocator.
vnx_allocator_sp_t VnxAllocator__CreateShm(const char* aName, const int aMaxSizeMb);

// Runs aScopeFn with aShmAllocator current. Answers the library's answer when
// it is not 0, otherwise aScopeFn's own result; a scope function that throws
// gives vnxvideo_err_external_api (-3) after one log line. Logs nothing else:
// the caller words its own failure line.
int VnxAllocator__With(const vnx_allocator_sp_t& aShmAllocator, const vnx_allocator_scope_fn& aScopeFn);

// The vnxvideo_action_t handed to the library; aUserData points to a
// vnx_allocator_call_data. Lets no exception into the library's C code.
void VnxAllocator__CallNothrow(void* aUserData);

// A new, uninitialised sample in aShmAllocator's shared memory. Throws
// internal_error.
vnx_sample_sp_t VnxAllocator__AllocSample(const vnx_allocator_sp_t& aShmAllocator, const EColorspace aFrameFormat,
                                          const int aFrameW, const int aFrameH);

// A deep copy of aSourcePtr (same format, size and pixels) in aShmAllocator's
// shared memory; the source is untouched and may be freed at once. Throws
// internal_error.
vnx_sample_sp_t VnxAllocator__DeepCopySample(const vnx_allocator_sp_t& aShmAllocator,
                                             const vnx_sample_sp_t& aSourcePtr);

}}  // namespace Tarn::Support
