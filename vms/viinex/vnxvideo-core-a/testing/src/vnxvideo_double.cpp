#include <tarn/testing/vnxvideo_double.h>

#include <cstring>
#include <set>

using Tarn::Testing::vnx_double_state;

namespace {

struct _T_Allocator {
  std::string name_;
  int refs_;
};

struct _T_Sample {
  int format_;
  int width_;
  int height_;
  int strides_[3];
  uint8_t* planes_[3];
  bool wrapped_;
  std::string allocator_;
  std::vector<uint8_t> memory_;
};

struct _T_Server {
  std::string name_;
};

vnx_double_state _s_state;
std::set<_T_Allocator*> _s_allocators;
std::map<std::string, _T_Allocator*> _s_allocatorsByName;
std::set<_T_Sample*> _s_samples;
std::set<_T_Server*> _s_servers;
thread_local std::vector<_T_Allocator*> _s_current;

// Records the call and answers its forced code (0 when none).
int _T_Enter(const char* aCall) {
  _s_state.calls_.push_back(aCall);
  const auto it = _s_state.answers_.find(aCall);
  return it == _s_state.answers_.end() ? 0 : it->second;
}

void _T_Unref(_T_Allocator* aAllocator) {
  if (--aAllocator->refs_ == 0) {
    _s_allocatorsByName.erase(aAllocator->name_);
    _s_allocators.erase(aAllocator);
    --_s_state.live_allocators_;
    delete aAllocator;
  }
}

std::string _T_CurrentName() { return _s_current.empty() ? std::string() : _s_current.back()->name_; }

_T_Sample* _T_NewPackedSample(int aFormat, int aWidth, int aHeight) {
  const auto planes = Tarn::Testing::VnxDouble__Planes(aFormat, aWidth, aHeight);
  if (planes.empty() || aWidth <= 0 || aHeight <= 0) {
    return nullptr;
  }
  auto* sample = new _T_Sample{aFormat, aWidth, aHeight, {0, 0, 0}, {nullptr, nullptr, nullptr}, false,
                               _T_CurrentName(), {}};
  size_t total = 0;
  for (const auto& p : planes) total += size_t(p.first) * size_t(p.second);
  sample->memory_.resize(total);
  size_t offset = 0;
  for (size_t i = 0; i < planes.size(); ++i) {
    sample->strides_[i] = planes[i].second;
    sample->planes_[i] = sample->memory_.data() + offset;
    offset += size_t(planes[i].first) * size_t(planes[i].second);
  }
  _s_samples.insert(sample);
  ++_s_state.live_samples_;
  return sample;
}

std::vector<uint8_t> _T_Pixels(const _T_Sample& aSample) {
  std::vector<uint8_t> pixels;
  const auto planes = Tarn::Testing::VnxDouble__Planes(aSample.format_, aSample.width_, aSample.height_);
  for (size_t i = 0; i < planes.size(); ++i) {
    for (int row = 0; row < planes[i].first; ++row) {
      const uint8_t* start = aSample.planes_[i] + size_t(row) * size_t(aSample.strides_[i]);
      pixels.insert(pixels.end(), start, start + planes[i].second);
    }
  }
  return pixels;
}

_T_Sample* _T_LiveSample(void* aPtr, const char* aCall) {
  auto* sample = static_cast<_T_Sample*>(aPtr);
  if (_s_samples.count(sample) == 0) {
    _s_state.errors_.push_back(std::string(aCall) + ": unknown sample");
    return nullptr;
  }
  return sample;
}

_T_Server* _T_LiveServer(void* aPtr, const char* aCall) {
  auto* server = static_cast<_T_Server*>(aPtr);
  if (_s_servers.count(server) == 0) {
    _s_state.errors_.push_back(std::string(aCall) + ": unknown server");
    return nullptr;
  }
  return server;
}

int _T_RunScope(_T_Allocator* aAllocator, int aForced, vnxvideo_action_t aAction, void* aUsrPtr) {
  if ((aForced == 0 || _s_state.run_action_on_failure_) && !_s_state.skip_actions_) {
    _s_current.push_back(aAllocator);
    aAction(aUsrPtr);
    _s_current.pop_back();
  }
  return aForced;
}

}  // namespace

