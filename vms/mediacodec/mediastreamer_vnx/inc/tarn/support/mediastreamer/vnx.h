// The shared-memory streamer unit: copies every frame the host hands it into
// shared memory of the VMS video library and publishes it through a local
// server named by the configured endpoint.
//
// Ownership: the unit owns its allocator and server; the host ends it with
// destroy() only. Threads: calls on one unit must not overlap; units share no
// state. Errors: see streamer_unit_like; the factory never throws.
#pragma once

#include <tarn/support/mediastreamer/streamer.h>

namespace Tarn { namespace Support {

// A new unit configured by the JSON text aConf ({"endpoint": ..., "max-size-mb":
// ...}), or null after logging when the text is invalid or the unit's
// allocator or server cannot be set up.
streamer_unit_like* Streamer__CreateVnx(const char* aConf) noexcept;

}}  // namespace Tarn::Support
