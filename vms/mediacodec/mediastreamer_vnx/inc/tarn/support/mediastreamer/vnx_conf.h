// Configuration of one shared-memory streamer unit, decoded from the JSON text
// the host passes when it creates the unit, e.g.
//   {"endpoint": "cam-1", "max-size-mb": 64}
// Keys are matched without regard to letter case; other keys are ignored.
//
// Threads: no shared state of ours; may run on any thread.
// Errors: every refusal is logged once at level 1 and thrown as a
// generic_error family exception (params_error or internal_error).
#pragma once

#include <cstdint>
#include <string>

namespace Tarn { namespace Support {

struct vnx_streamer_conf {
  // Channel name: both the shared-memory allocator and the local video server
  // are created under it. Never empty after a successful decode.
  std::string endpoint_;
  // Size limit in MiB for the allocator and the server: 0 to 128.
  uint32_t max_size_mb_;
};

// Fills aConf from the JSON text aJnode or throws. Both keys are required
// ("endpoint": non-empty string; "max-size-mb": number, truncated toward zero,
// within 0..128). A null aJnode is refused like text that does not parse.
// On a throw aConf may hold a partial result; discard it.
void VnxStreamerConf__Decode(const char* aJnode, vnx_streamer_conf& aConf);

}}  // namespace Tarn::Support
