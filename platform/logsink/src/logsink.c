/* Stand-in for the product logging library.
 *
 * One line per record on stderr (or appended to TARN_LOG_FILE):
 *   2026-12-11T11:41:19.123Z L3 T12345 file.cpp:42 func: message
 * TARN_LOG_LEVEL (1..5, default 3) is the highest level written; the level is
 * checked before anything is formatted. Safe from any thread; never aborts.
 * Each record is handed to the kernel in one write(), so lines from several
 * threads or processes never interleave. */
#define _GNU_SOURCE
#include <tarn/support/log.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { kLINE_MAX = 4096 };

static pthread_once_t s_once = PTHREAD_ONCE_INIT;
static int s_threshold = 3;
static int s_fd = STDERR_FILENO;

static void _T_configure(void) {
  const char* level = getenv("TARN_LOG_LEVEL");
  if (level != NULL && *level != '\0') {
    char* end = NULL;
    long v = strtol(level, &end, 10);
    if (end != level && *end == '\0') s_threshold = (int)v;
  }
  const char* path = getenv("TARN_LOG_FILE");
  if (path != NULL && *path != '\0') {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) s_fd = fd;
  }
}

static const char* _T_basename(const char* path) {
  if (path == NULL) return "?";
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void LogWrite(const char* file, unsigned long long line, const char* func, int level, const char* fmt, ...) {
  pthread_once(&s_once, _T_configure);
  if (level > s_threshold || fmt == NULL) return;

  char buf[kLINE_MAX];
  struct timespec ts;
  struct tm tm;
  clock_gettime(CLOCK_REALTIME, &ts);
  gmtime_r(&ts.tv_sec, &tm);
  int n = snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ L%d T%ld %s:%llu %s: ",
                   tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                   ts.tv_nsec / 1000000, level, (long)syscall(SYS_gettid), _T_basename(file), line,
                   func ? func : "?");
  if (n < 0) return;
  if ((size_t)n < sizeof buf) {
    va_list args;
    va_start(args, fmt);
    int m = vsnprintf(buf + n, sizeof buf - (size_t)n, fmt, args);
    va_end(args);
    if (m > 0) n += m;
  }
  if ((size_t)n >= sizeof buf - 1) n = (int)sizeof buf - 2; /* a cut record still ends its line */
  buf[n++] = '\n';

  const char* p = buf;
  size_t left = (size_t)n;
  while (left > 0) {
    ssize_t w = write(s_fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    left -= (size_t)w;
  }
}
