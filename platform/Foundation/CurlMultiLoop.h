#pragma once

#include <memory>

namespace platform {

class RunLoop;

// libcurl's multi interface run by one run loop: the loop watches the
// sockets libcurl asks it to and keeps libcurl's one time-out as a timer, so
// that transfers need no thread of their own. URLConnection uses it; it is no
// interface for others.
//
// Threads: one per thread, made by forCurrentThread() for that thread's run
// loop; every member is called on that thread only, and libcurl's callbacks
// (socket, timer, and each transfer's header and write callbacks) run there,
// from inside the loop's callbacks. Nothing is shared, so nothing is locked.
//
// libcurl must not be called from inside its own callbacks. A transfer added
// or removed while libcurl is running (a delegate cancelling from inside its
// data callback, say) is therefore queued and handed to libcurl as soon as
// libcurl returns; the transfer is expected to refuse the callbacks it gets
// meanwhile.
class CurlMultiLoop {
 public:
  // One transfer: an easy handle, and who hears of its end.
  class Transfer {
   public:
    virtual ~Transfer() = default;
    // libcurl's easy handle (a CURL*), set up and not yet added.
    virtual void* easyHandle() = 0;
    // The transfer has ended with this CURLcode and is out of the multi
    // handle. Called from the run loop, never from inside libcurl, so it may
    // add and remove transfers.
    virtual void transferDidEnd(int curlCode) = 0;
  };

  // The multi loop of the calling thread's run loop, made on first use.
  static std::shared_ptr<CurlMultiLoop> forCurrentThread();

  ~CurlMultiLoop();
  CurlMultiLoop(const CurlMultiLoop&) = delete;
  CurlMultiLoop& operator=(const CurlMultiLoop&) = delete;

  // Starts a transfer and keeps it alive until it has ended or been removed.
  // A transfer libcurl refuses ends at once, from a posted task.
  void add(std::shared_ptr<Transfer> transfer);
  // Takes a transfer out without telling it; its connection stays in the
  // pool for reuse. Harmless for a transfer not (or no longer) added.
  void remove(Transfer& transfer);

  // An easy handle (a CURL*) with every option at libcurl's default, for a
  // new transfer: one an ended transfer gave back, or a new one; null when
  // libcurl cannot make one. The caller owns it until it gives it back.
  void* takeEasyHandle();
  // Gives back the easy handle of a transfer that has ended and is out of
  // the multi handle, so that the next transfer is spared making one. Its
  // options are reset at once, so it keeps no pointer into the transfer
  // that used it; a few are kept, the rest cleaned up.
  void recycleEasyHandle(void* easy);

 private:
  explicit CurlMultiLoop(RunLoop& loop);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
