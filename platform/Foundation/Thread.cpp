#include "platform/Foundation/Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <future>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/Foundation/Log.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RunLoop.h"

namespace platform {

// Threads: `name`, `body` and `loop` are fixed at construction and read by
// both sides; `mutex` guards `started` so that concurrent start() calls start
// one thread. The started thread keeps the Impl alive until its body returns.
struct Thread::Impl {
  Impl(std::string threadName, Body threadBody)
      : name(std::move(threadName)),
        body(std::move(threadBody)),
        loop(std::make_shared<RunLoop>()) {}

  const std::string name;
  const Body body;
  const std::shared_ptr<RunLoop> loop;

  Mutex mutex;
  bool started HALDEN_GUARDED_BY(mutex) = false;

  // The Thread whose body runs on this thread, if any.
  static thread_local const Impl* current;

  static void main(std::shared_ptr<Impl> impl, std::promise<bool> owned);
};

thread_local const Thread::Impl* Thread::Impl::current = nullptr;

namespace {

// The kernel keeps 15 bytes of a name; cut at a UTF-8 character boundary so
// that tools showing thread names do not see half a character.
std::string kernelName(const std::string& name) {
  constexpr size_t kMax = 15;
  if (name.size() <= kMax) return name;
  size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
    --cut;
  return name.substr(0, cut);
}

}  // namespace

void Thread::Impl::main(std::shared_ptr<Impl> impl, std::promise<bool> owned) {
  pthread_setname_np(pthread_self(), kernelName(impl->name).c_str());
  current = impl.get();
  const bool mine = impl->loop->adoptCurrentThread();
  owned.set_value(mine);
  if (mine) {
    Thread self(impl);
    if (impl->body) {
      impl->body(self);
    } else {
      for (;;)
        impl->loop->run();
    }
  }
  impl->loop->close();
  current = nullptr;
}

Thread::Thread(std::string name, Body body)
    : name_(name), impl_(std::make_shared<Impl>(std::move(name), std::move(body))) {}

Thread::Thread(std::shared_ptr<Impl> impl) : name_(impl->name), impl_(std::move(impl)) {}

// The operating-system thread was detached when it started and holds its own
// reference to the shared state, so there is nothing to wait for here.
Thread::~Thread() = default;

void Thread::start() {
  MutexLock lock(impl_->mutex);
  if (impl_->started) return;
  impl_->started = true;
  std::promise<bool> owned;
  std::future<bool> ownedFuture = owned.get_future();
  try {
    std::thread(&Impl::main, impl_, std::move(owned)).detach();
  } catch (const std::system_error& error) {
    NSLog("Thread " + name_ + ": cannot start: " + error.what());
    impl_->loop->close();
    return;
  }
  // Only a loop run elsewhere before start() can refuse the new thread.
  if (!ownedFuture.get()) {
    NSLog("Thread " + name_ + ": its run loop is run by another thread; the thread ends");
  }
}

RunLoop& Thread::runLoop() {
  return *impl_->loop;
}

bool Thread::isCurrent() const {
  return Impl::current == impl_.get();
}

std::string Thread::currentName() {
  if (Impl::current) return Impl::current->name;
  if (::gettid() == ::getpid()) return "main";
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
  return name;
}

}  // namespace platform
