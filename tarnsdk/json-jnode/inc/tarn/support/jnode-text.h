// Jnode__GetText: read a string parameter out of a jnode tree into a
// std::string.
//
// Results: true when aValue holds the text (or, for the forms with a default,
// the default when the parameter is absent); false when it was not written,
// after one log line at level 1 (absent, or not a string). Only allocation
// failures escape as exceptions. Functions only read the tree.
#pragma once

#include <tarn/support/jnode.h>

#include <cstddef>
#include <string>

namespace Tarn { namespace Support {

// aJnode must not be null.
bool Jnode__GetText(const jnode* aJnode, std::string& aValue);
bool Jnode__GetText(const jnode_map& aMap, const char* aParamName, std::string& aValue);
bool Jnode__GetText(const jnode_map& aMap, const char* aParamName, std::string& aValue,
                    const std::string& aDefValue);
bool Jnode__GetText(const jnode_vector& aVector, size_t aParamIndex, std::string& aValue);
bool Jnode__GetText(const jnode_vector& aVector, size_t aParamIndex, std::string& aValue,
                    const std::string& aDefValue);

}}  // namespace Tarn::Support
