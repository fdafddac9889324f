// How often the process's other threads have been switched in: a thread that sleeps on a
// condition variable and is woken for nothing shows up here, where no timing would show it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace fen::testing {

// The context switches of every thread of this process but the calling one, summed; nothing
// where the system does not report them per thread.
std::optional<std::uint64_t> OtherThreadsSwitches();

// Once every other thread sleeps, runs step times over with a pause after each, long enough
// for a thread woken by it to sleep again, and returns how often the other threads were
// switched in meanwhile; nothing where the system does not say or they never all slept.
std::optional<std::uint64_t> OtherThreadsSwitchesDuring(int times,
                                                        const std::function<void()>& step);

}  // namespace fen::testing
