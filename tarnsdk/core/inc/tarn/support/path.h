// Lexical path normalisation, without touching the file system.
//
// Threads: pure function, no shared state.
#pragma once

#include <cstddef>

namespace Tarn { namespace Support {

// Writes the normal form of aPath into aBufferData: a single leading '/' for
// an absolute path, no empty or "." segments, ".." cancelled against earlier
// names (never above the root of an absolute path; kept in a relative path
// when nothing is left to cancel), no trailing '/'. A relative path that
// vanishes entirely gives "."; "" gives "". Only '/' separates segments.
//
// The output is truncated to aBufferSize - 1 bytes and always NUL-terminated
// when aBufferSize is not 0 (aBufferData may be null only when aBufferSize is
// 0). Returns the length of the complete normal form without its NUL: a value
// of aBufferSize or more means the output was truncated. aPath must not be
// null.
size_t PathNormalize(const char* aPath, char* aBufferData, size_t aBufferSize);

}}  // namespace Tarn::Support