namespace Tarn { namespace Testing {

vnx_double_state& VnxDouble__State() { return _s_state; }

void VnxDouble__Reset() {
  for (auto* s : _s_samples) delete s;
  for (auto* s : _s_servers) delete s;
  for (auto* a : _s_allocators) delete a;
  _s_samples.clear();
  _s_servers.clear();
  _s_allocators.clear();
  _s_allocatorsByName.clear();
  _s_current.clear();
  _s_state = vnx_double_state();
}

size_t VnxDouble__Count(const std::string& aCall) {
  size_t n = 0;
  for (const auto& c : _s_state.calls_) n += (c == aCall);
  return n;
}

std::string VnxDouble__SampleAllocator(void* aSample) {
  auto* sample = static_cast<_T_Sample*>(aSample);
  return _s_samples.count(sample) ? sample->allocator_ : std::string("?");
}

void VnxDouble__Log(ELogLevel aLevel, const char* aSubsystem, const char* aMessage) {
  if (_s_state.log_ && int(aLevel) <= _s_state.log_max_level_) {
    _s_state.log_(_s_state.log_usrptr_, aLevel, aSubsystem, aMessage);
  }
}

std::vector<std::pair<int, int>> VnxDouble__Planes(int aFormat, int aWidth, int aHeight) {
  switch (aFormat) {
    case EMF_GRAY:
      return {{aHeight, aWidth}};
    case EMF_I420:
      return {{aHeight, aWidth}, {aHeight / 2, aWidth / 2}, {aHeight / 2, aWidth / 2}};
    case EMF_NV12:
      return {{aHeight, aWidth}, {aHeight / 2, aWidth}};
    default:
      return {};
  }
}

}}  // namespace Tarn::Testing

