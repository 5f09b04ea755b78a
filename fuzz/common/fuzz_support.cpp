#include "fuzz_support.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include <pthread.h>

void Fuzz__Fail(const char* aFormat, ...) {
  va_list args;
  va_start(args, aFormat);
  std::fputs("broken property: ", stderr);
  std::vfprintf(stderr, aFormat, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

namespace {

// One thread, created on first use with a 128 KiB stack, that runs one piece
// of work at a time for the fuzzing thread, which waits for it. A thread per
// input would cost more than most inputs take.
class _T_small_stack_thread {
 public:
  _T_small_stack_thread() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (pthread_attr_setstacksize(&attr, kFUZZ_SMALL_STACK) != 0) Fuzz__Fail("pthread_attr_setstacksize");
    if (pthread_create(&thread_, &attr, &_T_small_stack_thread::main, this) != 0) Fuzz__Fail("pthread_create");
    pthread_attr_destroy(&attr);
  }

  void run(const std::function<void()>& aWork) {
    std::unique_lock<std::mutex> lock(mutex_);
    work_ = &aWork;
    error_ = nullptr;
    changed_.notify_all();
    changed_.wait(lock, [this] { return work_ == nullptr; });
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static void* main(void* aSelf) {
    auto* self = static_cast<_T_small_stack_thread*>(aSelf);
    std::unique_lock<std::mutex> lock(self->mutex_);
    for (;;) {
      self->changed_.wait(lock, [self] { return self->work_ != nullptr; });
      try {
        (*self->work_)();
      } catch (...) {
        // Carried over to the fuzzing thread, which decides what it means.
        self->error_ = std::current_exception();
      }
      self->work_ = nullptr;
      self->changed_.notify_all();
    }
    return nullptr;
  }

  pthread_t thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* work_ = nullptr;
  std::exception_ptr error_;
};

}  // namespace

void Fuzz__RunOnSmallStack(const std::function<void()>& aWork) {
  // Never destroyed: the thread serves until the process ends.
  static _T_small_stack_thread* thread = new _T_small_stack_thread();
  thread->run(aWork);
}
