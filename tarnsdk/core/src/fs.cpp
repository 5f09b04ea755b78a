#include <tarn/support/fs.h>
#include <tarn/support/log.h>
#include <tarn/support/path.h>
#include <tarn/types/exceptions.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <utility>

namespace Tarn { namespace Support {

namespace {

// One path buffer per top-level call; a normalised path must fit with its NUL.
constexpr size_t _T_PATH_SIZE = 4096;

struct _T_dir_closer {
  void operator()(DIR* aDir) const { closedir(aDir); }
};
typedef std::unique_ptr<DIR, _T_dir_closer> _T_dir_up_t;

// Null paths are treated as the empty path: refused by the system, never
// dereferenced.
const char* _T_path_or_empty(const char* aPath) { return aPath != nullptr ? aPath : ""; }

// Only the nine permission bits: set-id and sticky bits are never applied to
// created directories.
mode_t _T_decode_file_mode(unsigned int aMode) {
  mode_t mode = 0;
  if (aMode & 0400) mode |= S_IRUSR;
  if (aMode & 0200) mode |= S_IWUSR;
  if (aMode & 0100) mode |= S_IXUSR;
  if (aMode & 0040) mode |= S_IRGRP;
  if (aMode & 0020) mode |= S_IWGRP;
  if (aMode & 0010) mode |= S_IXGRP;
  if (aMode & 0004) mode |= S_IROTH;
  if (aMode & 0002) mode |= S_IWOTH;
  if (aMode & 0001) mode |= S_IXOTH;
  return mode;
}

}  // namespace

int Fs__MkDir(const char* aDirPath, const unsigned int aDirMode) {
  if (aDirPath == nullptr || aDirPath[0] == '\0') return EINVAL;

  struct stat info;
  if (stat(aDirPath, &info) == 0 && S_ISDIR(info.st_mode)) return 0;

  char path[_T_PATH_SIZE];
  const size_t length = PathNormalize(aDirPath, path, sizeof(path));
  if (length >= sizeof(path)) {
    LOG(1, "fail: PathNormalize <%s> (min-size:%zu, size:%zu)", aDirPath, length, sizeof(path));
    return EINVAL;
  }

  const mode_t mode = _T_decode_file_mode(aDirMode);

  // Parents first; an existing parent is fine, anything else is the answer.
  for (size_t i = 1; i < length; ++i) {
    if (path[i] != '/') continue;
    path[i] = '\0';
    if (mkdir(path, mode) != 0 && errno != EEXIST) {
      const int error = errno;
      LOG(1, "fail: mkdir <%s> (%s)", path, strerror(error));
      return error;
    }
    path[i] = '/';
  }

  if (mkdir(path, mode) != 0) {
    const int error = errno;
    // The directory is there after all: the given spelling did not resolve
    // (a missing name before a ".."), or someone else created it since the
    // first check. The caller asked for a directory and has one.
    if (error == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return 0;
    LOG(1, "fail: mkdir <%s> (%s)", path, strerror(error));
    return error;
  }
  return 0;
}

bool Fs__RmEmptyDirsR(const char* aRootDir) {
  if (aRootDir == nullptr || aRootDir[0] == '\0') return false;

  char path[_T_PATH_SIZE];
  const size_t length = PathNormalize(aRootDir, path, sizeof(path));
  if (length >= sizeof(path)) {
    LOG(1, "fail: PathNormalize <%s> (min-size:%zu, size:%zu)", aRootDir, length, sizeof(path));
    return false;
  }
  return Fs__RmEmptyDirsR(path, length, sizeof(path));
}

bool Fs__RmEmptyDirsR(char* aPathData, size_t aPathUsed, size_t aPathSize) {
  // Try the cheap way first: an empty directory goes at once.
  if (rmdir(aPathData) == 0) {
    LOG(4, "done: rmdir <%s>", aPathData);
    return true;
  }
  switch (errno) {
    case ENOENT:
      return true;
    case ENOTDIR:
      return false;  // a file, a link or another non-directory keeps its parent
    case ENOTEMPTY:
      break;
    default:
      LOG(2, "fail: rmdir <%s> (%s)", aPathData, strerror(errno));
      return false;
  }

  bool empty = true;
  {
    _T_dir_up_t dir(opendir(aPathData));
    if (!dir) {
      LOG(2, "fail: opendir <%s> (%s)", aPathData, strerror(errno));
      return false;
    }
    // Each entry's path is this path, '/', the name and a NUL; the '/' is only
    // written once the whole entry path is known to fit, so the buffer is
    // never overrun even when this path already fills it.
    const size_t entryBase = aPathUsed + 1;
    while (const struct dirent* entry = readdir(dir.get())) {
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      const size_t nameSize = std::strlen(name);
      if (entryBase + nameSize >= aPathSize) {
        LOG(2, "fail: path is too long (size:%zu, max-size:%zu)", entryBase + nameSize + 1,
            aPathSize);
        continue;  // kept: the final rmdir reports the directory as not empty
      }
      aPathData[aPathUsed] = '/';
      std::memcpy(aPathData + entryBase, name, nameSize + 1);
      if (!Fs__RmEmptyDirsR(aPathData, entryBase + nameSize, aPathSize)) empty = false;
      aPathData[aPathUsed] = '\0';
    }
  }

  if (!empty) return false;
  LOG(4, "exec: rmdir <%s> (empty:true)", aPathData);
  if (rmdir(aPathData) != 0) {
    LOG(2, "fail: rmdir <%s> (%s)", aPathData, strerror(errno));
    return false;
  }
  return true;
}

bool Fs__TestDirPath(const char* aPath) {
  const char* path = _T_path_or_empty(aPath);
  struct stat info;
  if (stat(path, &info) != 0) {
    LOG(4, "fail: stat <%s> (%s)", path, strerror(errno));
    return false;
  }
  return S_ISDIR(info.st_mode);
}

bool Fs__LoadTextStream(std::istream& aStream, char aDelim,
                        std::function<bool(const std::string&)> aLineHandler) {
  if (aStream.fail()) {
    LOG(1, "fail: not_found_error");
    throw not_found_error();
  }
  std::string line;
  while (std::getline(aStream, line, aDelim)) {
    if (!aLineHandler(line)) return false;
  }
  // getline also stops on a read error (a directory opened as a file, an I/O
  // error): that is not the end of the text, and must not look like it.
  if (aStream.bad()) {
    LOG(1, "fail: not_found_error (read)");
    throw not_found_error();
  }
  return true;
}

bool Fs__LoadTextFile(const char* aFilePath, char aDelim,
                      std::function<bool(const std::string&)> aLineHandler) {
  const char* path = _T_path_or_empty(aFilePath);
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (file.fail()) {
    LOG(4, "fail: open <%s>", path);
    throw not_found_error();
  }
  return Fs__LoadTextStream(file, aDelim, std::move(aLineHandler));
}

std::string Fs__LoadTextFile(const std::string& aConfPath) {
  std::ifstream file(aConfPath, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    LOG(4, "fail: ifstream <%s> (%s)", aConfPath.c_str(), strerror(errno));
    throw not_found_error();
  }
  std::string text;
  char chunk[16384];
  while (file.read(chunk, sizeof(chunk)) || file.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(file.gcount()));
  }
  // A read error (a directory, an I/O error) must not pass for a short file.
  if (file.bad()) {
    LOG(4, "fail: ifstream <%s> (%s)", aConfPath.c_str(), strerror(errno));
    throw not_found_error();
  }
  return text;
}

void Fs__ComputeDiskUsage(uint64_t aBlocks, uint64_t aBlocksFree, uint64_t aBlocksAvail,
                          uint64_t aBlockSize, size_t& aDiskUsedMb, size_t& aDiskFreeMb,
                          size_t& aDiskSizeMb) {
  // A file system that reports more free than total blocks has no used space,
  // not an enormous amount of it.
  const uint64_t usedBlocks = aBlocks > aBlocksFree ? aBlocks - aBlocksFree : 0;
  aDiskUsedMb = static_cast<size_t>((usedBlocks * aBlockSize) >> 20);
  aDiskFreeMb = static_cast<size_t>((aBlocksAvail * aBlockSize) >> 20);
  aDiskSizeMb = static_cast<size_t>((aBlocks * aBlockSize) >> 20);
}

bool Fs__EstimateDiskUsage(const char* aDir, size_t& aDiskUsedMb, size_t& aDiskFreeMb,
                           size_t& aDiskSizeMb) {
  const char* dir = _T_path_or_empty(aDir);
  struct statvfs info;
  std::memset(&info, 0, sizeof(info));
  if (statvfs(dir, &info) != 0) {
    LOG(1, "fail: statvfs <%s> (%s)", dir, strerror(errno));
    return false;
  }
  if (info.f_blocks == 0) {
    LOG(2, "fail: statvfs <%s> (blocks:0)", dir);
    return false;
  }
  // Block counts are in units of the fragment size; the preferred I/O size
  // f_bsize may differ from it (then it would scale every figure wrongly).
  const uint64_t blockSize = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  Fs__ComputeDiskUsage(info.f_blocks, info.f_bfree, info.f_bavail, blockSize, aDiskUsedMb,
                       aDiskFreeMb, aDiskSizeMb);
  return true;
}

bool Fs__GetFileSize(const char* aFilePath, size_t& aFileSizeBytes) {
  const char* path = _T_path_or_empty(aFilePath);
  struct stat info;
  if (stat(path, &info) != 0) {
    LOG(2, "fail: stat <%s> (%s)", path, strerror(errno));
    return false;
  }
  aFileSizeBytes = static_cast<size_t>(info.st_size);
  return true;
}

size_t Fs__GetFileCount(const char* aDirPath) {
  _T_dir_up_t dir(opendir(_T_path_or_empty(aDirPath)));
  if (!dir) return 0;
  size_t count = 0;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (entry->d_type == DT_REG) ++count;
  }
  return count;
}

}}  // namespace Tarn::Support
