/* Download pool: the C interface of libkavo-vnx.so.
 *
 * A pool downloads recorded intervals of VMS streams into MP4 files, a bounded
 * number at a time, on one worker thread of its own, and reports every request
 * through a C callback. Usable from C and C++; plain C records with natural
 * alignment, so a foreign-function caller can declare the same layout.
 *
 * Results: every function returns 0 on success and kKAVO_FAIL (-1) on failure;
 * the cause is written to the product log, not returned.
 *
 * Callback codes (kavo_video_handler_fn, first argument):
 *    0  the download finished; the record describes the written file
 *   -1  the request failed (a stream reference that is no URL, a stopped pool,
 *       a failed download); the record is null
 *   -4  the request was still queued when the pool was stopped or destroyed;
 *       the record is null
 * Each request accepted by KavoPoolLoadVideoAsync (return 0) gets at most one
 * callback: exactly one unless it is running when the pool is stopped, in which
 * case it gets no call while the pool is stopped. KavoPoolStart resumes it (and
 * it ends with its one callback); KavoPoolDestroy abandons it for good. So what
 * its callback uses must stay valid until one of the two.
 *
 * Threads: the callback runs on the caller's own thread before
 * KavoPoolLoadVideoAsync returns (immediate rejection), on the pool's worker
 * thread (finished downloads, one after another, on a 128 KiB coroutine stack),
 * or on the thread calling KavoPoolStop / KavoPoolDestroy (cancellations). A
 * callback must not stop or destroy its own pool. KavoPoolLoadVideoAsync may be
 * called from several threads at once and from a callback; KavoPoolStop and
 * KavoPoolDestroy must not overlap other calls on the same pool.
 *
 * Ownership: the record handed to the callback and every text it points to are
 * valid only during the call; copy what you keep. The texts and the
 * configuration passed to KavoPoolLoadVideoAsync are copied during the call.
 */
#ifndef TARN_SUPPORT_KAVO_POOL_H
#define TARN_SUPPORT_KAVO_POOL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KAVO_API __attribute__((visibility("default")))
#else
#define KAVO_API
#endif

enum { kKAVO_FAIL = -1 };

/* Container and codec of a requested video (unsigned, 32 bits). */
typedef enum kavo_video_type {
  kKAVO_VIDEO_AVI_H264 = 1,
  kKAVO_VIDEO_MKV_H264 = 2,
  kKAVO_VIDEO_MP4_H264 = 3,
  kKAVO_VIDEO_MPEGTS_H264 = 4,
  kKAVO_VIDEO_MPEGPS_H264 = 5
} kavo_video_type;

/* Format of a requested still image (unsigned, 32 bits). */
typedef enum kavo_image_type {
  kKAVO_IMAGE_GREY = 1,
  kKAVO_IMAGE_RGBA = 2,
  kKAVO_IMAGE_JPEG = 3
} kavo_image_type;

/* Input of a video request. Only the interval is used: it is sent to the VMS
 * unchanged, in the caller's units; the pool always requests ISO MP4. */
typedef struct kavo_video_conf {
  uint64_t min_ts_;      /* start of the interval ("begin") */
  uint64_t max_ts_;      /* end of the interval ("end") */
  uint32_t quality_;     /* not used */
  uint16_t max_width_;   /* not used */
  uint16_t max_height_;  /* not used */
  kavo_video_type type_; /* not used */
} kavo_video_conf;

/* Outcome of a finished download (callback code 0). */
typedef struct kavo_video_info {
  const char* path_;    /* the request's video path: the file that was written */
  const char* min_ts_;  /* first timestamp of the written video, as the VMS gives it */
  const char* max_ts_;  /* last timestamp of the written video */
  uint32_t size_;       /* the video's length as the VMS gives it */
  uint16_t width_;      /* picture width */
  uint16_t height_;     /* picture height */
} kavo_video_info;

typedef void (*kavo_video_handler_fn)(int aCode, const kavo_video_info* aInfo, void* aHandlerArg);

/* Creates a pool with a limit of aMaxSessions (1..255) concurrent downloads and
 * starts its worker thread; stores the handle in *aSelf. aConf is not read.
 * -1 for a null aSelf or aMaxSessions 0 (nothing is logged), or when building
 * fails (*aSelf is left as it was). */
KAVO_API int KavoPoolCreate(void** aSelf, const char* aConf, uint8_t aMaxSessions);

/* Starts a stopped pool again (a running pool only logs that it is started).
 * -1 for a null handle or when the worker thread cannot be started. */
KAVO_API int KavoPoolStart(void* aSelf);

/* Stops the pool: running downloads are held without a callback (a later
 * KavoPoolStart resumes them, KavoPoolDestroy abandons them), queued
 * requests get -4 on this thread, in queue order, before it returns.
 * -1 for a null handle or when the worker thread cannot be joined. */
KAVO_API int KavoPoolStop(void* aSelf);

/* Not supported: always -1; no argument is read. */
KAVO_API int KavoPoolSearchTsAsc(void* aSelf, const char* aChannel, uint64_t aMinTs, uint64_t aMaxTs,
                                 uint64_t* aTsArray, uint16_t* aTsCount);
KAVO_API int KavoPoolLoadImageExact(void* aSelf, const char* aChannel, uint64_t aTs, kavo_image_type aType,
                                    uint16_t* aWidth, uint16_t* aHeight, uint8_t* aBufferData,
                                    uint32_t* aBufferSize);
KAVO_API int KavoPoolLoadImageFuzzy(void* aSelf, const char* aChannel, uint64_t* aTs, kavo_image_type aType,
                                    uint8_t* aBufferData, uint32_t* aBufferSize);
KAVO_API int KavoPoolLoadVideo(void* aSelf, const char* aChannel, const char* aVideoPath,
                               const kavo_video_conf* aVideoConf, uint64_t* aVideoMinTs, uint64_t* aVideoMaxTs);

/* Asks for the interval [aVideoConf->min_ts_, aVideoConf->max_ts_] of the
 * stream at the URL aStreamRef (e.g. "http://vms:8080/storage/cam1") to be
 * written to aVideoPath; aHandlerFn(code, info, aHandlerArg) reports the end.
 * Returns -1 (no callback) for a null aSelf, aVideoPath, aVideoConf or
 * aHandlerFn or an empty aStreamRef; 0 when the request was handed on, which
 * includes an immediate rejection already reported to the callback with -1. */
KAVO_API int KavoPoolLoadVideoAsync(void* aSelf, const char* aStreamRef, const char* aVideoPath,
                                    const kavo_video_conf* aVideoConf, const kavo_video_handler_fn aHandlerFn,
                                    void* aHandlerArg);

/* Stops a started pool (queued requests get -4 on this thread) and frees it.
 * A null handle is accepted. */
KAVO_API void KavoPoolDestroy(void* aSelf);

#ifdef __cplusplus
}
#endif

#endif /* TARN_SUPPORT_KAVO_POOL_H */
