// Shorthands for raw-sample handles of the VMS video library.
#pragma once

#include <tarn/support/vnxvideo/object.h>

namespace Tarn { namespace Support {

// Takes ownership of aHandle; the last owner frees it with
// vnxvideo_raw_sample_free.
static inline vnx_sample_sp_t VnxSample__MapHandleToPtr(const vnxvideo_raw_sample_t& aHandle) {
  return VnxObject__MapHandleToPtr<vnxvideo_raw_sample_t, vnxvideo_raw_sample_free>(aHandle);
}

// The borrowed handle of the sample aPtr owns (not to be freed).
static inline vnxvideo_raw_sample_t VnxSample__MapPtrToHandle(const vnx_object_sp_t& aPtr) {
  return VnxObject__MapPtrToHandle<vnxvideo_raw_sample_t>(aPtr);
}

}}  // namespace Tarn::Support
