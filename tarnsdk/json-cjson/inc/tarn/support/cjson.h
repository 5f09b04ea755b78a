// Parsing and typed reading of cJSON trees: the SDK's helpers for small
// configuration texts.
//
// Ownership: the parse functions return the tree in an owning pointer that
// frees it with cJSON_Delete. The readers only borrow items.
// Threads: no shared state of ours. Parse failures are located through the
// parser's own end pointer, not cJSON's process-wide error slot.
// Errors: the parse functions log once at level 1 and throw params_error;
// the readers answer false (logged, output untouched) except
// cJSON__DecodeJsonOptParamU32, which neither logs nor reports.
// The item arguments of the readers must not be null: look the item up and
// handle its absence first.
#pragma once

#include <cJSON.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Tarn { namespace Support {

typedef std::unique_ptr<cJSON, void (*)(cJSON*)> cjson_up_t;

// Parses the JSON file at aJsonPath (text after the first complete value is
// ignored). Null or empty path, unreadable file, or no JSON: params_error.
cjson_up_t cJSON__DecodeFile(const char* aJsonPath);

// Parses the JSON text aJsonData (text after the first complete value is
// ignored). A null text or no JSON: params_error.
cjson_up_t cJSON__DecodeText(const char* aJsonData);

// A number (its integer value, truncated toward zero) or a numeric string
// (strtol base 0: "0x10" is 16, "010" is 8) within aMinValue..aMaxValue.
bool cJSON__DecodeU32(const cJSON* aJnode, uint32_t& aValue, uint32_t aMinValue,
                      uint32_t aMaxValue);

// A non-empty string.
bool cJSON__DecodeStr(const cJSON* aJnode, std::string& aValue);

// A number (truncated toward zero) within the signed, inclusive range
// aMinValue..aMaxValue. Strings, booleans and null are refused.
bool cJSON__DecodeJsonReqParamU32(const cJSON* aJson, uint32_t& aValue, int aMinValue,
                                  int aMaxValue);

// An optional number or numeric string, stored as is (no range); any other
// type leaves aValue unchanged.
void cJSON__DecodeJsonOptParamU32(const cJSON* aJson, uint32_t& aValue);

}}  // namespace Tarn::Support
