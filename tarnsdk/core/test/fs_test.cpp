#include <tarn/support/fs.h>
#include <tarn/testing/log_capture.h>
#include <tarn/types/exceptions.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

using namespace Tarn;
using namespace Tarn::Support;
using namespace Tarn::Testing;

// A fresh temporary directory per test, removed with everything in it.
class FsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarn-fs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    LogCapture__Clear();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string Path(const std::string& aRelative) const { return root_ + "/" + aRelative; }
  void Dir(const std::string& aRelative) const {
    ASSERT_EQ(mkdir(Path(aRelative).c_str(), 0755), 0) << aRelative;
  }
  void File(const std::string& aRelative, const std::string& aText = "x") const {
    std::ofstream(Path(aRelative), std::ios::binary) << aText;
  }
  void Link(const std::string& aTarget, const std::string& aRelative) const {
    ASSERT_EQ(symlink(aTarget.c_str(), Path(aRelative).c_str()), 0) << aRelative;
  }
  bool Exists(const std::string& aRelative) const {
    struct stat info;
    return lstat(Path(aRelative).c_str(), &info) == 0;
  }
  bool IsDir(const std::string& aRelative) const {
    struct stat info;
    return lstat(Path(aRelative).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  mode_t Mode(const std::string& aRelative) const {
    struct stat info;
    EXPECT_EQ(stat(Path(aRelative).c_str(), &info), 0);
    return info.st_mode & 07777;
  }
  std::string root_;
};

// Runs a piece of a test under a given umask and restores the old one.
class _T_umask {
 public:
  explicit _T_umask(mode_t aMask) : old_(umask(aMask)) {}
  ~_T_umask() { umask(old_); }

 private:
  mode_t old_;
};

// Runs a piece of a test in a given working directory.
class _T_chdir {
 public:
  explicit _T_chdir(const std::string& aDir) {
    char* old = getcwd(nullptr, 0);
    old_ = old;
    std::free(old);
    EXPECT_EQ(chdir(aDir.c_str()), 0);
  }
  ~_T_chdir() { EXPECT_EQ(chdir(old_.c_str()), 0); }

 private:
  std::string old_;
};

// ---------------------------------------------------------------- Fs__MkDir

TEST_F(FsTree, MkDirCreatesMissingParents) {
  EXPECT_EQ(Fs__MkDir(Path("x//y/./z").c_str(), 0755), 0);
  EXPECT_TRUE(IsDir("x"));
  EXPECT_TRUE(IsDir("x/y"));
  EXPECT_TRUE(IsDir("x/y/z"));
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();

  // Existing: nothing to do, nothing logged.
  EXPECT_EQ(Fs__MkDir(Path("x/y/z").c_str(), 0700), 0);
  EXPECT_EQ(Fs__MkDir(root_.c_str(), 0700), 0);
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
}

TEST_F(FsTree, MkDirRelativePath) {
  _T_chdir in(root_);
  EXPECT_EQ(Fs__MkDir("a/b/c", 0755), 0);
  EXPECT_TRUE(IsDir("a"));
  EXPECT_TRUE(IsDir("a/b"));
  EXPECT_TRUE(IsDir("a/b/c"));
  EXPECT_EQ(Fs__MkDir("a/../d/./e", 0755), 0);
  EXPECT_TRUE(IsDir("d/e"));
}

// A spelling that the system cannot resolve ("gone" does not exist) but that
// names an existing directory once normalised: the directory is there, so
// that is success, not EEXIST.
TEST_F(FsTree, MkDirOnAnExistingDirectorySpelledThroughAMissingName) {
  Dir("b");
  EXPECT_EQ(Fs__MkDir(Path("gone/../b").c_str(), 0755), 0);
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
  EXPECT_FALSE(Exists("gone"));
  EXPECT_EQ(Fs__MkDir(Path("gone/../c").c_str(), 0755), 0);
  EXPECT_TRUE(IsDir("c"));
}

TEST_F(FsTree, MkDirUsesOnlyThePermissionBits) {
  struct mode_case {
    unsigned int given_;
    mode_t mask_;
    mode_t created_;
  };
  const mode_case table[] = {
      {04755, 0, 0755}, {02750, 0, 0750}, {01777, 0, 0777},
      {0700, 0, 0700},  {0777, 022, 0755}, {0170755, 0, 0755},
  };
  int n = 0;
  for (const auto& c : table) {
    SCOPED_TRACE(std::to_string(c.given_));
    const std::string name = "m" + std::to_string(n++);
    {
      _T_umask mask(c.mask_);
      ASSERT_EQ(Fs__MkDir(Path(name + "/p/leaf").c_str(), c.given_), 0);
    }
    EXPECT_EQ(Mode(name + "/p/leaf"), c.created_);
    EXPECT_EQ(Mode(name + "/p"), c.created_);  // parents alike
  }
}

TEST_F(FsTree, MkDirRefusals) {
  File("file");

  struct refusal_case {
    const char* name_;
    const char* path_;
    int result_;
    std::string line_;  // empty: no log line
  };
  const std::string fileAsLeaf = Path("file");
  const std::string fileAsParent = Path("file/sub/leaf");
  const refusal_case table[] = {
      {"null", nullptr, EINVAL, ""},
      {"empty", "", EINVAL, ""},
      {"a file in the way", fileAsLeaf.c_str(), EEXIST,
       "fail: mkdir <" + fileAsLeaf + "> (" + strerror(EEXIST) + ")"},
      {"a file as a parent", fileAsParent.c_str(), ENOTDIR,
       "fail: mkdir <" + Path("file/sub") + "> (" + strerror(ENOTDIR) + ")"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name_);
    LogCapture__Clear();
    EXPECT_EQ(Fs__MkDir(c.path_, 0755), c.result_);
    if (c.line_.empty()) {
      EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
    } else {
      EXPECT_TRUE(LogCapture__Has(1, c.line_, "Fs__MkDir")) << LogCapture__Dump();
      EXPECT_EQ(LogCapture__Records().size(), 1u) << LogCapture__Dump();
    }
  }
}

// Normalised paths must fit the 4096-byte buffer with their NUL.
TEST_F(FsTree, PathTooLong) {
  struct long_case {
    size_t length_;
    bool fits_;
  };
  for (const long_case c : {long_case{4095, true}, long_case{4096, false}, long_case{5000, false}}) {
    SCOPED_TRACE(c.length_);
    // "/<root>/" then segments of 200 bytes, cut to the wanted length.
    std::string path = root_ + "/";
    while (path.size() < c.length_) path += std::string(200, 'n') + "/";
    path.resize(c.length_);
    if (path.back() == '/') path.back() = 'n';
    LogCapture__Clear();
    const std::string line = "fail: PathNormalize <" + path + "> (min-size:" +
                             std::to_string(c.length_) + ", size:4096)";
    const int mkdirResult = Fs__MkDir(path.c_str(), 0755);
    if (c.fits_) {
      // Fits our buffer; the system itself refuses names of 255 bytes or
      // more, so only the absence of our own refusal is checked here.
      EXPECT_EQ(LogCapture__Count(line), 0u) << LogCapture__Dump();
      continue;
    }
    EXPECT_EQ(mkdirResult, EINVAL);
    EXPECT_TRUE(LogCapture__Has(1, line, "Fs__MkDir")) << LogCapture__Dump();
    LogCapture__Clear();
    EXPECT_FALSE(Fs__RmEmptyDirsR(path.c_str()));
    EXPECT_TRUE(LogCapture__Has(1, line, "Fs__RmEmptyDirsR")) << LogCapture__Dump();
  }
}

// ---------------------------------------------------------- Fs__RmEmptyDirsR

TEST_F(FsTree, RmEmptyDirsRemovesAWholeEmptyTree) {
  for (const char* d : {"t", "t/a", "t/a/b", "t/a/b/c", "t/d", "t/e", "t/e/f"}) Dir(d);
  EXPECT_TRUE(Fs__RmEmptyDirsR(Path("t").c_str()));
  EXPECT_FALSE(Exists("t"));
  EXPECT_TRUE(LogCapture__Has(4, "exec: rmdir <" + Path("t") + "> (empty:true)", "Fs__RmEmptyDirsR"))
      << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "done: rmdir <" + Path("t/a/b/c") + ">")) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "done: rmdir <" + Path("t/d") + ">")) << LogCapture__Dump();
  // Every record is a level-4 trace: success logs no failures.
  for (const auto& r : LogCapture__Records()) EXPECT_EQ(r.level_, 4) << r.message_;

  // A single empty directory goes at once.
  Dir("single");
  LogCapture__Clear();
  EXPECT_TRUE(Fs__RmEmptyDirsR(Path("single/").c_str()));
  EXPECT_FALSE(Exists("single"));
  EXPECT_TRUE(LogCapture__Has(4, "done: rmdir <" + Path("single") + ">")) << LogCapture__Dump();
}

