// Shared body of Jnode__GetUint16 and Jnode__GetUint32: the two differ only
// in the integer type and in the function names their log records carry, so
// the names are passed in and the records read as if each had its own code.
#pragma once

#include <tarn/support/jnode.h>
#include <tarn/support/log.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tarn { namespace Support { namespace JnodeUint {

#define _T_LOG_AS(aFunc, aLevel, ...) ::LogWrite(__FILE__, __LINE__, (aFunc), (aLevel), __VA_ARGS__)

struct names {
  const char* public_;    // absence and node-pointer failures ("Jnode__GetUint16")
  const char* internal_;  // kind and range failures of members and items ("_T_jnode__get_uint16")
};

// The parameter as it follows "#/" in messages: the member name, the item
// index, or nothing for a bare node.
inline std::string _T_label(const char* aParamName) { return aParamName; }
inline std::string _T_label(size_t aParamIndex) { return std::to_string(aParamIndex); }

inline const jnode* _T_find(const jnode_map& aMap, const char* aParamName) {
  const auto member = aMap.find(std::string(aParamName));
  return member == aMap.end() ? nullptr : &member->second;
}

inline const jnode* _T_find(const jnode_vector& aVector, size_t aParamIndex) {
  return aParamIndex < aVector.size() ? &aVector[aParamIndex] : nullptr;
}

// Stores the node's integer when it lies in [aMinValue, aMaxValue] (compared
// as int64, so a negative value fails the minimum); otherwise logs once.
template <typename T>
bool Check(const char* aFunc, const jnode& aNode, const std::string& aLabel, T& aValue,
           const T aMinValue, const T aMaxValue) {
  if (aNode.get_type() != jnode_type::kINT64) {
    _T_LOG_AS(aFunc, 1, "fail: param #/%s has invalid type", aLabel.c_str());
    return false;
  }
  const int64_t value = aNode.asIntRef();
  if (value < static_cast<int64_t>(aMinValue)) {
    _T_LOG_AS(aFunc, 1, "fail: param #/%s has invalid value (actual:%li, min:%u)", aLabel.c_str(), value,
              static_cast<unsigned>(aMinValue));
    return false;
  }
  if (value > static_cast<int64_t>(aMaxValue)) {
    _T_LOG_AS(aFunc, 1, "fail: param #/%s has invalid value (actual:%li, max:%u)", aLabel.c_str(), value,
              static_cast<unsigned>(aMaxValue));
    return false;
  }
  aValue = static_cast<T>(value);
  return true;
}

// A member or item: absent gives the default (unchecked) when there is one,
// else a failure logged under the public name.
template <typename T, typename Container, typename Key>
bool Get(const names& aNames, const Container& aContainer, const Key aKey, T& aValue, const T* aDefValue,
         const T aMinValue, const T aMaxValue) {
  const jnode* node = _T_find(aContainer, aKey);
  if (node == nullptr) {
    if (aDefValue != nullptr) {
      aValue = *aDefValue;
      return true;
    }
    _T_LOG_AS(aNames.public_, 1, "fail: param #/%s is absent", _T_label(aKey).c_str());
    return false;
  }
  return Check(aNames.internal_, *node, _T_label(aKey), aValue, aMinValue, aMaxValue);
}

#undef _T_LOG_AS

}}}  // namespace Tarn::Support::JnodeUint
