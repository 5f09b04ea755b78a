// PathNormalize against a plain reading of its rules: segments split at '/',
// "." dropped, a ".." dropped in an absolute path or when an earlier name is
// left to cancel it (counted backwards), a name dropped when later ".." cancel
// it (counted forwards). The normal form is a fixed point (normalising twice
// changes nothing), and every buffer size gives the truncated form with its
// NUL and the complete length, never a byte outside the buffer.
#include <tarn/support/path.h>

#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Tarn::Support::PathNormalize;

std::string _T_reference(const std::string& aPath) {
  const bool absolute = !aPath.empty() && aPath[0] == '/';
  std::vector<std::string> segments;
  for (size_t at = 0; at < aPath.size();) {
    size_t end = aPath.find('/', at);
    if (end == std::string::npos) end = aPath.size();
    if (end > at) segments.push_back(aPath.substr(at, end - at));
    at = end + 1;
  }
  auto weight = [&](size_t i) { return segments[i] == "." ? 0 : segments[i] == ".." ? -1 : 1; };

  std::string out = absolute ? "/" : "";
  bool written = false;
  for (size_t i = 0; i < segments.size(); ++i) {
    bool dropped = false;
    if (segments[i] == ".") {
      dropped = true;
    } else if (segments[i] == "..") {
      dropped = absolute;
      for (long count = 0, j = static_cast<long>(i) - 1; !dropped && j >= 0; --j)
        dropped = (count += weight(static_cast<size_t>(j))) > 0;
    } else {
      for (long count = 0, j = static_cast<long>(i) + 1; !dropped && j < static_cast<long>(segments.size()); ++j)
        dropped = (count += weight(static_cast<size_t>(j))) < 0;
    }
    if (dropped) continue;
    if (written) out += '/';
    out += segments[i];
    written = true;
  }
  if (out.empty() && !aPath.empty()) out = ".";
  return out;
}

// Normalises into a heap buffer of exactly aSize bytes (so the address
// sanitizer sees any byte written beyond it) and checks the contract.
void _T_check(const std::string& aPath, const std::string& aExpected, size_t aSize) {
  std::unique_ptr<char[]> buffer(aSize ? new char[aSize] : nullptr);
  if (aSize) std::memset(buffer.get(), 0x7F, aSize);
  const size_t length = PathNormalize(aPath.c_str(), buffer.get(), aSize);
  if (length != aExpected.size())
    Fuzz__Fail("<%s>: length %zu, expected %zu (%s)", aPath.c_str(), length, aExpected.size(), aExpected.c_str());
  if (aSize == 0) return;
  const size_t kept = aExpected.size() < aSize ? aExpected.size() : aSize - 1;
  if (std::memcmp(buffer.get(), aExpected.data(), kept) != 0 || buffer[kept] != '\0')
    Fuzz__Fail("<%s> into %zu bytes: <%.*s>, expected <%s>", aPath.c_str(), aSize, static_cast<int>(kept),
               buffer.get(), aExpected.substr(0, kept).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  // A C string: the path ends at the first NUL.
  const std::string path(reinterpret_cast<const char*>(aData), strnlen(reinterpret_cast<const char*>(aData), aSize));
  const std::string expected = _T_reference(path);
  const size_t n = expected.size();
  for (size_t size : {size_t{0}, size_t{1}, size_t{2}, n / 2, n, n + 1, n + 2}) _T_check(path, expected, size);
  if (aSize > 0) _T_check(path, expected, aData[aSize - 1] % (n + 2));
  // A fixed point: the normal form normalises to itself.
  _T_check(expected, expected, n + 1);
  return 0;
}