TEST_F(FsTree, RmEmptyDirsKeepsThePathToAFile) {
  for (const char* d : {"t", "t/a", "t/a/b", "t/a/b/c", "t/a/empty", "t/d", "t/d/e"}) Dir(d);
  File("t/a/b/c/keep.txt");
  EXPECT_FALSE(Fs__RmEmptyDirsR(Path("t").c_str()));
  EXPECT_TRUE(Exists("t/a/b/c/keep.txt"));
  EXPECT_TRUE(IsDir("t/a/b/c"));
  EXPECT_FALSE(Exists("t/a/empty"));
  EXPECT_FALSE(Exists("t/d"));
  // Keeping a file is no failure: nothing above level 4.
  for (const auto& r : LogCapture__Records()) EXPECT_EQ(r.level_, 4) << r.message_;
}

TEST_F(FsTree, RmEmptyDirsDoesNotFollowLinks) {
  for (const char* d : {"t", "t/sub", "target", "target/inner"}) Dir(d);
  Link(Path("target"), "t/sub/link");
  EXPECT_FALSE(Fs__RmEmptyDirsR(Path("t").c_str()));
  EXPECT_TRUE(Exists("t/sub/link"));
  EXPECT_TRUE(IsDir("target/inner"));  // the link's target is left alone
}

