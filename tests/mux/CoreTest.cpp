#include <gtest/gtest.h>

#include "diagnostics/ErrorGuard.h"
#include "diagnostics/FaultHandling.h"
#include "mux/QuarnMux.h"
#include "tests/support/TestSupport.h"

TEST(QuarnMux, ListenPortRules) {
    EXPECT_EQ(Mux::QuarnMux(6000).GetListenPort(), 6000);
    for (int refused : {80, 443, 0, -5}) {
        EXPECT_EQ(Mux::QuarnMux(refused).GetListenPort(), 5555) << refused;
    }
    EXPECT_EQ(Mux::QuarnMux().GetListenPort(), 5555);
}

TEST(QuarnMux, StopEndsBothLoopsAndWaitReturns) {
    Mux::QuarnMux core;
    core.UseSystemChosenPort();
    core.Start();
    core.Start();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return core.IsServing(); }));
    EXPECT_NE(core.GetListenPort(), 0);
    core.Stop();
    core.Wait();
}

// Each test case runs in a process of its own, so the process-wide guard starts at zero.
TEST(QuarnMux, TheCommonErrorThresholdStopsTheCoreAndSetsExitCodeOne) {
    Diagnostics::ArmErrorGuard();
    Mux::QuarnMux core;
    core.UseSystemChosenPort();
    Diagnostics::SetCoreStopHook([&core] { core.Stop(); });
    core.Start();
    for (unsigned i = 1; i < Diagnostics::kCommonErrorThreshold; ++i) {
        Diagnostics::ErrorGuard::GetInstance().ReportError();
    }
    EXPECT_EQ(Diagnostics::GetProcessExitCode(), 0);
    Diagnostics::ErrorGuard::GetInstance().ReportError();
    core.Wait();
    EXPECT_EQ(Diagnostics::GetProcessExitCode(), 1);
    Diagnostics::SetCoreStopHook(nullptr);
}
