// Small POSIX file-system toolkit: directory creation and pruning, text
// loading, disk-usage figures, file size and file counts.
//
// Threads: no shared state; each call works on its own stack buffer and
// handles. Concurrent changes to the same directories by others are not
// guarded against.
// Errors: details are logged where detected; results are an errno-style code
// (Fs__MkDir), a bool or a count. The text loaders throw not_found_error when
// their input cannot be read. Paths that normalise to 4096 bytes or more are
// refused by the directory functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>

namespace Tarn { namespace Support {

// Creates aDirPath and all its missing parents with the permission bits of
// aDirMode (aDirMode & 0777, less the umask); the path is normalised
// lexically first. Returns 0 when the directory exists afterwards (also when
// it already existed or another process created it meanwhile), 22 (EINVAL)
// for a null, empty or too long path, else the errno of the failed mkdir
// (17, EEXIST, when a non-directory of that name is in the way).
int Fs__MkDir(const char* aDirPath, const unsigned int aDirMode);

// Removes, depth first, every directory of the tree at aRootDir that holds
// nothing but removable directories, the root included. Links are not
// followed. True when the tree is gone (or never existed); false when
// something stays (a file, a link, an error) or for a null or empty path.
bool Fs__RmEmptyDirsR(const char* aRootDir);

// The recursive worker on a shared path buffer: aPathData holds a
// NUL-terminated path of aPathUsed bytes in a buffer of aPathSize bytes;
// entries whose path would not fit are logged and kept.
bool Fs__RmEmptyDirsR(char* aPathData, size_t aPathUsed, size_t aPathSize);

// True when aPath names an existing directory (links followed).
bool Fs__TestDirPath(const char* aPath);

// Passes each aDelim-separated piece of aStream, without the delimiter, to
// aLineHandler: empty pieces included, a last piece without a delimiter
// included, nothing stripped. True when read to the end; false as soon as the
// handler returns false. A stream already in a failed state throws
// not_found_error.
bool Fs__LoadTextStream(std::istream& aStream, char aDelim,
                        std::function<bool(const std::string&)> aLineHandler);

// Fs__LoadTextStream on the file at aFilePath; throws not_found_error when
// the file cannot be opened.
bool Fs__LoadTextFile(const char* aFilePath, char aDelim,
                      std::function<bool(const std::string&)> aLineHandler);

// The whole content of the file at aConfPath (bytes as stored); throws
// not_found_error when it cannot be opened or read.
std::string Fs__LoadTextFile(const std::string& aConfPath);

// Used, available (to unprivileged users) and total space of the file system
// holding aDir, in whole MiB rounded down. False, outputs untouched, when the
// figures cannot be had.
bool Fs__EstimateDiskUsage(const char* aDir, size_t& aDiskUsedMb, size_t& aDiskFreeMb,
                           size_t& aDiskSizeMb);

// The arithmetic behind Fs__EstimateDiskUsage, on block counts in units of
// aBlockSize (64-bit products, shifted down to MiB). Exposed so the figures
// can be checked without a file system of a chosen shape.
void Fs__ComputeDiskUsage(uint64_t aBlocks, uint64_t aBlocksFree, uint64_t aBlocksAvail,
                          uint64_t aBlockSize, size_t& aDiskUsedMb, size_t& aDiskFreeMb,
                          size_t& aDiskSizeMb);

// Size in bytes of the file at aFilePath (links followed). False, output
// untouched, when it cannot be stat'ed.
bool Fs__GetFileSize(const char* aFilePath, size_t& aFileSizeBytes);

// Number of regular files directly in aDirPath (no subdirectories, links or
// other entries; entries without a type from the file system are not
// counted). 0 when the directory cannot be opened.
size_t Fs__GetFileCount(const char* aDirPath);

}}  // namespace Tarn::Support
