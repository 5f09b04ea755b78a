// What every fuzz target shares: how a broken property is reported, and a
// thread whose stack is as small as a download coroutine's.
#pragma once

#include <cstddef>
#include <functional>

// Reports a broken property on stderr and aborts, so libFuzzer saves the
// input as a crash.
[[noreturn]] __attribute__((format(printf, 1, 2))) void Fuzz__Fail(const char* aFormat, ...);

#define FUZZ_CHECK(aCondition, ...)                                                   \
  do {                                                                                \
    if (!(aCondition)) Fuzz__Fail("check failed: %s (%s:%d)", #aCondition, __FILE__, \
                                  __LINE__);                                          \
  } while (0)

// Runs aWork to its end on one long-lived thread whose stack holds 128 KiB,
// the stack of every download coroutine, and rethrows what it threw. A
// recursion that would overflow a coroutine overflows here as well, and the
// address sanitizer reports it.
constexpr size_t kFUZZ_SMALL_STACK = 128 * 1024;
void Fuzz__RunOnSmallStack(const std::function<void()>& aWork);
