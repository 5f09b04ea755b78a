#include <tarn/support/path.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace Tarn::Support;

std::string _T_normalize(const std::string& aPath) {
  char buffer[256];
  const size_t length = PathNormalize(aPath.c_str(), buffer, sizeof(buffer));
  EXPECT_EQ(length, std::strlen(buffer)) << aPath;
  return buffer;
}

TEST(PathNormalize, Table) {
  const std::pair<const char*, const char*> table[] = {
      // Absolute paths: one leading slash, ".." never above the root.
      {"/a//b/./c/", "/a/b/c"},
      {"/../x", "/x"},
      {"/", "/"},
      {"///", "/"},
      {"//a", "/a"},
      {"/..", "/"},
      {"/a/b/../../../c", "/c"},
      {"/a/./b/../", "/a"},
      // Relative paths: ".." cancels earlier names, stays when none is left.
      {"a/../..", ".."},
      {"a/..", "."},
      {"../a/./b/../c", "../a/c"},
      {"a/b/c/../../d", "a/d"},
      {"a/b/../../..", ".."},
      {"a/../../b/..", ".."},
      {"../a/..", ".."},
      {"../../a", "../../a"},
      {"a/b/../../../../c", "../../c"},
      {"..", ".."},
      {"./a/./b/", "a/b"},
      {".", "."},
      {"./", "."},
      {"./.", "."},
      {"", ""},
      // Not special: names that merely contain dots, and backslashes.
      {"...", "..."},
      {".a/..b/c..", ".a/..b/c.."},
      {"a\\..\\b", "a\\..\\b"},
      {"a\\b/../c", "c"},
  };
  for (const auto& [input, expected] : table) {
    EXPECT_EQ(_T_normalize(input), expected) << "input: " << input;
  }
}

TEST(PathNormalize, TruncatesAndReportsTheFullLength) {
  struct trunc_case {
    const char* path_;
    size_t size_;
    const char* written_;
    size_t length_;
  };
  const trunc_case table[] = {
      {"/a//b/./c/", 4, "/a/", 6},   {"/a//b/./c/", 6, "/a/b/", 6}, {"/a//b/./c/", 7, "/a/b/c", 6},
      {"/a//b/./c/", 1, "", 6},      {"a/..", 1, "", 1},            {"a/..", 2, ".", 1},
      {"../a/./b/../c", 3, "..", 6}, {"", 1, "", 0},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(std::string(c.path_) + " into " + std::to_string(c.size_));
    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(PathNormalize(c.path_, buffer, c.size_), c.length_);
    EXPECT_STREQ(buffer, c.written_);
    // Nothing is written past the given size.
    for (size_t i = c.size_; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], '#') << i;
  }
}

TEST(PathNormalize, ZeroSizeWritesNothing) {
  char byte = '#';
  EXPECT_EQ(PathNormalize("/a//b/./c/", &byte, 0), 6u);
  EXPECT_EQ(byte, '#');
  EXPECT_EQ(PathNormalize("/a//b/./c/", nullptr, 0), 6u);
}

TEST(PathNormalize, LongInputThatNormalisesShort) {
  std::string path = "/tmp";
  for (int i = 0; i < 3000; ++i) path += "/.";
  EXPECT_EQ(_T_normalize(path), "/tmp");
}

}  // namespace
