#include <tarn/support/mediastreamer/vnx.h>

#include <exception>
#include <optional>
#include <string>

#include <tarn/support/frame.h>
#include <tarn/support/gst/buffer.h>
#include <tarn/support/log.h>
#include <tarn/support/mediastreamer/vnx_conf.h>
#include <tarn/support/vnxvideo/allocator.h>
#include <tarn/support/vnxvideo/sample.h>
#include <tarn/types/exceptions.h>

namespace Tarn { namespace Support {

namespace {

// The library format of a frame type; false for the types the unit does not
// publish.
bool _T_MapFormat(const frame_type aType, ERawMediaFormat& aFormat) {
  switch (aType) {
    case kFRAME_TYPE__MONO8:
      aFormat = EMF_GRAY;
      return true;
    case kFRAME_TYPE__YUV420_I420:
      aFormat = EMF_I420;
      return true;
    case kFRAME_TYPE__YUV420_NV12:
      aFormat = EMF_NV12;
      return true;
    default:
      return false;
  }
}

}  // namespace

class vnx_streamer_unit final : public streamer_unit_like {
 public:
  explicit vnx_streamer_unit(vnx_streamer_conf aConf);

  void handleStreamStart() override {}
  void handleStreamFrame(const frame_info2& aFrameInfo, GstBuffer* aFrame) override;
  void handleStreamEnd() override {}
  void start() override {}
  void stop() override {}
  void destroy() override { delete this; }
  void collectStats(stats_handler_fn aHandler, void* aHandlerArg) override;

 private:
  // Only destroy() ends a unit.
  ~vnx_streamer_unit();

