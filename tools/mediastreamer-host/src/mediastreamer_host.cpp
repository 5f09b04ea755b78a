// mediastreamer-host: a small media-streamer host. It loads a plug-in bundle
// by path, creates one unit from a JSON text and feeds it the frames of a
// real GStreamer pipeline (videotestsrc into an appsink), printing the unit's
// statistics once a second.
#include <tarn/support/mediastreamer/streamer.h>
#include <tarn/types/exceptions.h>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <dlfcn.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

using Tarn::Support::frame_info2;
using Tarn::Support::frame_type;
using Tarn::Support::streamer_unit_like;

namespace {

const char* const kUSAGE =
    "usage: mediastreamer-host [options]\n"
    "\n"
    "Loads a media-streamer bundle, creates one unit from a JSON configuration\n"
    "and hands it the frames of a GStreamer test pipeline:\n"
    "  videotestsrc is-live=true ! video/x-raw,format=F,width=W,height=H ! appsink\n"
    "printing the unit's statistics once a second.\n"
    "\n"
    "options:\n"
    "  --bundle PATH     the bundle (default: ../lib/libvnx-streamer-bundle.so\n"
    "                    next to this program)\n"
    "  --conf JSON       unit configuration text\n"
    "                    (default: {\"endpoint\": \"demo\", \"max-size-mb\": 16})\n"
    "  --format F        GRAY8 (handed as MONO8), I420, NV12, or RGB (handed as\n"
    "                    RGB24, which the vnx streamer refuses) (default I420)\n"
    "  --width W         picture width (default 320)\n"
    "  --height H        picture height (default 240); I420 and NV12 need even sizes\n"
    "  --fps N           frame rate (default 30)\n"
    "  --pattern NAME    videotestsrc pattern (default smpte; e.g. ball, white)\n"
    "  --seconds S       run time (default 5)\n"
    "  --frames N        stop after N frames instead (default: no limit); a\n"
    "                    pipeline that gives no frame for 10 s ends the run\n"
    "\n"
    "Rows: a unit expects rows without gaps, but GStreamer pads every row to a\n"
    "multiple of 4 bytes (GRAY8 and NV12 widths not a multiple of 4, I420\n"
    "widths not a multiple of 8). The host repacks such frames into a gap-free\n"
    "buffer before handing them over (one copy more); frames already packed are\n"
    "handed over as they come.\n"
    "\n"
    "Timestamps: exposure_start_ts_ is wall-clock microseconds since the epoch\n"
    "(pipeline start time plus the buffer's presentation time).\n"
    "\n"
    "Exit status: 0 when the run ended normally, 1 on an error (bad arguments,\n"
    "bundle not loadable, unit not created, pipeline failure).\n";

using init_fn = bool (*)();
using fini_fn = void (*)();
using create_fn = streamer_unit_like* (*)(const char*);

volatile std::sig_atomic_t _s_stop = 0;
void _T_OnSignal(int) { _s_stop = 1; }

struct format_choice {
  const char* name_;  // GStreamer format name
  frame_type type_;
};

const format_choice kFORMATS[] = {
    {"GRAY8", Tarn::Support::kFRAME_TYPE__MONO8},
    {"I420", Tarn::Support::kFRAME_TYPE__YUV420_I420},
    {"NV12", Tarn::Support::kFRAME_TYPE__YUV420_NV12},
    {"RGB", Tarn::Support::kFRAME_TYPE__RGB24},
};

void _T_PrintStats(void* aPrefix, const char* aText) {
  std::printf("%s%s\n", static_cast<const char*>(aPrefix), aText);
}

// Bytes per row and rows of each plane of a gap-free frame. Components that
// share a plane are interleaved, so the widest of them spans the row.
int _T_PackedRows(const GstVideoInfo& aInfo, int aRowBytes[GST_VIDEO_MAX_PLANES], int aRows[GST_VIDEO_MAX_PLANES]) {
  const int planes = static_cast<int>(GST_VIDEO_INFO_N_PLANES(&aInfo));
  for (int p = 0; p < planes; ++p) aRowBytes[p] = aRows[p] = 0;
  for (unsigned c = 0; c < GST_VIDEO_INFO_N_COMPONENTS(&aInfo); ++c) {
    const int p = static_cast<int>(GST_VIDEO_INFO_COMP_PLANE(&aInfo, c));
    const int span = GST_VIDEO_INFO_COMP_WIDTH(&aInfo, c) * GST_VIDEO_INFO_COMP_PSTRIDE(&aInfo, c);
    if (span > aRowBytes[p]) aRowBytes[p] = span;
    aRows[p] = GST_VIDEO_INFO_COMP_HEIGHT(&aInfo, c);
  }
  return planes;
}

// The buffer itself when its rows have no gaps, else a new gap-free copy
// (null on failure, after printing why). The caller unrefs a new buffer.
GstBuffer* _T_Packed(GstBuffer* aBuffer, const GstVideoInfo& aInfo, bool& aRepacked) {
  int rowBytes[GST_VIDEO_MAX_PLANES], rows[GST_VIDEO_MAX_PLANES];
  const int planes = _T_PackedRows(aInfo, rowBytes, rows);
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, const_cast<GstVideoInfo*>(&aInfo), aBuffer, GST_MAP_READ)) {
    std::fprintf(stderr, "mediastreamer-host: cannot map a video frame\n");
    return nullptr;
  }
  // Packed means: each plane's stride is its row length and each plane
  // starts where the previous one ends.
  bool packed = true;
  size_t total = 0;
  const uint8_t* base = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
  for (int p = 0; p < planes; ++p) {
    packed = packed && GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p) == rowBytes[p] &&
             static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p)) == base + total;
    total += static_cast<size_t>(rowBytes[p]) * static_cast<size_t>(rows[p]);
  }
  if (packed) {
    gst_video_frame_unmap(&frame);
    aRepacked = false;
    return aBuffer;
  }
  GstBuffer* out = gst_buffer_new_allocate(nullptr, total, nullptr);
  GstMapInfo map;
  if (out == nullptr || !gst_buffer_map(out, &map, GST_MAP_WRITE)) {
    std::fprintf(stderr, "mediastreamer-host: cannot allocate a frame of %zu bytes\n", total);
    if (out != nullptr) gst_buffer_unref(out);
    gst_video_frame_unmap(&frame);
    return nullptr;
  }
  uint8_t* to = map.data;
  for (int p = 0; p < planes; ++p) {
    const uint8_t* from = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
    for (int r = 0; r < rows[p]; ++r) {
      std::memcpy(to, from, static_cast<size_t>(rowBytes[p]));
      to += rowBytes[p];
      from += GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
    }
  }
  gst_buffer_unmap(out, &map);
  gst_video_frame_unmap(&frame);
  aRepacked = true;
  return out;
}

