#include <tarn/support/jnode-text.h>

#include <tarn/support/log.h>
#include <tarn/types/exceptions.h>

namespace Tarn { namespace Support {

namespace {

// Throw not_found_error for an absent parameter (the public forms decide
// whether that is a failure) and params_error, after logging, for one that
// is not a string.
void _T_jnode__get_text(const jnode_map& aMap, const char* aParamName, std::string& aValue) {
  const auto member = aMap.find(std::string(aParamName));
  if (member == aMap.end()) throw not_found_error();
  if (member->second.get_type() != jnode_type::kSTRING) {
    LOG(1, "fail: param #/%s has invalid type", aParamName);
    throw params_error();
  }
  aValue = member->second.asStringRef();
}

void _T_jnode__get_text(const jnode_vector& aVector, size_t aParamIndex, std::string& aValue) {
  if (aParamIndex >= aVector.size()) throw not_found_error();
  const jnode& item = aVector[aParamIndex];
  if (item.get_type() != jnode_type::kSTRING) {
    LOG(1, "fail: param #/%zu has invalid type", aParamIndex);
    throw params_error();
  }
  aValue = item.asStringRef();
}

}  // namespace

bool Jnode__GetText(const jnode* aJnode, std::string& aValue) {
  if (aJnode->get_type() != jnode_type::kSTRING) {
    LOG(1, "fail: param #/ has invalid type");
    return false;
  }
  aValue = aJnode->asStringRef();
  return true;
}

bool Jnode__GetText(const jnode_map& aMap, const char* aParamName, std::string& aValue) {
  try {
    _T_jnode__get_text(aMap, aParamName, aValue);
    return true;
  } catch (const not_found_error&) {
    LOG(1, "fail: param #/%s is absent", aParamName);
    return false;
  } catch (const generic_error&) {
    return false;
  }
}

bool Jnode__GetText(const jnode_map& aMap, const char* aParamName, std::string& aValue,
                    const std::string& aDefValue) {
  try {
    _T_jnode__get_text(aMap, aParamName, aValue);
    return true;
  } catch (const not_found_error&) {
    aValue = aDefValue;
    return true;
  } catch (const generic_error&) {
    return false;
  }
}

bool Jnode__GetText(const jnode_vector& aVector, size_t aParamIndex, std::string& aValue) {
  try {
    _T_jnode__get_text(aVector, aParamIndex, aValue);
    return true;
  } catch (const not_found_error&) {
    LOG(1, "fail: param #/%zu is absent", aParamIndex);
    return false;
  } catch (const generic_error&) {
    return false;
  }
}

bool Jnode__GetText(const jnode_vector& aVector, size_t aParamIndex, std::string& aValue,
                    const std::string& aDefValue) {
  try {
    _T_jnode__get_text(aVector, aParamIndex, aValue);
    return true;
  } catch (const not_found_error&) {
    aValue = aDefValue;
    return true;
  } catch (const generic_error&) {
    return false;
  }
}

}}  // namespace Tarn::Support