extern "C" {

int vnxvideo_init(vnxvideo_log_t aLog, void* aUsrPtr, ELogLevel aMaxLevel) {
  const int forced = _T_Enter("vnxvideo_init");
  if (forced != 0) return forced;
  _s_state.log_ = aLog;
  _s_state.log_usrptr_ = aUsrPtr;
  _s_state.log_max_level_ = aMaxLevel;
  return 0;
}

int vnxvideo_with_shm_allocator_str(const char* aName, int aMaxSizeMb, vnxvideo_action_t aAction, void* aUsrPtr) {
  const int forced = _T_Enter("vnxvideo_with_shm_allocator_str");
  if (!aName || !*aName || !aAction) return vnxvideo_err_invalid_parameter;
  _s_state.allocator_name_ = aName;
  _s_state.allocator_max_size_mb_ = aMaxSizeMb;
  _T_Allocator*& allocator = _s_allocatorsByName[aName];
  if (allocator) {
    ++allocator->refs_;
  } else {
    allocator = new _T_Allocator{aName, 1};
    _s_allocators.insert(allocator);
    ++_s_state.live_allocators_;
  }
  _T_Allocator* held = allocator;
  const int answer = _T_RunScope(held, forced, aAction, aUsrPtr);
  _T_Unref(held);
  return answer;
}

int vnxvideo_with_shm_allocator_ptr(vnxvideo_allocator_t aAllocator, vnxvideo_action_t aAction, void* aUsrPtr) {
  const int forced = _T_Enter("vnxvideo_with_shm_allocator_ptr");
  auto* allocator = static_cast<_T_Allocator*>(aAllocator.ptr);
  if (_s_allocators.count(allocator) == 0) {
    _s_state.errors_.push_back("vnxvideo_with_shm_allocator_ptr: unknown allocator");
    return vnxvideo_err_invalid_parameter;
  }
  if (!aAction) return vnxvideo_err_invalid_parameter;
  return _T_RunScope(allocator, forced, aAction, aUsrPtr);
}

int vnxvideo_shm_allocator_duplicate(vnxvideo_allocator_t* aAllocator) {
  const int forced = _T_Enter("vnxvideo_shm_allocator_duplicate");
  if (forced != 0) return forced;
  if (!aAllocator || _s_current.empty()) return vnxvideo_err_invalid_parameter;
  ++_s_current.back()->refs_;
  aAllocator->ptr = _s_current.back();
  return 0;
}

void vnxvideo_shm_allocator_free(vnxvideo_allocator_t aAllocator) {
  _T_Enter("vnxvideo_shm_allocator_free");
  if (!aAllocator.ptr) return;
  auto* allocator = static_cast<_T_Allocator*>(aAllocator.ptr);
  if (_s_allocators.count(allocator) == 0) {
    _s_state.errors_.push_back("vnxvideo_shm_allocator_free: unknown allocator");
    return;
  }
  _T_Unref(allocator);
}

int vnxvideo_local_server_create(const char* aName, int aMaxSizeMb, vnxvideo_rawproc_t* aServer) {
  const int forced = _T_Enter("vnxvideo_local_server_create");
  if (forced != 0) return forced;
  if (!aName || !aServer) return vnxvideo_err_invalid_parameter;
  _s_state.server_name_ = aName;
  _s_state.server_max_size_mb_ = aMaxSizeMb;
  _s_state.server_allocator_ = _T_CurrentName();
  if (_s_state.null_server_) {
    aServer->ptr = nullptr;
    return 0;
  }
  auto* server = new _T_Server{aName};
  _s_servers.insert(server);
  ++_s_state.live_servers_;
  aServer->ptr = server;
  return 0;
}

int vnxvideo_rawproc_set_format(vnxvideo_rawproc_t aProc, EColorspace aFormat, int aWidth, int aHeight) {
  const int forced = _T_Enter("vnxvideo_rawproc_set_format");
  _s_state.set_formats_.push_back({int(aFormat), aWidth, aHeight});
  if (!_T_LiveServer(aProc.ptr, "vnxvideo_rawproc_set_format")) return vnxvideo_err_invalid_parameter;
  return forced;
}

int vnxvideo_rawproc_process(vnxvideo_rawproc_t aProc, vnxvideo_raw_sample_t aSample, uint64_t aTimestamp) {
  const int forced = _T_Enter("vnxvideo_rawproc_process");
  if (!_T_LiveServer(aProc.ptr, "vnxvideo_rawproc_process")) return vnxvideo_err_invalid_parameter;
  _T_Sample* sample = _T_LiveSample(aSample.ptr, "vnxvideo_rawproc_process");
  if (!sample) return vnxvideo_err_invalid_parameter;
  _s_state.processed_.push_back({aSample.ptr, aTimestamp, forced,
                                 {sample->format_, sample->width_, sample->height_},
                                 sample->wrapped_, sample->allocator_, _T_Pixels(*sample)});
  return forced;
}

int vnxvideo_rawproc_flush(vnxvideo_rawproc_t aProc) {
  const int forced = _T_Enter("vnxvideo_rawproc_flush");
  if (!_T_LiveServer(aProc.ptr, "vnxvideo_rawproc_flush")) return vnxvideo_err_invalid_parameter;
  return forced;
}

void vnxvideo_rawproc_free(vnxvideo_rawproc_t aProc) {
  _T_Enter("vnxvideo_rawproc_free");
  if (!aProc.ptr) return;
  _T_Server* server = _T_LiveServer(aProc.ptr, "vnxvideo_rawproc_free");
  if (!server) return;
  _s_servers.erase(server);
  --_s_state.live_servers_;
  delete server;
}

int vnxvideo_raw_sample_wrap(EColorspace aFormat, int aWidth, int aHeight, int aStrides[3], uint8_t* aPlanes[3],
                             vnxvideo_raw_sample_t* aSample) {
  const int forced = _T_Enter("vnxvideo_raw_sample_wrap");
  Tarn::Testing::vnx_double_wrap wrap{{int(aFormat), aWidth, aHeight}, {0, 0, 0}, {nullptr, nullptr, nullptr}};
  if (aStrides && aPlanes) {
    for (int i = 0; i < 3; ++i) {
      wrap.strides_[i] = aStrides[i];
      wrap.planes_[i] = aPlanes[i];
    }
  }
  _s_state.wraps_.push_back(wrap);
  if (forced != 0) return forced;
  const auto planes = Tarn::Testing::VnxDouble__Planes(aFormat, aWidth, aHeight);
  if (planes.empty() || aWidth <= 0 || aHeight <= 0 || !aStrides || !aPlanes || !aSample) {
    return vnxvideo_err_invalid_parameter;
  }
  for (size_t i = 0; i < planes.size(); ++i) {
    if (!aPlanes[i] || aStrides[i] < planes[i].second) return vnxvideo_err_invalid_parameter;
  }
  auto* sample = new _T_Sample{aFormat, aWidth, aHeight, {0, 0, 0}, {nullptr, nullptr, nullptr}, true, "", {}};
  for (size_t i = 0; i < planes.size(); ++i) {
    sample->strides_[i] = aStrides[i];
    sample->planes_[i] = aPlanes[i];
  }
  _s_samples.insert(sample);
  ++_s_state.live_samples_;
  aSample->ptr = sample;
  return 0;
}

int vnxvideo_raw_sample_allocate(EColorspace aFormat, int aWidth, int aHeight, vnxvideo_raw_sample_t* aSample) {
  const int forced = _T_Enter("vnxvideo_raw_sample_allocate");
  if (forced != 0) return forced;
  if (!aSample) return vnxvideo_err_invalid_parameter;
  _T_Sample* sample = _T_NewPackedSample(aFormat, aWidth, aHeight);
  if (!sample) return vnxvideo_err_invalid_parameter;
  aSample->ptr = sample;
  return 0;
}

int vnxvideo_raw_sample_copy(vnxvideo_raw_sample_t aSource, vnxvideo_raw_sample_t* aCopy) {
  const int forced = _T_Enter("vnxvideo_raw_sample_copy");
  if (forced != 0) return forced;
  _T_Sample* source = _T_LiveSample(aSource.ptr, "vnxvideo_raw_sample_copy");
  if (!source || !aCopy) return vnxvideo_err_invalid_parameter;
  _T_Sample* copy = _T_NewPackedSample(source->format_, source->width_, source->height_);
  if (!copy) return vnxvideo_err_invalid_parameter;
  const std::vector<uint8_t> pixels = _T_Pixels(*source);
  std::memcpy(copy->memory_.data(), pixels.data(), pixels.size());
  ++_s_state.copies_;
  aCopy->ptr = copy;
  return 0;
}

void vnxvideo_raw_sample_free(vnxvideo_raw_sample_t aSample) {
  _T_Enter("vnxvideo_raw_sample_free");
  if (!aSample.ptr) return;
  _T_Sample* sample = _T_LiveSample(aSample.ptr, "vnxvideo_raw_sample_free");
  if (!sample) return;
  _s_samples.erase(sample);
  --_s_state.live_samples_;
  ++_s_state.sample_frees_;
  _s_state.freed_wrapped_.push_back(sample->wrapped_);
  delete sample;
}

int vnxvideo_raw_sample_get_data(vnxvideo_raw_sample_t aSample, int* aFormat, int* aWidth, int* aHeight,
                                 int aStrides[3], uint8_t* aPlanes[3]) {
  _T_Enter("vnxvideo_raw_sample_get_data");
  _T_Sample* sample = _T_LiveSample(aSample.ptr, "vnxvideo_raw_sample_get_data");
  if (!sample) return vnxvideo_err_invalid_parameter;
  if (aFormat) *aFormat = sample->format_;
  if (aWidth) *aWidth = sample->width_;
  if (aHeight) *aHeight = sample->height_;
  for (int i = 0; i < 3; ++i) {
    if (aStrides) aStrides[i] = sample->strides_[i];
    if (aPlanes) aPlanes[i] = sample->planes_[i];
  }
  return 0;
}

}  // extern "C"