bool _T_ParseInt(const char* aText, long aMin, long aMax, long& aValue) {
  char* end = nullptr;
  aValue = std::strtol(aText, &end, 10);
  return end != aText && *end == '\0' && aValue >= aMin && aValue <= aMax;
}

std::string _T_DefaultBundle(const char* aArgv0) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(aArgv0);
  dir = dir.substr(0, dir.find_last_of('/') + 1);
  return dir + "../lib/libvnx-streamer-bundle.so";
}

}  // namespace

int main(int argc, char** argv) {
  std::string bundle = _T_DefaultBundle(argv[0]);
  std::string conf = "{\"endpoint\": \"demo\", \"max-size-mb\": 16}";
  std::string pattern = "smpte";
  const format_choice* format = &kFORMATS[1];
  long width = 320, height = 240, fps = 30, seconds = 5, frames = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUSAGE, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "mediastreamer-host: %s needs a value\n\n%s", arg.c_str(), kUSAGE);
      return 1;
    }
    const char* value = argv[++i];
    bool ok = true;
    if (arg == "--bundle") {
      bundle = value;
    } else if (arg == "--conf") {
      conf = value;
    } else if (arg == "--pattern") {
      pattern = value;
    } else if (arg == "--format") {
      format = nullptr;
      for (const auto& f : kFORMATS)
        if (std::strcmp(f.name_, value) == 0) format = &f;
      ok = format != nullptr;
    } else if (arg == "--width") {
      ok = _T_ParseInt(value, 1, 65535, width);
    } else if (arg == "--height") {
      ok = _T_ParseInt(value, 1, 65535, height);
    } else if (arg == "--fps") {
      ok = _T_ParseInt(value, 1, 1000, fps);
    } else if (arg == "--seconds") {
      ok = _T_ParseInt(value, 0, 86400, seconds);
    } else if (arg == "--frames") {
      ok = _T_ParseInt(value, 0, 1L << 30, frames);
    } else {
      std::fprintf(stderr, "mediastreamer-host: unknown option <%s>\n\n%s", arg.c_str(), kUSAGE);
      return 1;
    }
    if (!ok) {
      std::fprintf(stderr, "mediastreamer-host: bad value <%s> for %s\n\n%s", value, arg.c_str(), kUSAGE);
      return 1;
    }
  }
  const bool yuv420 = format->type_ == Tarn::Support::kFRAME_TYPE__YUV420_I420 ||
                      format->type_ == Tarn::Support::kFRAME_TYPE__YUV420_NV12;
  if (yuv420 && (width % 2 != 0 || height % 2 != 0)) {
    std::fprintf(stderr, "mediastreamer-host: %s needs an even width and height (got %ldx%ld)\n", format->name_,
                 width, height);
    return 1;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Load the bundle and resolve its three entry points by name.
  void* lib = dlopen(bundle.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "mediastreamer-host: dlopen: %s\n", dlerror());
    return 1;
  }
  auto init = reinterpret_cast<init_fn>(dlsym(lib, "MediaStreamerInitBundle"));
  auto fini = reinterpret_cast<fini_fn>(dlsym(lib, "MediaStreamerFiniBundle"));
  auto create = reinterpret_cast<create_fn>(dlsym(lib, "MediaStreamerCreateUnit"));
  if (init == nullptr || fini == nullptr || create == nullptr) {
    std::fprintf(stderr, "mediastreamer-host: %s lacks an entry point (init:%s fini:%s create:%s)\n", bundle.c_str(),
                 init ? "yes" : "no", fini ? "yes" : "no", create ? "yes" : "no");
    return 1;
  }
  if (!init()) {
    std::fprintf(stderr, "mediastreamer-host: MediaStreamerInitBundle failed (see the log)\n");
    fini();
    return 1;
  }
  streamer_unit_like* unit = create(conf.c_str());
  if (unit == nullptr) {
    std::fprintf(stderr, "mediastreamer-host: MediaStreamerCreateUnit refused %s (see the log)\n", conf.c_str());
    fini();
    return 1;
  }
  std::printf("unit created from %s\n", conf.c_str());

  gst_init(nullptr, nullptr);
  char description[512];
  std::snprintf(description, sizeof description,
                "videotestsrc is-live=true pattern=%s ! video/x-raw,format=%s,width=%ld,height=%ld,framerate=%ld/1 "
                "! appsink name=sink max-buffers=8 sync=false",
                pattern.c_str(), format->name_, width, height, fps);
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description, &error);
  if (pipeline == nullptr || error != nullptr) {
    std::fprintf(stderr, "mediastreamer-host: pipeline <%s>: %s\n", description, error ? error->message : "?");
    if (error != nullptr) g_error_free(error);
    if (pipeline != nullptr) gst_object_unref(pipeline);
    unit->destroy();
    fini();
    return 1;
  }
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstBus* bus = gst_element_get_bus(pipeline);
  std::signal(SIGINT, _T_OnSignal);
  std::signal(SIGTERM, _T_OnSignal);
  std::printf("pipeline: %s\n", description);

  int status = 0;
  const gint64 startUs = g_get_real_time();
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    std::fprintf(stderr, "mediastreamer-host: the pipeline does not start\n");
    status = 1;
  }
  unit->start();
  unit->handleStreamStart();

  using clock = std::chrono::steady_clock;
  const auto started = clock::now();
  auto nextStats = started + std::chrono::seconds(1);
  long handed = 0, repacked = 0, thrown = 0;
  bool toldRepack = false;
  auto lastSample = started;
  while (status == 0 && !_s_stop) {
    if (frames > 0 && handed >= frames) break;
    if (frames == 0 && clock::now() - started >= std::chrono::seconds(seconds)) break;
    if (GstMessage* msg = gst_bus_pop_filtered(bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS))) {
      if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
        GError* err = nullptr;
        gst_message_parse_error(msg, &err, nullptr);
        std::fprintf(stderr, "mediastreamer-host: pipeline error: %s\n", err ? err->message : "?");
        if (err != nullptr) g_error_free(err);
        status = 1;
      }
      gst_message_unref(msg);
      break;
    }
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
    if (sample == nullptr && clock::now() - lastSample >= std::chrono::seconds(10)) {
      // A run bounded by --frames must still end when the pipeline stalls.
      std::fprintf(stderr, "mediastreamer-host: no frame from the pipeline for 10 s\n");
      status = 1;
    }
    if (sample != nullptr) {
      lastSample = clock::now();
      GstVideoInfo info;
      GstBuffer* buffer = gst_sample_get_buffer(sample);
      if (buffer != nullptr && gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
        bool copied = false;
        GstBuffer* packed = _T_Packed(buffer, info, copied);
        if (packed != nullptr) {
          if (copied && !toldRepack) {
            std::printf("rows are padded by GStreamer at width %ld: repacking every frame\n", width);
            toldRepack = true;
          }
          repacked += copied ? 1 : 0;
          frame_info2 frameInfo{};
          const GstClockTime pts = GST_BUFFER_PTS(buffer);
          frameInfo.exposure_start_ts_ =
              static_cast<uint64_t>(startUs) + (GST_CLOCK_TIME_IS_VALID(pts) ? pts / GST_USECOND : 0);
          frameInfo.width_ = static_cast<uint16_t>(width);
          frameInfo.height_ = static_cast<uint16_t>(height);
          frameInfo.type_ = format->type_;
          try {
            unit->handleStreamFrame(frameInfo, packed);
          } catch (const Tarn::generic_error&) {
            ++thrown;  // the unit logged why; it takes the next frame normally
          } catch (const std::exception& e) {
            std::fprintf(stderr, "mediastreamer-host: unit threw: %s\n", e.what());
            ++thrown;
          }
          ++handed;
          if (copied) gst_buffer_unref(packed);
        }
      }
      gst_sample_unref(sample);
    }
    if (clock::now() >= nextStats) {
      unit->collectStats(_T_PrintStats, const_cast<char*>("stats: "));
      nextStats += std::chrono::seconds(1);
    }
  }

  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(sink);
  gst_object_unref(pipeline);

  unit->handleStreamEnd();
  unit->stop();
  unit->collectStats(_T_PrintStats, const_cast<char*>("final stats: "));
  std::printf("frames handed to the unit: %ld (repacked: %ld, failed in the unit: %ld)\n", handed, repacked, thrown);
  unit->destroy();
  fini();
  return status;
}