  vnx_allocator_sp_t allocator_;
  vnx_streamer_sp_t server_;
  std::optional<frame_info2> stream_format_;
  uint64_t stat_frame_counter_ = 0;
  std::string stats_frame_format_;
};

vnx_streamer_unit::vnx_streamer_unit(vnx_streamer_conf aConf) {
  LOG(3, "exec: endpoint:<%s>, max-size-mb:<%d>", aConf.endpoint_.c_str(), int(aConf.max_size_mb_));
  // Throws internal_error itself when there is no allocator to be had.
  allocator_ = VnxAllocator__CreateShm(aConf.endpoint_.c_str(), int(aConf.max_size_mb_));

  // The server is created while the unit's allocator is current, so that it
  // publishes in the unit's shared memory.
  vnx_streamer_sp_t server;
  const int rc = VnxAllocator__With(allocator_, [&]() {
    vnxvideo_rawproc_t handle{nullptr};
    const int answer = vnxvideo_local_server_create(aConf.endpoint_.c_str(), int(aConf.max_size_mb_), &handle);
    if (answer != vnxvideo_err_ok) {
      return answer;
    }
    server = VnxObject__MapHandleToPtr<vnxvideo_rawproc_t, vnxvideo_rawproc_free>(handle);
    return static_cast<int>(vnxvideo_err_ok);
  });
  if (rc != vnxvideo_err_ok) {
    LOG(1, "fail: vnxvideo_local_server_create (name:<%s>, answer:%d)", aConf.endpoint_.c_str(), rc);
    throw internal_error();
  }
  // A library that answers 0 without a server would leave a unit that cannot
  // publish: refuse to build it.
  if (!server) {
    LOG(1, "fail: vnxvideo_local_server_create gave no server (name:<%s>)", aConf.endpoint_.c_str());
    throw internal_error();
  }
  server_ = std::move(server);
  LOG(4, "done");
}

vnx_streamer_unit::~vnx_streamer_unit() {
  LOG(5, "exec");
  // Pending output is finished before the server goes; its answer changes
  // nothing here.
  (void)vnxvideo_rawproc_flush(VnxObject__MapPtrToHandle<vnxvideo_rawproc_t>(server_));
  server_.reset();
  LOG(4, "done");
  // allocator_ goes with the remaining fields, after the server.
}

void vnx_streamer_unit::handleStreamFrame(const frame_info2& aFrameInfo, GstBuffer* aFrame) {
  if (!aFrame) {
    LOG(1, "fail: frame:null");
    return;
  }
  ERawMediaFormat format;
  if (!_T_MapFormat(aFrameInfo.type_, format)) {
    LOG(1, "fail: unsupported (frame-type:%d)", int(aFrameInfo.type_));
    return;
  }
  const int w = aFrameInfo.width_;
  const int h = aFrameInfo.height_;

  // Announce the format on the first frame and on every change; a refusal
  // drops the frame and leaves the state, so the next frame tries again.
  if (!stream_format_ || *stream_format_ != aFrameInfo) {
    const int answer =
        vnxvideo_rawproc_set_format(VnxObject__MapPtrToHandle<vnxvideo_rawproc_t>(server_), format, w, h);
    if (answer != vnxvideo_err_ok) {
      LOG(2, "fail: vnxvideo_rawproc_set_format (answer:%d)", answer);
      return;
    }
    LOG(3, "done: vnxvideo_rawproc_set_format (answer:%d)", answer);
    stream_format_ = aFrameInfo;
    stats_frame_format_ = Frame__EncodeType(aFrameInfo.type_);
  }

  // Declared first, released last: the wrapper and the copy below go before
  // the buffer they were made from is unmapped, also when the copy throws.
  const gst_buffer_mapper mapping(aFrame, GST_MAP_READ);
  uint8_t* const d = mapping.getData<uint8_t>();

  // Packed rows: the first plane's rows are exactly W bytes apart; chroma
  // sizes are truncated halves.
  const size_t luma = size_t(w) * size_t(h);
  int sampleStrideArray[3] = {0, 0, 0};
  uint8_t* samplePlaneArray[3] = {nullptr, nullptr, nullptr};
  size_t needed = 0;
  switch (format) {
    case EMF_GRAY:
      sampleStrideArray[0] = w;
      samplePlaneArray[0] = d;
      needed = luma;
      break;
    case EMF_I420: {
      const size_t chroma = size_t(w / 2) * size_t(h / 2);
      sampleStrideArray[0] = w;
      sampleStrideArray[1] = w / 2;
      sampleStrideArray[2] = w / 2;
      samplePlaneArray[0] = d;
      samplePlaneArray[1] = d + luma;
      samplePlaneArray[2] = d + luma + chroma;
      needed = luma + 2 * chroma;
      break;
    }
    case EMF_NV12:
      sampleStrideArray[0] = w;
      sampleStrideArray[1] = w;
      samplePlaneArray[0] = d;
      samplePlaneArray[1] = d + luma;
      needed = luma + size_t(w) * size_t(h / 2);
      break;
  }
  // The copy would read every plane in full: a shorter buffer would make it
  // read past the mapping.
  if (mapping.getSize() < needed) {
    LOG(2, "fail: short buffer (size:%zu, needed:%zu)", mapping.getSize(), needed);
    return;
  }

  // Zero-copy view of the mapped pixels.
  vnxvideo_raw_sample_t wrapHandle{nullptr};
  const int wrapAnswer = vnxvideo_raw_sample_wrap(format, w, h, sampleStrideArray, samplePlaneArray, &wrapHandle);
  if (wrapAnswer != vnxvideo_err_ok) {
    LOG(2, "fail: vnxvideo_raw_sample_wrap (answer:%d)", wrapAnswer);
    return;
  }
  const vnx_sample_sp_t wrapper = VnxSample__MapHandleToPtr(wrapHandle);

  // The frame's one copy: into the unit's shared memory. Throws
  // internal_error after logging.
  const vnx_sample_sp_t copy = VnxAllocator__DeepCopySample(allocator_, wrapper);

  const uint64_t ts = aFrameInfo.exposure_start_ts_ / 1000;
  const int answer = vnxvideo_rawproc_process(VnxObject__MapPtrToHandle<vnxvideo_rawproc_t>(server_),
                                              VnxSample__MapPtrToHandle(copy), ts);
  if (answer != vnxvideo_err_ok) {
    LOG(2, "fail: vnxvideo_rawproc_process (answer:%d, ts:%lu)", answer, static_cast<unsigned long>(ts));
    return;
  }
  ++stat_frame_counter_;
}

void vnx_streamer_unit::collectStats(stats_handler_fn aHandler, void* aHandlerArg) {
  if (!aHandler) {
    LOG(1, "fail: handler:null");
    return;
  }
  const unsigned w = stream_format_ ? stream_format_->width_ : 0;
  const unsigned h = stream_format_ ? stream_format_->height_ : 0;
  std::string text;
  text.reserve(160);
  text += "{";
  text += "\"type\":\"vnx-streamer\"";
  text += ",\"name\": \"";
  text += "mediagrabber.0~vnx-streamer.0";
  text += "\"";
  text += ",\"stat\": {";
  text += "\"frame-count\": ";
  text += std::to_string(stat_frame_counter_);
  text += ",\"format\": \"";
  text += stats_frame_format_;
  text += "\"";
  text += ",\"wh\": [";
  text += std::to_string(w);
  text += ",";
  text += std::to_string(h);
  text += "]";
  text += "}";
  text += "}";
  aHandler(aHandlerArg, text.c_str());
}

streamer_unit_like* Streamer__CreateVnx(const char* aConf) noexcept {
  LOG(5, "exec");
  vnx_streamer_conf conf;
  try {
    VnxStreamerConf__Decode(aConf, conf);
  } catch (const generic_error&) {
    LOG(1, "fail: VnxStreamerConf__Decode");
    return nullptr;
  } catch (const std::exception& e) {
    LOG(1, "fail: exception <%s>", e.what());
    return nullptr;
  } catch (...) {
    LOG(1, "fail: uncaught exception");
    return nullptr;
  }
  try {
    streamer_unit_like* unit = new vnx_streamer_unit(conf);
    LOG(4, "done");
    return unit;
  } catch (const generic_error&) {
    LOG(1, "fail");
  } catch (const std::exception& e) {
    LOG(1, "fail: exception <%s>", e.what());
  } catch (...) {
    LOG(1, "fail: uncaught exception");
  }
  return nullptr;
}

}}  // namespace Tarn::Support
