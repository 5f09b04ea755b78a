// Test frames the host side hands to a unit and the reader side checks,
// shared by the tests of mediastreamer_crossproc_test: both sides must agree
// on every byte, so there is one pattern for all of them.
#pragma once

#include "shm_reader.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Pixel value of a test frame: depends on position, plane and frame number,
// so a wrong stride, offset, plane or frame shows up as a wrong byte.
inline uint8_t _T_Pattern(int aX, int aY, int aPlane, uint64_t aFrame) {
  return static_cast<uint8_t>(aX * 7 + aY * 13 + aPlane * 51 + aFrame * 3);
}

// A packed frame of aPlanes planes (rows by row bytes each) carrying the
// pattern of aFrame, as a host pipeline gives it.
inline GstBuffer* _T_PatternBuffer(int aPlanes, const int aRows[], const int aRowBytes[], uint64_t aFrame) {
  size_t total = 0;
  for (int p = 0; p < aPlanes; ++p) total += static_cast<size_t>(aRows[p]) * aRowBytes[p];
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, total, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  uint8_t* at = map.data;
  for (int p = 0; p < aPlanes; ++p)
    for (int y = 0; y < aRows[p]; ++y)
      for (int x = 0; x < aRowBytes[p]; ++x) *at++ = _T_Pattern(x, y, p, aFrame);
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

// Empty when every plane of the frame carries the pattern of aPatternFrame,
// else the first difference.
inline std::string _T_CheckPattern(const vnxshm::frame& aFrame, uint64_t aPatternFrame) {
  for (int p = 0; p < static_cast<int>(aFrame.desc_.plane_count_); ++p) {
    int rows = 0, rowBytes = 0;
    const uint8_t* plane = aFrame.Plane(p, &rows, &rowBytes);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < rowBytes; ++x)
        if (plane[y * rowBytes + x] != _T_Pattern(x, y, p, aPatternFrame))
          return "plane " + std::to_string(p) + " (" + std::to_string(x) + "," + std::to_string(y) + ") is " +
                 std::to_string(plane[y * rowBytes + x]) + ", expected " +
                 std::to_string(_T_Pattern(x, y, p, aPatternFrame));
  }
  return "";
}

// One byte at a time between a test and the processes it forks.
struct pipe_pair {
  int fd_[2] = {-1, -1};
  pipe_pair() { EXPECT_EQ(0, pipe(fd_)); }
  ~pipe_pair() {
    close(fd_[0]);
    close(fd_[1]);
  }
  void Put(char aByte) { EXPECT_EQ(1, write(fd_[1], &aByte, 1)); }
  // Unchecked: for a child that ends with _exit or is killed, where a failed
  // expectation would be reported by nobody.
  void PutUnchecked(char aByte) { (void)!write(fd_[1], &aByte, 1); }
  char Get() {
    char c = 0;
    return read(fd_[0], &c, 1) == 1 ? c : 0;
  }
};