TEST_F(FsTree, RmEmptyDirsSimpleOutcomes) {
  File("file");
  struct simple_case {
    const char* name_;
    std::string path_;
    bool result_;
    std::string line_;  // empty: no log line at all
    int level_;
  };
  const simple_case table[] = {
      {"missing", Path("missing"), true, "", 0},
      {"regular file", Path("file"), false, "", 0},
      {"empty text", "", false, "", 0},
      {"dot", ".", false, std::string("fail: rmdir <.> (") + strerror(EINVAL) + ")", 2},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name_);
    LogCapture__Clear();
    EXPECT_EQ(Fs__RmEmptyDirsR(c.path_.c_str()), c.result_);
    if (c.line_.empty()) {
      EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
    } else {
      EXPECT_TRUE(LogCapture__Has(c.level_, c.line_, "Fs__RmEmptyDirsR")) << LogCapture__Dump();
    }
  }
  LogCapture__Clear();
  EXPECT_FALSE(Fs__RmEmptyDirsR(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
  EXPECT_TRUE(Exists("file"));
}

// The worker on a small buffer: an entry whose path does not fit is logged
// and kept, and its directory then stays; the buffer is never overrun, even
// when the directory's own path already fills it.
TEST_F(FsTree, RmEmptyDirsSkipsEntriesThatDoNotFit) {
  for (const char* d : {"t", "t/ab", "t/abcdefgh"}) Dir(d);
  const std::string top = Path("t");

  struct fit_case {
    size_t size_;       // buffer size handed to the worker
    bool removed_ab_;   // "t/ab" fits
    bool removed_long_; // "t/abcdefgh" fits
  };
  // top + "/ab" needs top.size() + 4 bytes with the NUL.
  const fit_case table[] = {
      {top.size() + 1, false, false},   // the path alone fills the buffer
      {top.size() + 4, true, false},
      {top.size() + 10, true, true},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.size_);
    for (const char* d : {"t", "t/ab", "t/abcdefgh"}) mkdir(Path(d).c_str(), 0755);
    LogCapture__Clear();
    std::vector<char> buffer(c.size_ + 64, '#');
    std::memcpy(buffer.data(), top.c_str(), top.size() + 1);
    const bool all = c.removed_ab_ && c.removed_long_;
    EXPECT_EQ(Fs__RmEmptyDirsR(buffer.data(), top.size(), c.size_), all);
    EXPECT_EQ(Exists("t/ab"), !c.removed_ab_);
    EXPECT_EQ(Exists("t/abcdefgh"), !c.removed_long_);
    EXPECT_EQ(Exists("t"), !all);
    for (size_t i = c.size_; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '#') << i;
    if (!c.removed_long_) {
      const std::string line = "fail: path is too long (size:" + std::to_string(top.size() + 10) +
                               ", max-size:" + std::to_string(c.size_) + ")";
      EXPECT_TRUE(LogCapture__Has(2, line, "Fs__RmEmptyDirsR")) << LogCapture__Dump();
      // The skipped entry shows up as the system's refusal of the last rmdir.
      EXPECT_TRUE(LogCapture__Has(2, "fail: rmdir <" + top + "> (" + strerror(ENOTEMPTY) + ")"))
          << LogCapture__Dump();
      EXPECT_STREQ(buffer.data(), top.c_str());  // the path is given back intact
    }
  }
}

