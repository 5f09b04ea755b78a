#include <tarn/support/cjson.h>
#include <tarn/support/log.h>
#include <tarn/support/mediastreamer/vnx_conf.h>
#include <tarn/types/exceptions.h>

#include <cJSON.h>

namespace Tarn { namespace Support {

void VnxStreamerConf__Decode(const char* aJnode, vnx_streamer_conf& aConf) {
  // Parse. A null text never reaches the parser; the error position is taken
  // from this call, not from cJSON's slot shared by all threads.
  const char* errorAt = nullptr;
  cjson_up_t tree(aJnode != nullptr ? cJSON_ParseWithOpts(aJnode, &errorAt, 0) : nullptr,
                  cJSON_Delete);
  if (!tree) {
    LOG(1, "fail: cJSON_Parse (%s)", errorAt != nullptr ? errorAt : "");
    throw params_error();
  }

  // The channel name. Anything but a non-empty string (a number, an object,
  // an array, null) would name no channel at all: refuse it like an empty one,
  // whatever the record held before.
  const cJSON* endpoint = cJSON_GetObjectItem(tree.get(), "endpoint");
  if (endpoint == nullptr) {
    LOG(1, "fail: param </endpoint> has invalid value");
    throw params_error();
  }
  if (!cJSON_IsString(endpoint) || endpoint->valuestring == nullptr ||
      endpoint->valuestring[0] == '\0') {
    LOG(1, "fail: param </endpoint> has invalid value");
    throw internal_error();
  }
  aConf.endpoint_ = endpoint->valuestring;

  // The size limit: required, no default.
  const cJSON* maxSizeMb = cJSON_GetObjectItem(tree.get(), "max-size-mb");
  if (maxSizeMb == nullptr) {
    LOG(1, "fail: param </max-size-mb> has invalid value");
    throw params_error();
  }
  if (!cJSON__DecodeJsonReqParamU32(maxSizeMb, aConf.max_size_mb_, 0, 128)) {
    LOG(1, "fail: param </max-size-mb> has invalid value");
    throw params_error();
  }
}

}}  // namespace Tarn::Support
