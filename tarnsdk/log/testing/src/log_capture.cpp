#include <tarn/support/log.h>
#include <tarn/testing/log_capture.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace Tarn { namespace Testing {
namespace {

std::mutex& _T_mutex() {
  static std::mutex s_mutex;
  return s_mutex;
}

std::vector<log_record>& _T_records() {
  static std::vector<log_record>* s_records = new std::vector<log_record>();  // outlives static destructors
  return *s_records;
}

}  // namespace

std::vector<log_record> LogCapture__Records() {
  std::lock_guard<std::mutex> lock(_T_mutex());
  return _T_records();
}

void LogCapture__Clear() {
  std::lock_guard<std::mutex> lock(_T_mutex());
  _T_records().clear();
}

bool LogCapture__Has(int aLevel, const std::string& aMessage, const char* aFunc) {
  std::lock_guard<std::mutex> lock(_T_mutex());
  for (const auto& r : _T_records()) {
    if (r.level_ == aLevel && r.message_ == aMessage && (aFunc == nullptr || r.func_ == aFunc)) return true;
  }
  return false;
}

size_t LogCapture__Count(const std::string& aMessage) {
  std::lock_guard<std::mutex> lock(_T_mutex());
  size_t n = 0;
  for (const auto& r : _T_records()) n += (r.message_ == aMessage);
  return n;
}

std::string LogCapture__Dump() {
  std::string out;
  for (const auto& r : LogCapture__Records()) {
    out += std::to_string(r.level_) + "|" + r.func_ + "|" + r.message_ + "\n";
  }
  return out;
}

}}  // namespace Tarn::Testing

extern "C" __attribute__((visibility("default")))
void LogWrite(const char* file, unsigned long long line, const char* func, int level, const char* fmt, ...) {
  try {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string message(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&message[0], message.size() + 1, fmt, args);
    va_end(args);

    Tarn::Testing::log_record record{level, func ? func : "", std::move(message), file ? file : "", line};
    static const bool s_echo = std::getenv("TARN_TEST_LOG") != nullptr;
    std::lock_guard<std::mutex> lock(Tarn::Testing::_T_mutex());
    if (s_echo) {
      std::fprintf(stderr, "[%d] %s:%llu %s: %s\n", level, record.file_.c_str(), line, record.func_.c_str(),
                   record.message_.c_str());
    }
    Tarn::Testing::_T_records().push_back(std::move(record));
  } catch (...) {
    // A logging call never fails its caller.
  }
}
