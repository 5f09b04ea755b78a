/* A C caller of the pool: the public header compiles as C, the records have the
 * layout a foreign-function caller declares, and the library links and runs. */
#include <tarn/support/kavo/pool.h>

#include <stddef.h>
#include <stdio.h>

_Static_assert(sizeof(kavo_video_type) == 4 && sizeof(kavo_image_type) == 4, "enums are 32 bits");
_Static_assert(offsetof(kavo_video_conf, min_ts_) == 0 && offsetof(kavo_video_conf, max_ts_) == 8 &&
                   offsetof(kavo_video_conf, quality_) == 16 && offsetof(kavo_video_conf, max_width_) == 20 &&
                   offsetof(kavo_video_conf, max_height_) == 22 && offsetof(kavo_video_conf, type_) == 24 &&
                   sizeof(kavo_video_conf) == 32,
               "kavo_video_conf layout");
_Static_assert(offsetof(kavo_video_info, path_) == 0 && offsetof(kavo_video_info, min_ts_) == 8 &&
                   offsetof(kavo_video_info, max_ts_) == 16 && offsetof(kavo_video_info, size_) == 24 &&
                   offsetof(kavo_video_info, width_) == 28 && offsetof(kavo_video_info, height_) == 30 &&
                   sizeof(kavo_video_info) == 32,
               "kavo_video_info layout");

struct outcome {
  int calls;
  int code;
};

static void on_video(int aCode, const kavo_video_info* aInfo, void* aArg) {
  struct outcome* outcome = (struct outcome*)aArg;
  outcome->calls += 1;
  outcome->code = aInfo == NULL ? aCode : 1000;
}

#define CHECK(aCond)                                      \
  do {                                                    \
    if (!(aCond)) {                                       \
      fprintf(stderr, "check failed: %s\n", #aCond);     \
      return 1;                                           \
    }                                                     \
  } while (0)

int main(void) {
  void* pool = NULL;
  struct outcome outcome = {0, 0};
  kavo_video_conf conf = {1, 2, 0, 0, 0, kKAVO_VIDEO_MP4_H264};

  CHECK(KavoPoolCreate(&pool, NULL, 0) == kKAVO_FAIL && pool == NULL);
  CHECK(KavoPoolCreate(&pool, "{}", 2) == 0 && pool != NULL);
  CHECK(KavoPoolSearchTsAsc(pool, "c", 0, 1, NULL, NULL) == kKAVO_FAIL);
  CHECK(KavoPoolLoadImageExact(pool, "c", 0, kKAVO_IMAGE_JPEG, NULL, NULL, NULL, NULL) == kKAVO_FAIL);
  CHECK(KavoPoolLoadImageFuzzy(pool, "c", NULL, kKAVO_IMAGE_GREY, NULL, NULL) == kKAVO_FAIL);
  CHECK(KavoPoolLoadVideo(pool, "c", "/dev/null", &conf, NULL, NULL) == kKAVO_FAIL);
  /* A stream reference that is no URL is refused through the callback, before the call returns. */
  CHECK(KavoPoolLoadVideoAsync(pool, "no url", "/dev/null", &conf, on_video, &outcome) == 0);
  CHECK(outcome.calls == 1 && outcome.code == kKAVO_FAIL);
  CHECK(KavoPoolStop(pool) == 0);
  CHECK(KavoPoolStart(pool) == 0);
  KavoPoolDestroy(pool);
  KavoPoolDestroy(NULL);
  puts("pool C program: ok");
  return 0;
}
