/* The VMS video library (libvnxvideo.so): shared-memory allocators, raw
 * video samples and the local server that publishes them to other processes.
 *
 * Plain C, usable from C and C++. Every object is an opaque handle holding one
 * pointer; each handle obtained from a call is released with its own free
 * function (the free functions accept a null handle and then do nothing).
 *
 * Results: calls returning int answer vnxvideo_err_ok (0) on success and a
 * negative code otherwise. Every refusal is also reported once through the log
 * function given to vnxvideo_init.
 *
 * Threads: any call may be made from any thread. The allocator made current by
 * vnxvideo_with_shm_allocator_* belongs to the calling thread only and scopes
 * nest. One raw processor (server) must not be used by two threads at once.
 * The log function may be called from any thread.
 *
 * This is the project's own small implementation of the platform library; a
 * deployment puts the vendor's library in its place without rebuilding. */
#ifndef VNXVIDEO_VNXVIDEO_H
#define VNXVIDEO_VNXVIDEO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VNXVIDEO_API __attribute__((visibility("default")))
#else
#define VNXVIDEO_API
#endif

/* Result codes. */
enum {
  vnxvideo_err_ok = 0,
  vnxvideo_err_not_implemented = -1,
  vnxvideo_err_invalid_parameter = -2,
  vnxvideo_err_external_api = -3
};

/* Opaque handles: each is a record holding one pointer. */
typedef struct { void* ptr; } vnxvideo_allocator_t;
typedef struct { void* ptr; } vnxvideo_raw_sample_t;
typedef struct { void* ptr; } vnxvideo_rawproc_t;

typedef enum {
  VNXLOG_NONE = 0,
  VNXLOG_ERROR = 1,
  VNXLOG_WARNING = 2,
  VNXLOG_INFO = 3,
  VNXLOG_DEBUG = 4,
  VNXLOG_HIGHEST = 10
} ELogLevel;

/* Pixel layouts of raw samples (planar, 8 bits per component). */
typedef enum {
  EMF_I420 = 1,  /* Y plane, then U and V planes of half width and height */
  EMF_NV12 = 3,  /* Y plane, then one interleaved UV plane of half height */
  EMF_GRAY = 14  /* Y plane only */
} ERawMediaFormat;
typedef ERawMediaFormat EColorspace;

/* Log sink: (user pointer, level, subsystem name, message). Both strings are
 * valid only during the call. */
typedef void (*vnxvideo_log_t)(void* usrptr, ELogLevel level, const char* subsystem, const char* message);
/* Code run while an allocator is current. */
typedef void (*vnxvideo_action_t)(void* usrptr);

/* Process-wide set-up: the library's own lines up to aMaxLevel go to aLog
 * (null aLog: no lines). May be called again to replace the sink. */
VNXVIDEO_API int vnxvideo_init(vnxvideo_log_t aLog, void* aUsrPtr, ELogLevel aMaxLevel);

/* Shared-memory allocators. A named allocator is a shared-memory segment of
 * aMaxSizeMb megabytes, created or reopened by name (0 selects the library's
 * default size). The action runs once, on the calling thread, with the
 * allocator current; the call answers once the action has returned. */
VNXVIDEO_API int vnxvideo_with_shm_allocator_str(const char* aName, int aMaxSizeMb,
                                                 vnxvideo_action_t aAction, void* aUsrPtr);
VNXVIDEO_API int vnxvideo_with_shm_allocator_ptr(vnxvideo_allocator_t aAllocator,
                                                 vnxvideo_action_t aAction, void* aUsrPtr);
/* Inside an action: a new reference to the current allocator (to be freed). */
VNXVIDEO_API int vnxvideo_shm_allocator_duplicate(vnxvideo_allocator_t* aAllocator);
/* Drops one reference; the segment is unmapped with the last one. */
VNXVIDEO_API void vnxvideo_shm_allocator_free(vnxvideo_allocator_t aAllocator);

/* Local server: publishes every processed sample under aName so that readers
 * in other processes can take the newest frame. Created while an allocator of
 * the same name is current, it publishes in that allocator's segment;
 * otherwise it opens the segment itself. */
VNXVIDEO_API int vnxvideo_local_server_create(const char* aName, int aMaxSizeMb, vnxvideo_rawproc_t* aServer);
/* Announces the format of the samples that follow. */
VNXVIDEO_API int vnxvideo_rawproc_set_format(vnxvideo_rawproc_t aProc, EColorspace aFormat, int aWidth, int aHeight);
/* Publishes one sample (of the announced format) with its timestamp. The
 * caller keeps its own reference; the server takes its own when it needs one. */
VNXVIDEO_API int vnxvideo_rawproc_process(vnxvideo_rawproc_t aProc, vnxvideo_raw_sample_t aSample, uint64_t aTimestamp);
/* Finishes pending output. */
VNXVIDEO_API int vnxvideo_rawproc_flush(vnxvideo_rawproc_t aProc);
VNXVIDEO_API void vnxvideo_rawproc_free(vnxvideo_rawproc_t aProc);

/* Raw samples. A wrapped sample only points at the caller's memory, which
 * must outlive it. An allocated or copied sample lives in the shared memory of
 * the allocator current on the calling thread (in an action) or, with none
 * current, in private memory. */
VNXVIDEO_API int vnxvideo_raw_sample_wrap(EColorspace aFormat, int aWidth, int aHeight,
                                          int aStrides[3], uint8_t* aPlanes[3],
                                          vnxvideo_raw_sample_t* aSample);
VNXVIDEO_API int vnxvideo_raw_sample_allocate(EColorspace aFormat, int aWidth, int aHeight,
                                              vnxvideo_raw_sample_t* aSample);
VNXVIDEO_API int vnxvideo_raw_sample_copy(vnxvideo_raw_sample_t aSource, vnxvideo_raw_sample_t* aCopy);
VNXVIDEO_API void vnxvideo_raw_sample_free(vnxvideo_raw_sample_t aSample);

/* Inspection, for tests and tools of this stand-in only (the plug-in does not
 * call it): the sample's format, size, strides and plane starts. Outputs may
 * be null; the planes stay valid while the sample lives. */
VNXVIDEO_API int vnxvideo_raw_sample_get_data(vnxvideo_raw_sample_t aSample, int* aFormat, int* aWidth,
                                              int* aHeight, int aStrides[3], uint8_t* aPlanes[3]);

#ifdef __cplusplus
}
#endif

#endif
