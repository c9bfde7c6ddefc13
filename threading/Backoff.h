#pragma once
// The pause before a loop tries again after failures: the first pause after the first
// failure, doubling after each further one up to the longest. The spread only shortens a
// pause, by up to a tenth at random, so that peers that failed together do not retry in
// step, and the longest is never exceeded. Any thread.

#include <algorithm>
#include <chrono>
#include <random>

namespace Threading {

inline std::chrono::milliseconds BackoffDelay(int failures, std::chrono::milliseconds first,
                                              std::chrono::milliseconds longest) {
    std::chrono::milliseconds delay = first;
    for (int i = 1; i < failures && delay < longest; ++i) {
        delay *= 2;
    }
    delay = std::min(delay, longest);
    thread_local std::minstd_rand spread(std::random_device{}());
    return delay - delay * static_cast<int>(spread() % 101) / 1000;
}

}  // namespace Threading
