// A test double of the VMS video library, linked into test executables in
// place of libvnxvideo.so (and exported from them, so it also serves the
// shared libraries a test loads).
//
// It keeps every object in process memory, records the calls that matter to
// the plug-in, checks handles (a free of an unknown or already freed handle
// is recorded as an error, never a crash) and answers a forced code for any
// call on demand. Samples are really allocated and copied, so pixels can be
// compared. Single-threaded use only, like the tests that use it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <vnxvideo/vnxvideo.h>

namespace Tarn { namespace Testing {

struct vnx_double_format {
  int format_;
  int width_;
  int height_;
};

// The arguments of one vnxvideo_raw_sample_wrap call.
struct vnx_double_wrap {
  vnx_double_format format_;
  int strides_[3];
  const uint8_t* planes_[3];
};

// One vnxvideo_rawproc_process call and what the sample held at that moment.
struct vnx_double_processed {
  void* sample_;
  uint64_t ts_;
  int answer_;
  vnx_double_format format_;
  bool wrapped_;           // the sample only pointed at caller memory
  std::string allocator_;  // allocator the sample lives in ("" for none)
  std::vector<uint8_t> pixels_;  // the planes' rows, packed, one after another
};

struct vnx_double_state {
  // Forced answers by call name ("vnxvideo_raw_sample_copy" -> -2); absent
  // calls answer 0.
  std::map<std::string, int> answers_;
  // vnxvideo_with_shm_allocator_*: run the action even when a forced failure
  // is answered (a library that fails after running it).
  bool run_action_on_failure_ = false;
  // vnxvideo_with_shm_allocator_*: answer 0 without running the action.
  bool skip_actions_ = false;
  // vnxvideo_local_server_create: answer 0 with a null handle.
  bool null_server_ = false;

  std::vector<std::string> calls_;  // every call, by name, in order
  std::vector<vnx_double_format> set_formats_;
  std::vector<vnx_double_wrap> wraps_;
  std::vector<vnx_double_processed> processed_;
  std::vector<std::string> errors_;  // misuse of handles
  std::string server_name_;
  std::string server_allocator_;  // allocator current when the server was created
  int server_max_size_mb_ = -1;
  std::string allocator_name_;  // last allocator opened by name
  int allocator_max_size_mb_ = -1;

  int live_allocators_ = 0;  // open allocators (any number of references)
  int live_samples_ = 0;
  int live_servers_ = 0;
  int sample_frees_ = 0;  // vnxvideo_raw_sample_free of live samples
  std::vector<bool> freed_wrapped_;  // per freed sample, in order: was it a wrapper
  int copies_ = 0;        // successful vnxvideo_raw_sample_copy calls

  vnxvideo_log_t log_ = nullptr;
  void* log_usrptr_ = nullptr;
  int log_max_level_ = -1;
};

// The double's state; VnxDouble__Reset frees every object still alive and
// starts afresh.
vnx_double_state& VnxDouble__State();
void VnxDouble__Reset();

// Number of calls of that name since the last reset.
size_t VnxDouble__Count(const std::string& aCall);

// Name of the allocator a live sample was made in ("" for none or for a
// wrapper); "?" for a handle that is not a live sample.
std::string VnxDouble__SampleAllocator(void* aSample);

// Sends one line through the log function given to vnxvideo_init, as the
// library does for its own lines.
void VnxDouble__Log(ELogLevel aLevel, const char* aSubsystem, const char* aMessage);

// Rows per plane and bytes per row of a packed sample of that format; empty
// for formats the double does not know.
std::vector<std::pair<int, int>> VnxDouble__Planes(int aFormat, int aWidth, int aHeight);

}}  // namespace Tarn::Testing
