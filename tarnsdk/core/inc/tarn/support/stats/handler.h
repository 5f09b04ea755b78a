// The statistics callback a host passes to a unit's collectStats.
//
// The unit calls it synchronously with the host's argument and a
// NUL-terminated text that is valid only during the call; the handler must
// copy what it wants to keep.
#pragma once

namespace Tarn { namespace Support {

typedef void (*stats_handler_fn)(void* aHandlerArg, const char* aStats);

}}  // namespace Tarn::Support
