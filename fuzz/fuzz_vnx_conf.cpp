// The unit configuration decoder and the cJSON helpers. A configuration text
// is decoded into a record or refused with an exception of the SDK's tree;
// any other exception, and any crash, is a finding. An accepted record must
// hold what the text says. The helpers read every member of the parsed text:
// a true result lies within the asked range, a false one leaves the output
// alone, and parsing the same text from a file gives the same tree.
#include <tarn/support/cjson.h>
#include <tarn/support/mediastreamer/vnx_conf.h>
#include <tarn/types/exceptions.h>

#include "fuzz_support.h"

#include <cJSON.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

using Tarn::generic_error;
using Tarn::Support::cJSON__DecodeFile;
using Tarn::Support::cJSON__DecodeJsonOptParamU32;
using Tarn::Support::cJSON__DecodeJsonReqParamU32;
using Tarn::Support::cJSON__DecodeStr;
using Tarn::Support::cJSON__DecodeText;
using Tarn::Support::cJSON__DecodeU32;
using Tarn::Support::cjson_up_t;
using Tarn::Support::vnx_streamer_conf;
using Tarn::Support::VnxStreamerConf__Decode;

constexpr uint32_t kUNTOUCHED = 0xDEADBEEF;

std::string _T_print(const cJSON* aTree) {
  std::unique_ptr<char, void (*)(void*)> text(cJSON_PrintUnformatted(aTree), std::free);
  return text ? text.get() : "";
}

// The ranges the readers are asked for, picked by the text's length.
struct _T_range {
  uint32_t min_, max_;
  int signed_min_, signed_max_;
};
constexpr _T_range kRANGES[] = {
    {0, 128, 0, 128}, {0, UINT32_MAX, INT32_MIN, INT32_MAX}, {5, 5, -1, -1}, {10, 0, 10, 0}, {1u << 31, UINT32_MAX, -7, 7},
};

void _T_check_readers(const cJSON* aItem, const _T_range& aRange) {
  uint32_t value = kUNTOUCHED;
  if (cJSON__DecodeU32(aItem, value, aRange.min_, aRange.max_))
    FUZZ_CHECK(value >= aRange.min_ && value <= aRange.max_);
  else
    FUZZ_CHECK(value == kUNTOUCHED);

  value = kUNTOUCHED;
  if (cJSON__DecodeJsonReqParamU32(aItem, value, aRange.signed_min_, aRange.signed_max_)) {
    FUZZ_CHECK(cJSON_IsNumber(aItem));
    FUZZ_CHECK(static_cast<int>(value) >= aRange.signed_min_ && static_cast<int>(value) <= aRange.signed_max_);
  } else {
    FUZZ_CHECK(value == kUNTOUCHED);
  }

  std::string text = "untouched";
  if (cJSON__DecodeStr(aItem, text))
    FUZZ_CHECK(cJSON_IsString(aItem) && !text.empty() && text == aItem->valuestring);
  else
    FUZZ_CHECK(text == "untouched");

  value = kUNTOUCHED;
  cJSON__DecodeJsonOptParamU32(aItem, value);
  if (!cJSON_IsNumber(aItem) && !cJSON_IsString(aItem)) FUZZ_CHECK(value == kUNTOUCHED);
}

// A file of this process holding the text, for cJSON__DecodeFile: on tmpfs
// when there is one, since it is written for every input.
const std::string& _T_file() {
  static const std::string* path = [] {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    auto* p = new std::string(std::string(dir) + "/tarn-fuzz-conf-" + std::to_string(::getpid()) + ".json");
    std::atexit([] { ::unlink(path->c_str()); });
    return p;
  }();
  return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);

  vnx_streamer_conf conf{};
  try {
    VnxStreamerConf__Decode(text.c_str(), conf);
    // Accepted: the endpoint is the text's non-empty "endpoint" string, the
    // size its "max-size-mb" number within 0 to 128.
    cJSON* tree = cJSON_Parse(text.c_str());
    FUZZ_CHECK(tree != nullptr);
    const cJSON* endpoint = cJSON_GetObjectItem(tree, "endpoint");
    const cJSON* size = cJSON_GetObjectItem(tree, "max-size-mb");
    FUZZ_CHECK(cJSON_IsString(endpoint) && conf.endpoint_ == endpoint->valuestring && !conf.endpoint_.empty());
    FUZZ_CHECK(cJSON_IsNumber(size) && conf.max_size_mb_ <= 128 &&
               static_cast<int>(conf.max_size_mb_) == size->valueint);
    cJSON_Delete(tree);
  } catch (const generic_error&) {
    // Refused: logged and thrown as the SDK's exception, which the unit
    // factory turns into a null unit.
  }

  cjson_up_t tree(nullptr, cJSON_Delete);
  try {
    tree = cJSON__DecodeText(text.c_str());
  } catch (const generic_error&) {
  }

  // The same text from a file: the same tree, or the same refusal.
  {
    std::FILE* file = std::fopen(_T_file().c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), file) == text.size());
    std::fclose(file);
    cjson_up_t fromFile(nullptr, cJSON_Delete);
    try {
      fromFile = cJSON__DecodeFile(_T_file().c_str());
    } catch (const generic_error&) {
    }
    FUZZ_CHECK(!tree == !fromFile);
    if (tree) FUZZ_CHECK(_T_print(tree.get()) == _T_print(fromFile.get()));
  }

  if (tree) {
    const _T_range& range = kRANGES[aSize % (sizeof kRANGES / sizeof kRANGES[0])];
    _T_check_readers(tree.get(), range);
    for (const cJSON* item = tree->child; item != nullptr; item = item->next) _T_check_readers(item, range);
  }
  return 0;
}
