// Status of an operation, as passed to completion handlers.
#pragma once

namespace Tarn {

enum stat_t : int {
  kS_DONE = 0,
  kS_FAIL = 1,
  kS_BUSY = 2,
  kS_ALREADY = 3,
  kS_CANCELED = 4,
  kS_UNSUPPORTED = 5,
  kS_INVALID_PARAMS = 6,
  kS_INVALID_OPERATION = 7,
  kS_INTERNAL_ERROR = 8,
  kS_INVALID_LINK = 9,
  kS_NOT_FOUND = 10,
  kS_DENY = 11,
};

}  // namespace Tarn
