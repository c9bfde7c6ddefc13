#include "mux/ProcessStartup.h"

#include <condition_variable>
#include <mutex>

#include "diagnostics/FaultHandling.h"

namespace Mux {

void RunProcess(int, const std::string&) {
    std::mutex mutex;
    std::condition_variable stopped;
    bool stopRequested = false;
    Diagnostics::SetCoreStopHook([&] {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
        stopped.notify_all();
    });
    Diagnostics::RegisterSignalHandlers();
    std::unique_lock<std::mutex> lock(mutex);
    stopped.wait(lock, [&] { return stopRequested; });
    Diagnostics::SetCoreStopHook(nullptr);
}

}  // namespace Mux
