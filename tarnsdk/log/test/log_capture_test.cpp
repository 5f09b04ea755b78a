#include <tarn/support/log.h>
#include <tarn/testing/log_capture.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using namespace Tarn::Testing;

void _T_emit(const char* aName) { LOG(2, "fail: param #/%s is absent", aName); }

TEST(LogCapture, RecordsLevelFunctionAndFormattedText) {
  LogCapture__Clear();
  _T_emit("width");
  auto lambda = [] { LOG(4, "exec: file:<%s>", "/tmp/x.mp4"); };
  lambda();
  ASSERT_EQ(LogCapture__Records().size(), 2u);
  EXPECT_TRUE(LogCapture__Has(2, "fail: param #/width is absent", "_T_emit")) << LogCapture__Dump();
  EXPECT_TRUE(LogCapture__Has(4, "exec: file:</tmp/x.mp4>", "operator()")) << LogCapture__Dump();
}

TEST(LogCapture, ConcurrentWritersLoseNothing) {
  LogCapture__Clear();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) LOG(5, "exec: %d", i);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(LogCapture__Records().size(), 2000u);
  EXPECT_EQ(LogCapture__Count("exec: 499"), 4u);
}

}  // namespace
