#include <tarn/support/path.h>

#include <cstring>
#include <vector>

namespace Tarn { namespace Support {

namespace {

struct _T_segment {
  const char* data_;
  size_t size_;
};

bool _T_is_dot_dot(const _T_segment& aSegment) {
  return aSegment.size_ == 2 && aSegment.data_[0] == '.' && aSegment.data_[1] == '.';
}

}  // namespace

size_t PathNormalize(const char* aPath, char* aBufferData, size_t aBufferSize) {
  const bool absolute = aPath[0] == '/';

  // Kept segments; a ".." cancels the last kept name. What is left at the
  // front of a relative path is an unbroken run of "..".
  std::vector<_T_segment> kept;
  for (const char* p = aPath; *p != '\0';) {
    if (*p == '/') {
      ++p;
      continue;
    }
    const char* end = p;
    while (*end != '\0' && *end != '/') ++end;
    const _T_segment segment{p, static_cast<size_t>(end - p)};
    p = end;

    if (segment.size_ == 1 && segment.data_[0] == '.') continue;
    if (_T_is_dot_dot(segment)) {
      if (!kept.empty() && !_T_is_dot_dot(kept.back())) {
        kept.pop_back();
      } else if (!absolute) {
        kept.push_back(segment);  // nothing left to cancel
      }  // an absolute path never climbs above the root
      continue;
    }
    kept.push_back(segment);
  }

  // Write with truncation, counting the complete length regardless.
  size_t length = 0;
  auto put = [&](const char* aData, size_t aSize) {
    if (length < aBufferSize) {
      const size_t room = aBufferSize - 1 - length;  // one byte stays for the NUL
      std::memcpy(aBufferData + length, aData, aSize < room ? aSize : room);
    }
    length += aSize;
  };

  if (absolute) put("/", 1);
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i != 0) put("/", 1);
    put(kept[i].data_, kept[i].size_);
  }
  if (length == 0 && aPath[0] != '\0') put(".", 1);

  if (aBufferSize != 0) aBufferData[length < aBufferSize ? length : aBufferSize - 1] = '\0';
  return length;
}

}}  // namespace Tarn::Support
