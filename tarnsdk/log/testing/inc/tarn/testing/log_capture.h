// Capture sink for tests: a LogWrite that keeps every record in memory.
//
// Linked into test executables in place of liblogsink.so (and exported from
// them, so it also serves the shared libraries a test loads). Thread-safe.
// Set TARN_TEST_LOG=1 to echo the records to stderr while debugging a test.
#pragma once

#include <string>
#include <vector>

namespace Tarn { namespace Testing {

struct log_record {
  int level_;
  std::string func_;
  std::string message_;
  std::string file_;
  unsigned long long line_;
};

// All records since the last LogCapture__Clear, in call order.
std::vector<log_record> LogCapture__Records();
void LogCapture__Clear();

// True when a record with exactly this level and message was written
// (and, when aFunc is not null, by that function).
bool LogCapture__Has(int aLevel, const std::string& aMessage, const char* aFunc = nullptr);

// Number of records whose message equals aMessage (any level).
size_t LogCapture__Count(const std::string& aMessage);

// "level|func|message" per record, one per line: for readable assertion output.
std::string LogCapture__Dump();

}}  // namespace Tarn::Testing
