// The exports of libvnx-streamer-bundle.so, which a media-streamer host
// resolves by name (dlsym) after loading the plug-in.
//
// Call order: MediaStreamerInitBundle once, MediaStreamerCreateUnit once per
// unit (each unit ends with its own destroy()), MediaStreamerFiniBundle at the
// end. None of them throws; failures are logged and answered as false or
// null. The plug-in starts no thread and keeps no list of its units.
#pragma once

#include <tarn/support/mediastreamer/streamer.h>

extern "C" {

// Sets up the VMS video library for the process and routes every line of it
// into the product log at level 4. False when the library refuses; calling it
// again tries again.
bool MediaStreamerInitBundle();

// Only logs: the library is not shut down and live units keep working.
void MediaStreamerFiniBundle();

// A new unit configured by the JSON text aConf ({"endpoint": ..., "max-size-mb":
// ...}), or null after logging; a null result needs no clean-up.
Tarn::Support::streamer_unit_like* MediaStreamerCreateUnit(const char* aConf);

}  // extern "C"

namespace Tarn { namespace Support {

// The exports' types, for hosts that resolve them by name.
typedef bool (*media_streamer_init_bundle_fn)();
typedef void (*media_streamer_fini_bundle_fn)();
typedef streamer_unit_like* (*media_streamer_create_unit_fn)(const char* aConf);

}}  // namespace Tarn::Support
