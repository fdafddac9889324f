#include "platform/bounded_call.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace fen {

bool CallWithin(std::chrono::milliseconds limit, std::function<void()> call,
                std::shared_ptr<void> keep) {
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread worker([done, call = std::move(call), keep = std::move(keep)]() mutable {
    call();
    keep.reset();
    std::lock_guard<std::mutex> lock(done->mutex);
    done->done = true;
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  if (done->cv.wait_for(lock, limit, [&] { return done->done; })) {
    lock.unlock();
    worker.join();
    return true;
  }
  worker.detach();
  return false;
}

}  // namespace fen
