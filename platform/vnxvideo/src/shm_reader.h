// Read-only access to a vnxvideo segment from another process: attach by
// endpoint name, take the newest published frame without locks, detect a
// torn read, save a frame as a picture. Used by vnx-shm-peek and tests.
//
// A reader never writes to the segment and never blocks its writer. It is
// used by one thread at a time.
#pragma once

#include "shm_layout.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vnxshm {

// A consistent copy of one published frame: its description and its planes,
// packed one after another (row length = bytes per row, no padding).
struct frame {
  frame_desc desc_{};
  std::vector<uint8_t> pixels_;
  // Start of plane aIndex in pixels_, with its rows and bytes per row.
  const uint8_t* Plane(int aIndex, int* aRows = nullptr, int* aRowBytes = nullptr) const;
};

class reader {
 public:
  enum result {
    kFRAME,         // aFrame holds a newer frame
    kNO_NEW_FRAME,  // nothing newer than asked for (or no frame at all)
    kTORN,          // the writer changed the frame during the copy: try again
    kCLOSED,        // the writer let the segment go or it was replaced
    kBAD,           // the published description is inconsistent
  };

  // Attaches read-only to the segment of aEndpoint. Null, with a reason in
  // aError, when there is none or it is not a valid segment.
  static std::unique_ptr<reader> Attach(const std::string& aEndpoint, std::string& aError);
  ~reader();
  reader(const reader&) = delete;
  reader& operator=(const reader&) = delete;

  // Copies the newest frame when its sequence number is above aAfterSequence.
  result ReadNewest(uint64_t aAfterSequence, frame& aFrame);

  // The two ends of a read, exposed for tests of the protocol: Begin gives
  // the sequence-lock value to read under (false while an update is under
  // way); Validate tells whether nothing was published since.
  bool Begin(uint64_t& aSeq) const;
  bool Validate(uint64_t aSeq) const;

  // The writer let the segment go or a new writer replaced it.
  bool Closed() const;
  // The endpoint's name now refers to another segment (or to none).
  bool Replaced() const;
  pid_t WriterPid() const;
  uint64_t Size() const { return size_; }
  const header* Header() const { return reinterpret_cast<const header*>(base_); }

 private:
  reader() = default;
  std::string shm_name_;
  const uint8_t* base_ = nullptr;
  uint64_t size_ = 0;
  ino_t inode_ = 0;
  dev_t device_ = 0;
};

// Writes the frame as a binary PGM (gray, or the luma plane of a YUV frame
// when aPath ends in ".pgm") or PPM (YUV converted to RGB, BT.601). The file
// appears complete or not at all (written aside, then renamed).
bool WritePicture(const std::string& aPath, const frame& aFrame, std::string& aError);

}  // namespace vnxshm
