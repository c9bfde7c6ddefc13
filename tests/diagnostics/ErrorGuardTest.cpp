#include "diagnostics/ErrorGuard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {
std::atomic<int> commonCalls{0};
std::atomic<int> criticalCalls{0};
void OnCommon() {
    ++commonCalls;
}
void OnCritical() {
    ++criticalCalls;
}
}  // namespace

TEST(ErrorGuard, HandlerRunsOnceExactlyAtTheThreshold) {
    commonCalls = criticalCalls = 0;
    Diagnostics::ErrorGuard guard;
    guard.SetCommonErrorThreshold(5, OnCommon);
    guard.SetCriticalErrorThreshold(3, OnCritical);
    for (int i = 0; i < 4; ++i) {
        guard.ReportError();
    }
    guard.ReportCriticalError();
    guard.ReportCriticalError();
    EXPECT_EQ(commonCalls, 0);
    EXPECT_EQ(criticalCalls, 0);
    guard.ReportError();
    guard.ReportCriticalError();
    EXPECT_EQ(commonCalls, 1);
    EXPECT_EQ(criticalCalls, 1);
    for (int i = 0; i < 10; ++i) {
        guard.ReportError();
        guard.ReportCriticalError();
    }
    EXPECT_EQ(commonCalls, 1);
    EXPECT_EQ(criticalCalls, 1);
    EXPECT_EQ(guard.GetErrorCount(), 15u);
    EXPECT_EQ(guard.GetCriticalErrorCount(), 13u);
}

TEST(ErrorGuard, ConcurrentReportsLoseNothingAndCrossTheThresholdOnce) {
    commonCalls = 0;
    Diagnostics::ErrorGuard guard;
    guard.SetCommonErrorThreshold(5000, OnCommon);
    std::vector<std::thread> reporters;
    for (int t = 0; t < 8; ++t) {
        reporters.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                guard.ReportError();
            }
        });
    }
    for (std::thread& reporter : reporters) {
        reporter.join();
    }
    EXPECT_EQ(guard.GetErrorCount(), 8000u);
    EXPECT_EQ(commonCalls, 1);
}

TEST(ErrorGuard, NoThresholdOnlyCounts) {
    commonCalls = 0;
    Diagnostics::ErrorGuard guard;
    for (int i = 0; i < 100; ++i) {
        guard.ReportError();
    }
    guard.SetCommonErrorThreshold(0, OnCommon);
    guard.ReportError();
    EXPECT_EQ(commonCalls, 0);
    EXPECT_EQ(guard.GetErrorCount(), 101u);
}
