#include <tarn/support/jnode-jnode.h>

#include <tarn/support/log.h>
#include <tarn/types/exceptions.h>

#include <algorithm>
#include <string>

namespace Tarn { namespace Support {

namespace {

// Stands for an absent array where an empty one is allowed. Built on first
// use (thread-safe), never modified, alive until process exit, so the
// pointers handed out stay valid.
const jnode* _T_empty_list() {
  static const jnode empty_list = jlist{};
  return &empty_list;
}

bool _T_size_allowed(const std::initializer_list<size_t> aSizes, size_t aSize) {
  return std::find(aSizes.begin(), aSizes.end(), aSize) != aSizes.end();
}

}  // namespace

bool Jnode__GetJnode(const jnode_map& aMap, const char* aParamName, const jnode*& aValue,
                     const jnode_type aParamType) {
  const auto member = aMap.find(std::string(aParamName));
  if (member == aMap.end()) return false;
  if (member->second.get_type() != aParamType) return false;
  aValue = &member->second;
  return true;
}

bool Jnode__GetJnode(const jnode_vector& aVector, const size_t aParamIndex, const jnode*& aValue,
                     const jnode_type aParamType) {
  if (aParamIndex >= aVector.size()) {
    LOG(4, "done: param #/%zu is absent", aParamIndex);
    return false;
  }
  const jnode& item = aVector[aParamIndex];
  if (item.get_type() != aParamType) {
    LOG(1, "fail: param #/%zu has invalid type", aParamIndex);
    return false;
  }
  aValue = &item;
  return true;
}

bool Jnode__GetJnodeWithList(const jnode_map& aMap, const char* aParamName, const jnode*& aValue,
                             const size_t aSize) {
  if (aSize == 0) {
    LOG(1, "fail: unsupported_error (size:0)");
    throw unsupported_error();
  }
  if (!Jnode__GetJnode(aMap, aParamName, aValue, jnode_type::kJNODE_VECTOR)) return false;
  const size_t actual = aValue->asVectorRef().size();
  if (actual != aSize) {
    LOG(1, "fail: param #/%s has invalid size (expected:%zu, actual:%zu)", aParamName, aSize, actual);
    return false;
  }
  return true;
}

bool Jnode__GetJnodeWithList(const jnode_vector& aVector, const size_t aParamIndex, const jnode*& aValue,
                             const size_t aSize) {
  if (aSize == 0) {
    LOG(1, "fail: unsupported_error (size:0)");
    throw unsupported_error();
  }
  if (!Jnode__GetJnode(aVector, aParamIndex, aValue, jnode_type::kJNODE_VECTOR)) return false;
  const size_t actual = aValue->asVectorRef().size();
  if (actual != aSize) {
    LOG(1, "fail: param #/%zu has invalid size (expected:%zu, actual:%zu)", aParamIndex, aSize, actual);
    return false;
  }
  return true;
}

bool Jnode__GetJnodeWithList(const jnode_map& aMap, const char* aParamName, const jnode*& aValue,
                             const std::initializer_list<size_t> aSizes) {
  const jnode* found = nullptr;
  if (Jnode__GetJnode(aMap, aParamName, found, jnode_type::kJNODE_VECTOR)) {
    aValue = found;
    const size_t actual = found->asVectorRef().size();
    if (_T_size_allowed(aSizes, actual)) return true;
    LOG(1, "fail: param #/%s has invalid size (actual:%zu)", aParamName, actual);
    return false;
  }
  if (!_T_size_allowed(aSizes, 0)) return false;
  aValue = _T_empty_list();
  return true;
}

bool Jnode__GetJnodeWithList(const jnode_vector& aVector, const size_t aParamIndex, const jnode*& aValue,
                             const std::initializer_list<size_t> aSizes) {
  const jnode* found = nullptr;
  if (Jnode__GetJnode(aVector, aParamIndex, found, jnode_type::kJNODE_VECTOR)) {
    aValue = found;
    const size_t actual = found->asVectorRef().size();
    if (_T_size_allowed(aSizes, actual)) return true;
    LOG(1, "fail: param #/%zu has invalid size (actual:%zu)", aParamIndex, actual);
    return false;
  }
  if (!_T_size_allowed(aSizes, 0)) return false;
  aValue = _T_empty_list();
  return true;
}

}}  // namespace Tarn::Support
