#include <tarn/support/jnode-uint32.h>

#include <tarn/support/log.h>
#include <tarn/types/exceptions.h>

#include <limits>
#include <string>

namespace Tarn { namespace Support {

namespace {

constexpr uint32_t kMIN = std::numeric_limits<uint32_t>::min();
constexpr uint32_t kMAX = std::numeric_limits<uint32_t>::max();

// Throw not_found_error for an absent parameter (the public forms decide
// whether that is a failure) and params_error, after logging, for one that
// is not an integer or lies outside [aMinValue, aMaxValue]. The comparison is
// made on the stored int64 value, so a negative number fails the minimum.
void _T_jnode__get_uint32(const jnode_map& aMap, const char* aParamName, uint32_t& aValue,
                          const uint32_t aMinValue, const uint32_t aMaxValue) {
  const auto member = aMap.find(std::string(aParamName));
  if (member == aMap.end()) throw not_found_error();
  if (member->second.get_type() != jnode_type::kINT64) {
    LOG(1, "fail: param #/%s has invalid type", aParamName);
    throw params_error();
  }
  const int64_t value = member->second.asIntRef();
  if (value < static_cast<int64_t>(aMinValue)) {
    LOG(1, "fail: param #/%s has invalid value (actual:%li, min:%u)", aParamName, value,
        static_cast<unsigned>(aMinValue));
    throw params_error();
  }
  if (value > static_cast<int64_t>(aMaxValue)) {
    LOG(1, "fail: param #/%s has invalid value (actual:%li, max:%u)", aParamName, value,
        static_cast<unsigned>(aMaxValue));
    throw params_error();
  }
  aValue = static_cast<uint32_t>(value);
}

void _T_jnode__get_uint32(const jnode_vector& aVector, const size_t aParamIndex, uint32_t& aValue,
                          const uint32_t aMinValue, const uint32_t aMaxValue) {
  if (aParamIndex >= aVector.size()) throw not_found_error();
  const jnode& item = aVector[aParamIndex];
  if (item.get_type() != jnode_type::kINT64) {
    LOG(1, "fail: param #/%zu has invalid type", aParamIndex);
    throw params_error();
  }
  const int64_t value = item.asIntRef();
  if (value < static_cast<int64_t>(aMinValue)) {
    LOG(1, "fail: param #/%zu has invalid value (actual:%li, min:%u)", aParamIndex, value,
        static_cast<unsigned>(aMinValue));
    throw params_error();
  }
  if (value > static_cast<int64_t>(aMaxValue)) {
    LOG(1, "fail: param #/%zu has invalid value (actual:%li, max:%u)", aParamIndex, value,
        static_cast<unsigned>(aMaxValue));
    throw params_error();
  }
  aValue = static_cast<uint32_t>(value);
}

}  // namespace

bool Jnode__GetUint32(const jnode* aJnode, uint32_t& aValue, const uint32_t aMinValue,
                      const uint32_t aMaxValue) {
  if (aJnode->get_type() != jnode_type::kINT64) {
    LOG(1, "fail: param #/ has invalid type");
    return false;
  }
  const int64_t value = aJnode->asIntRef();
  if (value < static_cast<int64_t>(aMinValue)) {
    LOG(1, "fail: param #/ has invalid value (actual:%li, min:%u)", value, static_cast<unsigned>(aMinValue));
    return false;
  }
  if (value > static_cast<int64_t>(aMaxValue)) {
    LOG(1, "fail: param #/ has invalid value (actual:%li, max:%u)", value, static_cast<unsigned>(aMaxValue));
    return false;
  }
  aValue = static_cast<uint32_t>(value);
  return true;
}

bool Jnode__GetUint32(const jnode* aJnode, uint32_t& aValue) {
  return Jnode__GetUint32(aJnode, aValue, kMIN, kMAX);
}

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, uint32_t& aValue,
                      const uint32_t aMinValue, const uint32_t aMaxValue) {
  try {
    _T_jnode__get_uint32(aMap, aParamName, aValue, aMinValue, aMaxValue);
    return true;
  } catch (const not_found_error&) {
    LOG(1, "fail: param #/%s is absent", aParamName);
    return false;
  } catch (const generic_error&) {
    return false;
  }
}

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, uint32_t& aValue) {
  return Jnode__GetUint32(aMap, aParamName, aValue, kMIN, kMAX);
}

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, uint32_t& aValue,
                      const uint32_t aDefValue, const uint32_t aMinValue, const uint32_t aMaxValue) {
  try {
    _T_jnode__get_uint32(aMap, aParamName, aValue, aMinValue, aMaxValue);
    return true;
  } catch (const not_found_error&) {
    aValue = aDefValue;
    return true;
  } catch (const generic_error&) {
    return false;
  }
}

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, uint32_t& aValue,
                      const uint32_t aDefValue) {
  return Jnode__GetUint32(aMap, aParamName, aValue, aDefValue, kMIN, kMAX);
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, uint32_t& aValue,
                      const uint32_t aMinValue, const uint32_t aMaxValue) {
  try {
    _T_jnode__get_uint32(aVector, aParamIndex, aValue, aMinValue, aMaxValue);
    return true;
  } catch (const not_found_error&) {
    LOG(1, "fail: param #/%zu is absent", aParamIndex);
    return false;
  } catch (const generic_error&) {
    return false;
  }
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, uint32_t& aValue) {
  return Jnode__GetUint32(aVector, aParamIndex, aValue, kMIN, kMAX);
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, uint32_t& aValue,
                      const uint32_t aDefValue, const uint32_t aMinValue, const uint32_t aMaxValue) {
  try {
    _T_jnode__get_uint32(aVector, aParamIndex, aValue, aMinValue, aMaxValue);
    return true;
  } catch (const not_found_error&) {
    aValue = aDefValue;
    return true;
  } catch (const generic_error&) {
    return false;
  }
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, uint32_t& aValue,
                      const uint32_t aDefValue) {
  return Jnode__GetUint32(aVector, aParamIndex, aValue, aDefValue, kMIN, kMAX);
}

}}  // namespace Tarn::Support
