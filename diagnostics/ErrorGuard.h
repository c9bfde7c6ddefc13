#pragma once
// Process-wide counts of common and critical errors. Each count has an optional
// threshold and handler; the handler runs exactly once, on the thread whose report
// made the count reach the threshold, however many threads report at the same time.

#include <atomic>
#include <cstdint>

namespace Diagnostics {

class ErrorGuard {
public:
    using Handler = void (*)();

    // The process-wide instance: created on first use, never destroyed.
    static ErrorGuard& GetInstance();

    ErrorGuard() = default;
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

    // A threshold of 0 means none. Arm before the threads that report exist.
    void SetCommonErrorThreshold(uint32_t threshold, Handler handler);
    void SetCriticalErrorThreshold(uint32_t threshold, Handler handler);

    void ReportError();
    void ReportCriticalError();

    uint32_t GetErrorCount() const { return commonCount_.load(); }
    uint32_t GetCriticalErrorCount() const { return criticalCount_.load(); }

private:
    std::atomic<uint32_t> criticalCount_{0};
    std::atomic<uint32_t> commonCount_{0};
    std::atomic<uint32_t> criticalThreshold_{0};
    std::atomic<uint32_t> commonThreshold_{0};
    std::atomic<Handler> criticalHandler_{nullptr};
    std::atomic<Handler> commonHandler_{nullptr};
};

}  // namespace Diagnostics
