// A call into a library that may never return, given a time limit: it runs on a thread of its
// own, and when it has not returned in time the caller goes on and the thread is left to it,
// owning what the call and anything the library may still call back need.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace fen {

// Runs `call` and waits at most `limit` for it. `keep` stays alive until the call has returned,
// however long that is. True when the call returned in time.
bool CallWithin(std::chrono::milliseconds limit, std::function<void()> call,
                std::shared_ptr<void> keep = nullptr);

}  // namespace fen
