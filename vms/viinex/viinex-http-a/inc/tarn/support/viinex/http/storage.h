// Storage client of the VMS: downloads recorded intervals of VMS streams into
// MP4 files through the storage HTTP interface.
//
// A client owns one worker thread (from start() to stop()) that runs every
// download, a bounded number at a time, in queue order. Requests may be made
// from any thread; the handler of every request is called exactly once:
//   - on the calling thread, before loadVideoAsync returns, when the request is
//     refused (kS_INVALID_PARAMS for a source URL that is no absolute URI,
//     kS_FAIL for a stopped client);
//   - on the worker thread when the download ended (kS_DONE with the result,
//     or kS_FAIL; the failure's cause is logged);
//   - on the thread calling stop() (or the destructor) with kS_CANCELED for a
//     request still queued, in queue order, with the queue lock held;
// except for a download that is running when stop() is called: it is abandoned
// without a call (and resumes if the client is started again). The result
// passed with kS_DONE is valid only during the call.
//
// A handler must not call stop() or destroy its client; a cancellation handler
// must not call getStats() or testBusy(). start(), stop() and the destructor
// must not overlap each other. start() and stop() throw std::system_error when
// the worker thread cannot be created or joined; stop() called on the worker
// thread itself throws it at once and changes nothing.
#pragma once

#include <tarn/support/viinex/http/types/media.h>
#include <tarn/types/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Tarn { namespace Support { namespace Viinex {

// A snapshot of a client's counters.
struct storage_client_stats {
  uint64_t query_total_ = 0;    // requests accepted into the queue since construction
  uint64_t query_success_ = 0;  // downloads that returned a result
  uint64_t query_failure_ = 0;  // downloads that failed
  uint64_t query_pending_ = 0;  // requests now queued
  uint64_t query_active_ = 0;   // downloads now running
};

class storage_client_like {
 public:
  using handler_t = std::function<void(stat_t, const video_info*)>;

  // Stops a started client first (queued requests get kS_CANCELED).
  virtual ~storage_client_like() = default;
  // Starts the worker thread; a started client only logs.
  virtual void start() = 0;
  // True while a request is queued or running.
  virtual bool testBusy() = 0;
  // Stops the worker thread: running downloads are abandoned, queued requests
  // are completed with kS_CANCELED here, in queue order. A stopped client only logs.
  virtual void stop() = 0;
  virtual void getStats(storage_client_stats& aStats) = 0;
  // Queues a GET of aSourceUrl (a request target: path and query) from
  // aHost:aPort into aTargetFile. aHandler must hold a callable.
  virtual void loadVideoAsync(const std::string& aHost, const std::string& aPort, const std::string& aSourceUrl,
                              const std::string& aTargetFile, const unsigned int aToutSec, handler_t aHandler) = 0;
  // Queues the export of [aTargetMinTs, aTargetMaxTs] of the stream at the
  // absolute URL aSourceUrl ("http://host:port/path") into aTargetFile.
  virtual void loadVideoAsync(const std::string& aSourceUrl, const std::string& aTargetFile,
                              const uint64_t aTargetMinTs, const uint64_t aTargetMaxTs, const unsigned int aToutSec,
                              handler_t aHandler) = 0;
};

using storage_client_up_t = std::unique_ptr<storage_client_like>;

// A new, stopped client that runs at most aMaxConcurrentDownloads downloads at
// once (none at all for 0 or less).
storage_client_up_t StorageClient__Create(int aMaxConcurrentDownloads);

}}}  // namespace Tarn::Support::Viinex
