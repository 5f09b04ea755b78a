#include <tarn/support/cjson.h>
#include <tarn/support/fs.h>
#include <tarn/support/log.h>
#include <tarn/types/exceptions.h>

#include <cstdlib>
#include <string>

namespace Tarn { namespace Support {

namespace {

// cJSON_Parse with the error position taken from this very call: cJSON's
// global error slot is shared by every thread that parses. Trailing text
// after the first value is ignored, as with cJSON_Parse. A null text is
// refused without reaching the parser; its error position is empty.
cJSON* _T_parse(const char* aText, const char*& aErrorAt) {
  aErrorAt = "";
  if (aText == nullptr) return nullptr;
  const char* end = nullptr;
  cJSON* tree = cJSON_ParseWithOpts(aText, &end, 0);
  if (tree == nullptr && end != nullptr) aErrorAt = end;
  return tree;
}

bool _T_is_type(const cJSON* aItem, int aType) { return (aItem->type & 0xFF) == aType; }

}  // namespace

cjson_up_t cJSON__DecodeFile(const char* aJsonPath) {
  if (aJsonPath == nullptr || aJsonPath[0] == '\0') {
    LOG(1, "fail: path:null");
    throw params_error();
  }
  std::string text;
  try {
    text = Fs__LoadTextFile(std::string(aJsonPath));
  } catch (const generic_error&) {
    LOG(1, "fail: Fs__LoadTextFile <%s>", aJsonPath);
    throw params_error();
  }
  const char* errorAt = "";
  cjson_up_t tree(_T_parse(text.c_str(), errorAt), cJSON_Delete);
  if (!tree) {
    LOG(1, "fail: cJSON_Parse <%s> (%s)", aJsonPath, errorAt);
    throw params_error();
  }
  return tree;
}

cjson_up_t cJSON__DecodeText(const char* aJsonData) {
  const char* errorAt = "";
  cjson_up_t tree(_T_parse(aJsonData, errorAt), cJSON_Delete);
  if (!tree) {
    LOG(1, "fail: cJSON_Parse (%s)", errorAt);
    throw params_error();
  }
  return tree;
}

// The readers log a bare "fail": they do not know which parameter they read,
// so the caller's own line, which names it, says what was refused.
bool cJSON__DecodeU32(const cJSON* aJnode, uint32_t& aValue, uint32_t aMinValue,
                      uint32_t aMaxValue) {
  int64_t value = 0;
  if (_T_is_type(aJnode, cJSON_Number)) {
    value = aJnode->valueint;
  } else if (_T_is_type(aJnode, cJSON_String) && aJnode->valuestring != nullptr) {
    value = std::strtol(aJnode->valuestring, nullptr, 0);
  } else {
    LOG(1, "fail");
    return false;
  }
  if (value < static_cast<int64_t>(aMinValue) || value > static_cast<int64_t>(aMaxValue)) {
    LOG(1, "fail");
    return false;
  }
  aValue = static_cast<uint32_t>(value);
  return true;
}

bool cJSON__DecodeStr(const cJSON* aJnode, std::string& aValue) {
  if (!_T_is_type(aJnode, cJSON_String) || aJnode->valuestring == nullptr) {
    LOG(1, "fail");
    return false;
  }
  if (aJnode->valuestring[0] == '\0') {
    LOG(1, "fail");
    return false;
  }
  aValue = aJnode->valuestring;
  return true;
}

bool cJSON__DecodeJsonReqParamU32(const cJSON* aJson, uint32_t& aValue, int aMinValue,
                                  int aMaxValue) {
  if (!_T_is_type(aJson, cJSON_Number)) {
    LOG(4, "fail");
    return false;
  }
  if (aJson->valueint < aMinValue) {
    LOG(4, "fail");
    return false;
  }
  if (aJson->valueint > aMaxValue) {
    LOG(4, "fail");
    return false;
  }
  aValue = static_cast<uint32_t>(aJson->valueint);
  return true;
}

void cJSON__DecodeJsonOptParamU32(const cJSON* aJson, uint32_t& aValue) {
  if (_T_is_type(aJson, cJSON_Number)) {
    aValue = static_cast<uint32_t>(aJson->valueint);
  } else if (_T_is_type(aJson, cJSON_String) && aJson->valuestring != nullptr) {
    aValue = static_cast<uint32_t>(std::strtoul(aJson->valuestring, nullptr, 0));
  }
}

}}  // namespace Tarn::Support
