#include "platform/Foundation/CurlMultiLoop.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Foundation/Log.h"
#include "platform/Foundation/RunLoop.h"

namespace platform {

namespace {

// Easy handles kept for reuse: more than the transfers one thread usually
// runs at once, few enough that an idle thread holds little.
constexpr size_t kMaxIdleEasyHandles = 4;

// OpenSSL otherwise frees its global state from an exit handler, while the
// URL loading thread, which runs for the life of the process, may be in the
// middle of a handshake (or still initialising libcurl): a process that
// returned from main() with a request in flight crashed in OpenSSL. Asked
// for as the platform library loads, before anything else uses OpenSSL.
[[maybe_unused]] const bool kOpenSslKeptAtExit =
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

bool initCurlOnce() {
  // Process-wide and never undone: libcurl's global state lives as long as
  // the process, like the threads that use it.
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  return result == CURLE_OK;
}

}  // namespace

struct CurlMultiLoop::Impl {
  explicit Impl(RunLoop& runLoop) : loop(runLoop) {
    if (!initCurlOnce()) {
      NSLog("URL loading: libcurl cannot be initialised; every request will fail");
      return;
    }
    multi = curl_multi_init();
    if (multi == nullptr) {
      NSLog("URL loading: libcurl cannot make a multi handle; every request will fail");
      return;
    }
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Impl::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Impl::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
  }

  ~Impl() {
    loop.cancelTimer(timer);
    for (auto& [easy, transfer] : transfers) {
      curl_multi_remove_handle(multi, easy);
    }
    for (auto& transfer : pendingRemovals) {
      curl_multi_remove_handle(multi, transfer->easyHandle());
    }
    for (auto& [socket, watch] : watches)
      loop.unwatchFd(watch);
    for (CURL* easy : idleEasyHandles)
      curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
  }

  CURL* takeEasyHandle() {
    if (idleEasyHandles.empty()) return initCurlOnce() ? curl_easy_init() : nullptr;
    CURL* easy = idleEasyHandles.back();
    idleEasyHandles.pop_back();
    return easy;
  }

  void recycleEasyHandle(CURL* easy) {
    if (easy == nullptr) return;
    if (idleEasyHandles.size() >= kMaxIdleEasyHandles) {
      curl_easy_cleanup(easy);
      return;
    }
    // Back to the state of a new handle: no option still points into the
    // transfer that used it (its buffers, its callbacks' data).
    curl_easy_reset(easy);
    idleEasyHandles.push_back(easy);
  }

  void add(std::shared_ptr<Transfer> transfer) {
    if (depth > 0) {
      pendingAdds.push_back(std::move(transfer));
      return;
    }
    CURL* easy = transfer->easyHandle();
    if (transfers.count(easy) != 0) return;
    const CURLMcode rc =
        multi != nullptr && easy != nullptr ? curl_multi_add_handle(multi, easy) : CURLM_BAD_HANDLE;
    if (rc != CURLM_OK) {
      NSLog(std::string("URL loading: libcurl refuses a transfer: ") + curl_multi_strerror(rc));
      // Ends from the loop, like every other end, never inside the caller's start.
      loop.post([transfer = std::move(transfer)] { transfer->transferDidEnd(CURLE_FAILED_INIT); });
      return;
    }
    transfers.emplace(easy, std::move(transfer));
  }

  void remove(Transfer& transfer) {
    std::erase_if(pendingAdds, [&](const auto& pending) { return pending.get() == &transfer; });
    auto it = transfers.find(transfer.easyHandle());
    if (it == transfers.end()) return;
    std::shared_ptr<Transfer> kept = std::move(it->second);
    transfers.erase(it);
    if (depth > 0) {
      // Out of our books at once, so its end is never reported; out of
      // libcurl's once libcurl has returned.
      pendingRemovals.push_back(std::move(kept));
      return;
    }
    curl_multi_remove_handle(multi, kept->easyHandle());
  }

  // Lets libcurl act on a socket (or on its time-out), then hands it what
  // was held back and reports the transfers that ended.
  void drive(curl_socket_t socket, int mask) {
    int running = 0;
    ++depth;
    curl_multi_socket_action(multi, socket, mask, &running);
    --depth;
    settle();
  }

