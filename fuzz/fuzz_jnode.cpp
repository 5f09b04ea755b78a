// The JSON value tree's text parser. Whatever the text, from_string ends with
// a tree or a std::exception (its own runtime error, or JsonCpp's errors that
// pass through), on the 128 KiB stack of a download coroutine, since the
// nesting bound is there to keep parsing, printing and destroying a tree
// within such a stack. A parsed tree printed and parsed again gives the same
// tree, and printing that gives the same text.
#include <tarn/support/jnode.h>

#include "fuzz_support.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

namespace {

using Tarn::Support::from_string;
using Tarn::Support::jnode;
using Tarn::Support::jnode_type;
using Tarn::Support::to_string;

// Equal trees; a whole double printed as a number reads back as an integer,
// which counts as the same value.
bool _T_same(const jnode& a, const jnode& b) {
  if (a.get_type() == jnode_type::kDOUBLE && b.get_type() == jnode_type::kINT64)
    return a.asDoubleRef() == static_cast<double>(b.asIntRef());
  if (a.get_type() != b.get_type()) return false;
  switch (a.get_type()) {
    case jnode_type::kBOOL: return a.asBoolRef() == b.asBoolRef();
    case jnode_type::kINT64: return a.asIntRef() == b.asIntRef();
    case jnode_type::kDOUBLE: return a.asDoubleRef() == b.asDoubleRef();
    case jnode_type::kSTRING: return a.asStringRef() == b.asStringRef();
    case jnode_type::kNULLPTR: return true;
    case jnode_type::kJNODE_VECTOR: {
      const auto& x = a.asVectorRef();
      const auto& y = b.asVectorRef();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i)
        if (!_T_same(x[i], y[i])) return false;
      return true;
    }
    case jnode_type::kJNODE_MAP: {
      const auto& x = a.asMapRef();
      const auto& y = b.asMapRef();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
        if (i->first != j->first || !_T_same(i->second, j->second)) return false;
      return true;
    }
  }
  return false;
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool _T_valid_utf8(const std::string& aText) {
  const auto* p = reinterpret_cast<const unsigned char*>(aText.data());
  const size_t n = aText.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static const uint32_t kSHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSHORTEST[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

bool _T_valid_utf8(const jnode& aNode) {
  switch (aNode.get_type()) {
    case jnode_type::kSTRING: return _T_valid_utf8(aNode.asStringRef());
    case jnode_type::kJNODE_VECTOR:
      for (const jnode& item : aNode.asVectorRef())
        if (!_T_valid_utf8(item)) return false;
      return true;
    case jnode_type::kJNODE_MAP:
      for (const auto& member : aNode.asMapRef())
        if (!_T_valid_utf8(member.first) || !_T_valid_utf8(member.second)) return false;
      return true;
    default: return true;
  }
}

// JsonCpp's indented writer cuts a member name at a NUL; the compact one
// does not.
bool _T_names_without_nul(const jnode& aNode) {
  if (aNode.get_type() == jnode_type::kJNODE_VECTOR) {
    for (const jnode& item : aNode.asVectorRef())
      if (!_T_names_without_nul(item)) return false;
  } else if (aNode.get_type() == jnode_type::kJNODE_MAP) {
    for (const auto& member : aNode.asMapRef())
      if (member.first.find('\0') != std::string::npos || !_T_names_without_nul(member.second)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  Fuzz__RunOnSmallStack([&] {
    jnode tree;
    try {
      tree = from_string(text);
    } catch (const std::exception&) {
      return;  // refused: an outcome, as long as it is a std::exception
    }
    // What the tree prints must read back as the same tree. Only for trees
    // whose texts are valid UTF-8: JsonCpp's writer replaces what is not.
    if (!_T_valid_utf8(tree)) return;
    const std::string compact = to_string(tree, false);
    jnode again;
    try {
      again = from_string(compact);
    } catch (const std::exception& e) {
      Fuzz__Fail("printed tree does not parse: %s\n%s", e.what(), compact.c_str());
    }
    if (!_T_same(tree, again)) Fuzz__Fail("printed tree reads back differently:\n%s", compact.c_str());
    FUZZ_CHECK(to_string(again, false) == compact);
    const std::string pretty = to_string(tree, true);
    if (_T_names_without_nul(tree)) FUZZ_CHECK(to_string(from_string(pretty), false) == compact);
  });
  // The stream form reads with JsonCpp's other reader; it may accept or
  // refuse differently, but only with a std::exception.
  std::istringstream in(text);
  jnode streamed;
  try {
    in >> streamed;
  } catch (const std::exception&) {
  }
  return 0;
}
