#include <tarn/support/vnxvideo/allocator.h>

#include <exception>

#include <tarn/support/log.h>
#include <tarn/support/vnxvideo/sample.h>
#include <tarn/types/exceptions.h>

namespace Tarn { namespace Support {

namespace {

const char* _T_Text(const char* aText) { return aText ? aText : "(null)"; }

}  // namespace

void VnxAllocator__CallNothrow(void* aUserData) {
  auto* record = static_cast<vnx_allocator_call_data*>(aUserData);
  if (!record) {
    LOG(1, "fail: user-data:null");
    return;
  }
  try {
    record->rc_ = record->fn_();
  } catch (const std::exception& e) {
    record->rc_ = vnxvideo_err_external_api;
    LOG(1, "fail: exception <%s>", e.what());
  } catch (...) {
    record->rc_ = vnxvideo_err_external_api;
    LOG(1, "fail: uncaught exception");
  }
}

int VnxAllocator__With(const vnx_allocator_sp_t& aShmAllocator, const vnx_allocator_scope_fn& aScopeFn) {
  vnx_allocator_call_data record{aScopeFn, 0};
  const auto handle = VnxObject__MapPtrToHandle<vnxvideo_allocator_t>(aShmAllocator);
  const int answer = vnxvideo_with_shm_allocator_ptr(handle, VnxAllocator__CallNothrow, &record);
  return answer != vnxvideo_err_ok ? answer : record.rc_;
}

vnx_allocator_sp_t VnxAllocator__CreateShm(const char* aName, const int aMaxSizeMb) {
  vnx_allocator_sp_t result;
  vnx_allocator_call_data record{[&result]() {
                                   vnxvideo_allocator_t handle{nullptr};
                                   const int answer = vnxvideo_shm_allocator_duplicate(&handle);
                                   if (answer != vnxvideo_err_ok) {
                                     return answer;
                                   }
                                   result = VnxObject__MapHandleToPtr<vnxvideo_allocator_t,
                                                                      vnxvideo_shm_allocator_free>(handle);
                                   return static_cast<int>(vnxvideo_err_ok);
                                 },
                                 0};
  const int answer = vnxvideo_with_shm_allocator_str(aName, aMaxSizeMb, VnxAllocator__CallNothrow, &record);
  if (answer != vnxvideo_err_ok) {
    LOG(1, "fail: uncaught vnxvideo_with_shm_allocator_str (answer:%d)", answer);
    throw internal_error();
  }
  // The library answered 0 but the scope produced nothing (it threw, the
  // duplicate was refused, or it never ran): a unit must not run without its
  // allocator, so this is a failure like a refusal.
  if (!result) {
    LOG(1, "fail: vnxvideo_with_shm_allocator_str gave no allocator (name:<%s>, rc:%d)", _T_Text(aName), record.rc_);
    throw internal_error();
  }
  return result;
}

vnx_sample_sp_t VnxAllocator__AllocSample(const vnx_allocator_sp_t& aShmAllocator, const EColorspace aFrameFormat,
                                          const int aFrameW, const int aFrameH) {
  vnx_sample_sp_t result;
  const int rc = VnxAllocator__With(aShmAllocator, [&]() {
    vnxvideo_raw_sample_t handle{nullptr};
    const int answer = vnxvideo_raw_sample_allocate(aFrameFormat, aFrameW, aFrameH, &handle);
    if (answer != vnxvideo_err_ok) {
      return answer;
    }
    result = VnxSample__MapHandleToPtr(handle);
    return static_cast<int>(vnxvideo_err_ok);
  });
  if (rc != vnxvideo_err_ok) {
    LOG(1, "fail: vnxvideo_raw_sample_allocate (answer:%d)", rc);
    throw internal_error();
  }
  return result;
}

vnx_sample_sp_t VnxAllocator__DeepCopySample(const vnx_allocator_sp_t& aShmAllocator,
                                             const vnx_sample_sp_t& aSourcePtr) {
  vnx_sample_sp_t result;
  const int rc = VnxAllocator__With(aShmAllocator, [&]() {
    const vnxvideo_raw_sample_t source = VnxSample__MapPtrToHandle(aSourcePtr);
    // A missing source is the caller's mistake; refuse it like the library
    // refuses a bad argument instead of handing it a null handle.
    if (!source.ptr) {
      return static_cast<int>(vnxvideo_err_invalid_parameter);
    }
    vnxvideo_raw_sample_t copy{nullptr};
    const int answer = vnxvideo_raw_sample_copy(source, &copy);
    if (answer != vnxvideo_err_ok) {
      return answer;
    }
    result = VnxSample__MapHandleToPtr(copy);
    return static_cast<int>(vnxvideo_err_ok);
  });
  if (rc != vnxvideo_err_ok) {
    LOG(1, "fail: vnxvideo_raw_sample_copy (answer:%d)", rc);
    throw internal_error();
  }
  return result;
}

}}  // namespace Tarn::Support