// A real tree deeper than the path buffer: the part that cannot be named is
// left in place, and so is everything above it.
TEST_F(FsTree, RmEmptyDirsOnATreeDeeperThanThePathBuffer) {
  const std::string name(250, 'd');
  Dir("deep");
  size_t levels = 0;
  {
    _T_chdir in(Path("deep"));
    for (size_t length = Path("deep").size(); length < 4600; length += name.size() + 1) {
      ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
      ASSERT_EQ(chdir(name.c_str()), 0);
      ++levels;
    }
  }
  EXPECT_FALSE(Fs__RmEmptyDirsR(Path("deep").c_str()));
  EXPECT_TRUE(IsDir("deep/" + name));
  bool tooLong = false;
  for (const auto& r : LogCapture__Records()) {
    tooLong |= r.message_.rfind("fail: path is too long (size:", 0) == 0 &&
               r.message_.find(", max-size:4096)") != std::string::npos;
  }
  EXPECT_TRUE(tooLong) << LogCapture__Dump();

  // Clean up from the bottom, by relative names.
  {
    _T_chdir in(Path("deep"));
    for (size_t i = 0; i < levels; ++i) ASSERT_EQ(chdir(name.c_str()), 0);
    for (size_t i = 0; i < levels; ++i) {
      ASSERT_EQ(chdir(".."), 0);
      ASSERT_EQ(rmdir(name.c_str()), 0);
    }
  }
}

// ------------------------------------------------------------ Fs__TestDirPath

TEST_F(FsTree, TestDirPath) {
  Dir("d");
  File("f");
  Link(Path("d"), "link-to-dir");
  EXPECT_TRUE(Fs__TestDirPath(Path("d").c_str()));
  EXPECT_TRUE(Fs__TestDirPath(Path("link-to-dir").c_str()));
  EXPECT_FALSE(Fs__TestDirPath(Path("f").c_str()));
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
  EXPECT_FALSE(Fs__TestDirPath(Path("missing").c_str()));
  EXPECT_TRUE(LogCapture__Has(4, "fail: stat <" + Path("missing") + "> (" + strerror(ENOENT) + ")",
                              "Fs__TestDirPath"))
      << LogCapture__Dump();
}

// ------------------------------------------------------------- text loading

TEST(FsText, LoadTextStreamPieces) {
  struct text_case {
    std::string text_;
    char delim_;
    std::vector<std::string> pieces_;
  };
  const text_case table[] = {
      {"a\n\nb\n", '\n', {"a", "", "b"}},
      {"a\nb", '\n', {"a", "b"}},  // no final delimiter
      {"", '\n', {}},
      {"\n", '\n', {""}},
      {"\n\n", '\n', {"", ""}},
      {"a\r\nb\r\n", '\n', {"a\r", "b\r"}},  // nothing stripped
      {"x,,y,", ',', {"x", "", "y"}},
      {" lead and trail ", ',', {" lead and trail "}},
      {std::string("n\0ul\nz", 6), '\n', {std::string("n\0ul", 4), "z"}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.text_);
    std::istringstream stream(c.text_);
    std::vector<std::string> pieces;
    EXPECT_TRUE(Fs__LoadTextStream(stream, c.delim_, [&](const std::string& aPiece) {
      pieces.push_back(aPiece);
      return true;
    }));
    EXPECT_EQ(pieces, c.pieces_);
  }
}

