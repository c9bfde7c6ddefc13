#include "diagnostics/ErrorGuard.h"

namespace Diagnostics {
namespace {

void Count(std::atomic<uint32_t>& count, const std::atomic<uint32_t>& threshold,
           const std::atomic<ErrorGuard::Handler>& handler) {
    // fetch_add hands each report its own number, so exactly one report sees the threshold.
    uint32_t reached = count.fetch_add(1) + 1;
    uint32_t limit = threshold.load();
    ErrorGuard::Handler call = handler.load();
    if (limit != 0 && reached == limit && call != nullptr) {
        call();
    }
}

}  // namespace

ErrorGuard& ErrorGuard::GetInstance() {
    static ErrorGuard* const instance = new ErrorGuard();
    return *instance;
}

void ErrorGuard::SetCommonErrorThreshold(uint32_t threshold, Handler handler) {
    commonHandler_.store(handler);
    commonThreshold_.store(threshold);
}

void ErrorGuard::SetCriticalErrorThreshold(uint32_t threshold, Handler handler) {
    criticalHandler_.store(handler);
    criticalThreshold_.store(threshold);
}

void ErrorGuard::ReportError() {
    Count(commonCount_, commonThreshold_, commonHandler_);
}

void ErrorGuard::ReportCriticalError() {
    Count(criticalCount_, criticalThreshold_, criticalHandler_);
}

}  // namespace Diagnostics
