// The pool's C functions over the VMS storage client. Nothing may leave them
// as an exception: every failure becomes one log line and -1 (or, for a
// request, one callback).
#include <tarn/support/kavo/pool.h>

#include <tarn/support/log.h>
#include <tarn/support/viinex/http/storage.h>
#include <tarn/types/exceptions.h>

#include <chrono>
#include <exception>
#include <string>

namespace Tarn { namespace Support { namespace {

using Viinex::storage_client_up_t;

// Requests from the pool carry this time-out (the exchange keeps its own deadlines).
constexpr unsigned int _T_kRequestToutSec = 60;

// The object behind a pool handle: one storage client, started from birth.
struct vnx_reader {
  explicit vnx_reader(uint8_t aMaxSessions) : storage_(Viinex::StorageClient__Create(aMaxSessions)) {
    storage_->start();
  }
  storage_client_up_t storage_;
};

}}}  // namespace Tarn::Support

using Tarn::Support::vnx_reader;

extern "C" {

int KavoPoolCreate(void** aSelf, const char* /*aConf*/, uint8_t aMaxSessions) {
  if (aSelf == nullptr || aMaxSessions == 0) {
    return kKAVO_FAIL;
  }
  try {
    *aSelf = new vnx_reader(aMaxSessions);
    return 0;
  } catch (const Tarn::generic_error&) {
    LOG(1, "fail");
  } catch (const std::exception& aError) {
    LOG(1, "fail: exception <%s>", aError.what());
  } catch (...) {
    LOG(1, "fail");
  }
  return kKAVO_FAIL;
}

int KavoPoolStart(void* aSelf) {
  if (aSelf == nullptr) {
    LOG(1, "fail: kS_INVALID_PARAMS (aSelf)");
    return kKAVO_FAIL;
  }
  // A worker thread that can't be created must not unwind into a C caller.
  try {
    static_cast<vnx_reader*>(aSelf)->storage_->start();
  } catch (const std::exception& aError) {
    LOG(1, "fail: exception <%s>", aError.what());
    return kKAVO_FAIL;
  }
  return 0;
}

int KavoPoolStop(void* aSelf) {
  if (aSelf == nullptr) {
    LOG(1, "fail: kS_INVALID_PARAMS (aSelf)");
    return kKAVO_FAIL;
  }
  // Nor one that can't be joined.
  try {
    static_cast<vnx_reader*>(aSelf)->storage_->stop();
  } catch (const std::exception& aError) {
    LOG(1, "fail: exception <%s>", aError.what());
    return kKAVO_FAIL;
  }
  return 0;
}

int KavoPoolSearchTsAsc(void*, const char*, uint64_t, uint64_t, uint64_t*, uint16_t*) { return kKAVO_FAIL; }

int KavoPoolLoadImageExact(void*, const char*, uint64_t, kavo_image_type, uint16_t*, uint16_t*, uint8_t*, uint32_t*) {
  return kKAVO_FAIL;
}

int KavoPoolLoadImageFuzzy(void*, const char*, uint64_t*, kavo_image_type, uint8_t*, uint32_t*) { return kKAVO_FAIL; }

int KavoPoolLoadVideo(void*, const char*, const char*, const kavo_video_conf*, uint64_t*, uint64_t*) {
  return kKAVO_FAIL;
}

int KavoPoolLoadVideoAsync(void* aSelf, const char* aStreamRef, const char* aVideoPath,
                           const kavo_video_conf* aVideoConf, const kavo_video_handler_fn aHandlerFn,
                           void* aHandlerArg) {
  if (aSelf == nullptr) {
    LOG(1, "fail: kS_INVALID_PARAMS (aSelf)");
    return kKAVO_FAIL;
  }
  if (aStreamRef == nullptr || aStreamRef[0] == '\0') {
    LOG(1, "fail: kS_INVALID_PARAMS (aChannel)");
    return kKAVO_FAIL;
  }
  if (aVideoPath == nullptr) {
    LOG(1, "fail: kS_INVALID_PARAMS (aVideoPath)");
    return kKAVO_FAIL;
  }
  if (aVideoConf == nullptr) {
    LOG(1, "fail: kS_INVALID_PARAMS (aVideoConf)");
    return kKAVO_FAIL;
  }
  if (aHandlerFn == nullptr) {
    LOG(1, "fail: kS_INVALID_PARAMS (aHandlerFn)");
    return kKAVO_FAIL;
  }
  try {
    std::string streamRef(aStreamRef);
    std::string videoPath(aVideoPath);
    // The handler owns its copies: the caller's texts live only during this call.
    auto handler = [streamRef, videoPath, aHandlerFn, aHandlerArg](Tarn::stat_t aStat, const Tarn::Support::Viinex::video_info* aInfo) {
      if (aStat == Tarn::kS_DONE && aInfo != nullptr) {
        LOG(3, "done: kS_DONE (%s)", streamRef.c_str());
        kavo_video_info record;
        record.path_ = videoPath.c_str();
        record.min_ts_ = aInfo->min_ts_.c_str();
        record.max_ts_ = aInfo->max_ts_.c_str();
        record.size_ = aInfo->size_;
        record.width_ = aInfo->width_;
        record.height_ = aInfo->height_;
        aHandlerFn(0, &record, aHandlerArg);
      } else if (aStat == Tarn::kS_CANCELED) {
        LOG(2, "fail: kS_CANCELED (%s)", streamRef.c_str());
        aHandlerFn(-4, nullptr, aHandlerArg);
      } else {
        LOG(2, "fail: kKAVO_FAIL (%s)", streamRef.c_str());
        aHandlerFn(kKAVO_FAIL, nullptr, aHandlerArg);
      }
    };
    static_cast<vnx_reader*>(aSelf)->storage_->loadVideoAsync(streamRef, videoPath, aVideoConf->min_ts_,
                                                              aVideoConf->max_ts_, Tarn::Support::_T_kRequestToutSec,
                                                              std::move(handler));
  } catch (const std::exception& aError) {
    LOG(1, "fail: exception <%s>", aError.what());
    return kKAVO_FAIL;
  }
  return 0;
}

void KavoPoolDestroy(void* aSelf) {
  LOG(4, "exec");
  // The client's destructor stops a started client: queued requests get -4 here.
  delete static_cast<vnx_reader*>(aSelf);
  LOG(4, "done");
}

}  // extern "C"