TEST(FsText, LoadTextStreamHandlerStopsEarly) {
  std::istringstream stream("a\nb\nc\n");
  int calls = 0;
  EXPECT_FALSE(Fs__LoadTextStream(stream, '\n', [&](const std::string&) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);

  std::istringstream again("a\nb\nc\n");
  std::vector<std::string> pieces;
  EXPECT_FALSE(Fs__LoadTextStream(again, '\n', [&](const std::string& aPiece) {
    pieces.push_back(aPiece);
    return aPiece != "b";
  }));
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b"}));
}

TEST(FsText, LoadTextStreamRefusesAFailedStream) {
  LogCapture__Clear();
  std::istringstream stream("a\n");
  stream.setstate(std::ios::failbit);
  int calls = 0;
  EXPECT_THROW(Fs__LoadTextStream(stream, '\n',
                                  [&](const std::string&) {
                                    ++calls;
                                    return true;
                                  }),
               not_found_error);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(LogCapture__Has(1, "fail: not_found_error", "Fs__LoadTextStream")) << LogCapture__Dump();
}

TEST_F(FsTree, LoadTextFileByPieces) {
  File("lines", "one\ntwo\n\nfour");
  std::vector<std::string> pieces;
  EXPECT_TRUE(Fs__LoadTextFile(Path("lines").c_str(), '\n', [&](const std::string& aPiece) {
    pieces.push_back(aPiece);
    return true;
  }));
  EXPECT_EQ(pieces, (std::vector<std::string>{"one", "two", "", "four"}));

  auto never = [](const std::string&) { return true; };
  for (const std::string& path : {Path("missing"), std::string()}) {
    SCOPED_TRACE(path);
    LogCapture__Clear();
    EXPECT_THROW(Fs__LoadTextFile(path.c_str(), '\n', never), not_found_error);
    EXPECT_TRUE(LogCapture__Has(4, "fail: open <" + path + ">", "Fs__LoadTextFile"))
        << LogCapture__Dump();
  }
  LogCapture__Clear();
  EXPECT_THROW(Fs__LoadTextFile(static_cast<const char*>(nullptr), '\n', never), not_found_error);
  EXPECT_TRUE(LogCapture__Has(4, "fail: open <>", "Fs__LoadTextFile")) << LogCapture__Dump();

  // A directory opens but cannot be read: that is no empty text.
  Dir("d");
  LogCapture__Clear();
  EXPECT_THROW(Fs__LoadTextFile(Path("d").c_str(), '\n', never), not_found_error);
  EXPECT_EQ(LogCapture__Records().size(), 1u) << LogCapture__Dump();
}

TEST_F(FsTree, LoadTextFileWhole) {
  const std::string content("{\"endpoint\":\"e\"}\r\n\0tail", 24);
  File("conf", content);
  File("empty", "");
  EXPECT_EQ(Fs__LoadTextFile(Path("conf")), content);
  EXPECT_EQ(Fs__LoadTextFile(Path("empty")), "");

  std::string big(100000, 'b');
  big[54321] = '\n';
  File("big", big);
  EXPECT_EQ(Fs__LoadTextFile(Path("big")), big);

  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
  EXPECT_THROW(Fs__LoadTextFile(Path("missing")), not_found_error);
  EXPECT_TRUE(LogCapture__Has(4, "fail: ifstream <" + Path("missing") + "> (" + strerror(ENOENT) + ")",
                              "Fs__LoadTextFile"))
      << LogCapture__Dump();

  Dir("d");
  LogCapture__Clear();
  EXPECT_THROW(Fs__LoadTextFile(Path("d")), not_found_error);
  EXPECT_TRUE(LogCapture__Has(4, "fail: ifstream <" + Path("d") + "> (" + strerror(EISDIR) + ")",
                              "Fs__LoadTextFile"))
      << LogCapture__Dump();
}

// ------------------------------------------------------------- disk figures

TEST(FsDisk, ComputeDiskUsage) {
  struct usage_case {
    uint64_t blocks_, bfree_, bavail_, bsize_;
    size_t used_, free_, size_;
  };
  const usage_case table[] = {
      {1000, 250, 200, 4096, 2, 0, 3},             // whole MiB, rounded down
      {1024, 0, 0, 1024, 1, 0, 1},
      {256, 256, 256, 4096, 0, 1, 1},
      {1ull << 40, 1ull << 39, 1ull << 38, 4096, size_t(1) << 31, size_t(1) << 30, size_t(1) << 32},
      {100, 200, 200, 1 << 20, 0, 200, 100},       // more free than total: no used space
  };
  for (const auto& c : table) {
    SCOPED_TRACE(std::to_string(c.blocks_) + "x" + std::to_string(c.bsize_));
    size_t used = 9, free = 9, size = 9;
    Fs__ComputeDiskUsage(c.blocks_, c.bfree_, c.bavail_, c.bsize_, used, free, size);
    EXPECT_EQ(used, c.used_);
    EXPECT_EQ(free, c.free_);
    EXPECT_EQ(size, c.size_);
  }
}

TEST_F(FsTree, EstimateDiskUsageOfARealFileSystem) {
  struct statvfs info;
  ASSERT_EQ(statvfs(root_.c_str(), &info), 0);
  ASSERT_NE(info.f_blocks, 0u);
  size_t used = 0, free = 0, size = 0;
  ASSERT_TRUE(Fs__EstimateDiskUsage(root_.c_str(), used, free, size)) << LogCapture__Dump();
  // The total does not move while the test runs; used and free may.
  EXPECT_EQ(size, static_cast<size_t>((uint64_t(info.f_blocks) * info.f_frsize) >> 20));
  EXPECT_LE(used, size);
  EXPECT_LE(free, size);
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
}

TEST_F(FsTree, EstimateDiskUsageRefusals) {
  struct statvfs proc;
  const bool procHasNoBlocks = statvfs("/proc", &proc) == 0 && proc.f_blocks == 0;
  size_t used = 7, free = 7, size = 7;

  EXPECT_FALSE(Fs__EstimateDiskUsage(Path("missing").c_str(), used, free, size));
  EXPECT_TRUE(LogCapture__Has(1, "fail: statvfs <" + Path("missing") + "> (" + strerror(ENOENT) + ")",
                              "Fs__EstimateDiskUsage"))
      << LogCapture__Dump();
  if (procHasNoBlocks) {
    LogCapture__Clear();
    EXPECT_FALSE(Fs__EstimateDiskUsage("/proc", used, free, size));
    EXPECT_TRUE(LogCapture__Has(2, "fail: statvfs </proc> (blocks:0)", "Fs__EstimateDiskUsage"))
        << LogCapture__Dump();
  }
  EXPECT_EQ(used, 7u);
  EXPECT_EQ(free, 7u);
  EXPECT_EQ(size, 7u);
}

// ---------------------------------------------------- file size and count

TEST_F(FsTree, GetFileSize) {
  File("five", "12345");
  File("empty", "");
  size_t bytes = 99;
  EXPECT_TRUE(Fs__GetFileSize(Path("five").c_str(), bytes));
  EXPECT_EQ(bytes, 5u);
  EXPECT_TRUE(Fs__GetFileSize(Path("empty").c_str(), bytes));
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();

  bytes = 99;
  EXPECT_FALSE(Fs__GetFileSize(Path("missing").c_str(), bytes));
  EXPECT_EQ(bytes, 99u);
  EXPECT_TRUE(LogCapture__Has(2, "fail: stat <" + Path("missing") + "> (" + strerror(ENOENT) + ")",
                              "Fs__GetFileSize"))
      << LogCapture__Dump();
}

TEST_F(FsTree, GetFileCountSkipsDirectoriesAndLinks) {
  Dir("d");
  File("d/one");
  File("d/two", "");
  Dir("d/sub");
  File("d/sub/deeper");
  Link(Path("d/one"), "d/link-to-file");
  Link(Path("d/sub"), "d/link-to-dir");
  Dir("empty");
  EXPECT_EQ(Fs__GetFileCount(Path("d").c_str()), 2u);
  EXPECT_EQ(Fs__GetFileCount(Path("empty").c_str()), 0u);
  EXPECT_EQ(Fs__GetFileCount(Path("missing").c_str()), 0u);
  EXPECT_EQ(Fs__GetFileCount(Path("d/one").c_str()), 0u);
  EXPECT_EQ(Fs__GetFileCount(nullptr), 0u);
  EXPECT_TRUE(LogCapture__Records().empty()) << LogCapture__Dump();
}

}  // namespace