  void settle() {
    std::vector<std::shared_ptr<Transfer>> removed = std::move(pendingRemovals);
    pendingRemovals.clear();
    for (auto& transfer : removed)
      curl_multi_remove_handle(multi, transfer->easyHandle());
    std::vector<std::shared_ptr<Transfer>> added = std::move(pendingAdds);
    pendingAdds.clear();
    for (auto& transfer : added)
      add(std::move(transfer));

    // Collected first: a transfer told of its end may add or remove others,
    // which would disturb libcurl's message queue under our feet.
    std::vector<std::pair<CURL*, CURLcode>> ended;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg == CURLMSG_DONE)
        ended.emplace_back(message->easy_handle, message->data.result);
    }
    for (const auto& [easy, code] : ended) {
      auto it = transfers.find(easy);
      if (it == transfers.end()) continue;  // removed by an earlier transfer's end
      std::shared_ptr<Transfer> transfer = std::move(it->second);
      transfers.erase(it);
      curl_multi_remove_handle(multi, easy);
      transfer->transferDidEnd(code);
    }
  }

  void onReady(curl_socket_t socket, unsigned events) {
    int mask = 0;
    if (events & RunLoop::kReadable) mask |= CURL_CSELECT_IN;
    if (events & RunLoop::kWritable) mask |= CURL_CSELECT_OUT;
    if (events & RunLoop::kError) mask |= CURL_CSELECT_ERR;
    drive(socket, mask);
  }

  static int onSocket(CURL*, curl_socket_t socket, int what, void* userp, void*) {
    auto* self = static_cast<Impl*>(userp);
    auto found = self->watches.find(socket);
    if (what == CURL_POLL_REMOVE) {
      if (found != self->watches.end()) {
        self->loop.unwatchFd(found->second);
        self->watches.erase(found);
      }
      return 0;
    }
    unsigned events = 0;
    if (what & CURL_POLL_IN) events |= RunLoop::kReadable;
    if (what & CURL_POLL_OUT) events |= RunLoop::kWritable;
    if (found != self->watches.end()) {
      self->loop.updateFdEvents(found->second, events);
      return 0;
    }
    const RunLoop::WatchId watch = self->loop.watchFd(
        socket, events, [self, socket](unsigned occurred) { self->onReady(socket, occurred); });
    if (watch == 0) return -1;  // libcurl then fails the transfers on this socket
    self->watches.emplace(socket, watch);
    return 0;
  }

  static int onTimer(CURLM*, long timeoutMs, void* userp) {
    auto* self = static_cast<Impl*>(userp);
    self->loop.cancelTimer(self->timer);
    self->timer = 0;
    if (timeoutMs >= 0) {
      self->timer = self->loop.scheduleTimer(timeoutMs / 1000.0, false, [self] {
        // Cleared first: the action below may well ask for a new time-out,
        // which must not be cancelled as if it were this spent one.
        self->timer = 0;
        self->drive(CURL_SOCKET_TIMEOUT, 0);
      });
    }
    return 0;
  }

  RunLoop& loop;
  CURLM* multi = nullptr;
  // Transfers in the multi handle that will be reported, by easy handle.
  std::unordered_map<CURL*, std::shared_ptr<Transfer>> transfers;
  std::unordered_map<curl_socket_t, RunLoop::WatchId> watches;
  RunLoop::TimerId timer = 0;
  // Above zero while a multi call runs, when libcurl may call back.
  int depth = 0;
  std::vector<std::shared_ptr<Transfer>> pendingAdds;
  std::vector<std::shared_ptr<Transfer>> pendingRemovals;
  // Reset easy handles of ended transfers, in no multi handle.
  std::vector<CURL*> idleEasyHandles;
};

std::shared_ptr<CurlMultiLoop> CurlMultiLoop::forCurrentThread() {
  // The loop first: thread-local objects go in the reverse order of their
  // making, so the multi loop, which watches through the run loop, goes
  // before a run loop that this thread made for itself.
  RunLoop& loop = RunLoop::current();
  thread_local std::shared_ptr<CurlMultiLoop> instance;
  if (!instance) instance.reset(new CurlMultiLoop(loop));
  return instance;
}

CurlMultiLoop::CurlMultiLoop(RunLoop& loop) : impl_(std::make_unique<Impl>(loop)) {}
CurlMultiLoop::~CurlMultiLoop() = default;

void CurlMultiLoop::add(std::shared_ptr<Transfer> transfer) {
  impl_->loop.assertIsCurrent(__PRETTY_FUNCTION__);
  if (transfer) impl_->add(std::move(transfer));
}

void CurlMultiLoop::remove(Transfer& transfer) {
  impl_->loop.assertIsCurrent(__PRETTY_FUNCTION__);
  impl_->remove(transfer);
}

void* CurlMultiLoop::takeEasyHandle() {
  impl_->loop.assertIsCurrent(__PRETTY_FUNCTION__);
  return impl_->takeEasyHandle();
}

void CurlMultiLoop::recycleEasyHandle(void* easy) {
  impl_->loop.assertIsCurrent(__PRETTY_FUNCTION__);
  impl_->recycleEasyHandle(static_cast<CURL*>(easy));
}

}  // namespace platform
