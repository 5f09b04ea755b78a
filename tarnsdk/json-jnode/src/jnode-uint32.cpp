#include <tarn/support/jnode-uint32.h>

#include "jnode-uint.h"

#include <limits>

namespace Tarn { namespace Support {

namespace {

using T = uint32_t;
constexpr JnodeUint::names kNAMES{"Jnode__GetUint32", "_T_jnode__get_uint32"};
constexpr T kMIN = std::numeric_limits<T>::min();
constexpr T kMAX = std::numeric_limits<T>::max();

}  // namespace

bool Jnode__GetUint32(const jnode* aJnode, T& aValue, const T aMinValue, const T aMaxValue) {
  return JnodeUint::Check(kNAMES.public_, *aJnode, std::string(), aValue, aMinValue, aMaxValue);
}

bool Jnode__GetUint32(const jnode* aJnode, T& aValue) { return Jnode__GetUint32(aJnode, aValue, kMIN, kMAX); }

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, T& aValue, const T aMinValue,
                      const T aMaxValue) {
  return JnodeUint::Get<T>(kNAMES, aMap, aParamName, aValue, nullptr, aMinValue, aMaxValue);
}

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, T& aValue) {
  return JnodeUint::Get<T>(kNAMES, aMap, aParamName, aValue, nullptr, kMIN, kMAX);
}

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, T& aValue, const T aDefValue,
                      const T aMinValue, const T aMaxValue) {
  return JnodeUint::Get<T>(kNAMES, aMap, aParamName, aValue, &aDefValue, aMinValue, aMaxValue);
}

bool Jnode__GetUint32(const jnode_map& aMap, const char* aParamName, T& aValue, const T aDefValue) {
  return JnodeUint::Get<T>(kNAMES, aMap, aParamName, aValue, &aDefValue, kMIN, kMAX);
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, T& aValue, const T aMinValue,
                      const T aMaxValue) {
  return JnodeUint::Get<T>(kNAMES, aVector, aParamIndex, aValue, nullptr, aMinValue, aMaxValue);
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, T& aValue) {
  return JnodeUint::Get<T>(kNAMES, aVector, aParamIndex, aValue, nullptr, kMIN, kMAX);
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, T& aValue, const T aDefValue,
                      const T aMinValue, const T aMaxValue) {
  return JnodeUint::Get<T>(kNAMES, aVector, aParamIndex, aValue, &aDefValue, aMinValue, aMaxValue);
}

bool Jnode__GetUint32(const jnode_vector& aVector, const size_t aParamIndex, T& aValue, const T aDefValue) {
  return JnodeUint::Get<T>(kNAMES, aVector, aParamIndex, aValue, &aDefValue, kMIN, kMAX);
}

}}  // namespace Tarn::Support
