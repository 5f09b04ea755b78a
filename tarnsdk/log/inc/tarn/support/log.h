// The one entry point of the product logging library (liblogsink.so).
//
// LogWrite may be called from any thread, at any time (destructors and
// exception handlers included); it never throws and its pointer arguments are
// read only during the call. The library is linked dynamically and never
// defined by our own deliverables, so a deployment can swap it and a test can
// interpose its own.
//
// Levels: 1 failure, 2 absorbed refusal or failure, 3 notable outcome,
// 4 step tracing, 5 entry tracing. Messages begin "exec", "done" or "fail".
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

__attribute__((format(printf, 5, 6)))
void LogWrite(const char* file, unsigned long long line, const char* func, int level,
              const char* fmt, ...);

#ifdef __cplusplus
}
#endif

// LOG(level, "fail: parse_uri <%s> (%s)", ...): one record with the caller's
// file, line and unqualified function name.
#define LOG(aLevel, ...) ::LogWrite(__FILE__, __LINE__, __func__, (aLevel), __VA_ARGS__)
