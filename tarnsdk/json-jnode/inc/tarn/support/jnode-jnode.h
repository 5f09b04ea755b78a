// Jnode__GetJnode, Jnode__GetJnodeWithList: find a member or item of a given
// kind in a jnode tree and hand out a pointer to it.
//
// The pointer points into the caller's tree (or at a shared, never-modified
// empty array node that lives for the whole process) and is valid as long as
// that tree is. Functions only read the tree; several threads may read one
// tree at once while nobody modifies it.
//
// Results: true when aValue now points at the node; false when the node is
// absent or of another kind. Failures of the map forms of Jnode__GetJnode are
// not logged (callers decide whether an absent member is an error); the other
// failures are logged once here. The length-checking forms have already set
// aValue to the array when they report a wrong length. A required length of 0
// is a programming error: it is logged and thrown as Tarn::unsupported_error.
#pragma once

#include <tarn/support/jnode.h>

#include <cstddef>
#include <initializer_list>

namespace Tarn { namespace Support {

// Member aParamName of kind aParamType. Writes no log line.
bool Jnode__GetJnode(const jnode_map& aMap, const char* aParamName, const jnode*& aValue,
                     const jnode_type aParamType);
// Item aParamIndex of kind aParamType. An index past the end is logged at
// level 4, an item of another kind at level 1.
bool Jnode__GetJnode(const jnode_vector& aVector, const size_t aParamIndex, const jnode*& aValue,
                     const jnode_type aParamType);

// An array member, any length.
inline bool Jnode__GetJnodeWithList(const jnode_map& aMap, const char* aParamName, const jnode*& aValue) {
  return Jnode__GetJnode(aMap, aParamName, aValue, jnode_type::kJNODE_VECTOR);
}

// An array member or item of exactly aSize items (aSize > 0).
bool Jnode__GetJnodeWithList(const jnode_map& aMap, const char* aParamName, const jnode*& aValue,
                             const size_t aSize);
bool Jnode__GetJnodeWithList(const jnode_vector& aVector, const size_t aParamIndex, const jnode*& aValue,
                             const size_t aSize);

// An array member or item whose length is one of aSizes. When aSizes holds 0,
// a member or item that is absent or not an array stands for an empty array:
// aValue then points at the shared empty array node.
bool Jnode__GetJnodeWithList(const jnode_map& aMap, const char* aParamName, const jnode*& aValue,
                             const std::initializer_list<size_t> aSizes);
bool Jnode__GetJnodeWithList(const jnode_vector& aVector, const size_t aParamIndex, const jnode*& aValue,
                             const std::initializer_list<size_t> aSizes);

}}  // namespace Tarn::Support
