// Jnode__GetUint16: read an integer parameter in [aMinValue, aMaxValue]
// (both inclusive; 0..65535 when no range is given) out of a jnode tree.
//
// Results: true when aValue holds the value (or, for the forms with a
// default, the default, unchecked, when the parameter is absent); false when
// aValue was not written, after one log line at level 1 (absent, not an
// integer, below the minimum, above the maximum). A real number with a
// fraction is not an integer; a whole one parsed from text (3.0) is. Only
// allocation failures escape as exceptions. Functions only read the tree.
#pragma once

#include <tarn/support/jnode.h>

#include <cstddef>
#include <cstdint>

namespace Tarn { namespace Support {

// aJnode must not be null.
bool Jnode__GetUint16(const jnode* aJnode, uint16_t& aValue);
bool Jnode__GetUint16(const jnode* aJnode, uint16_t& aValue, const uint16_t aMinValue,
                      const uint16_t aMaxValue);

bool Jnode__GetUint16(const jnode_map& aMap, const char* aParamName, uint16_t& aValue);
bool Jnode__GetUint16(const jnode_map& aMap, const char* aParamName, uint16_t& aValue,
                      const uint16_t aMinValue, const uint16_t aMaxValue);
bool Jnode__GetUint16(const jnode_map& aMap, const char* aParamName, uint16_t& aValue,
                      const uint16_t aDefValue);
bool Jnode__GetUint16(const jnode_map& aMap, const char* aParamName, uint16_t& aValue,
                      const uint16_t aDefValue, const uint16_t aMinValue, const uint16_t aMaxValue);

bool Jnode__GetUint16(const jnode_vector& aVector, const size_t aParamIndex, uint16_t& aValue);
bool Jnode__GetUint16(const jnode_vector& aVector, const size_t aParamIndex, uint16_t& aValue,
                      const uint16_t aMinValue, const uint16_t aMaxValue);
bool Jnode__GetUint16(const jnode_vector& aVector, const size_t aParamIndex, uint16_t& aValue,
                      const uint16_t aDefValue);
bool Jnode__GetUint16(const jnode_vector& aVector, const size_t aParamIndex, uint16_t& aValue,
                      const uint16_t aDefValue, const uint16_t aMinValue, const uint16_t aMaxValue);

}}  // namespace Tarn::Support
