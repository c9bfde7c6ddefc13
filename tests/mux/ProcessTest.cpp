// lockhub as a real process: information options, start-up lines, log file, signals.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using TestSupport::ChildProcess;
using TestSupport::TempDir;

namespace {

// Sends a signal to the process through its main thread. One sent to the process may land
// on a thread that is just starting, where ThreadSanitizer's runtime can lose it (SIGQUIT)
// or crash on it (SIGSEGV); the main thread has long been running.
void SignalMainThread(ChildProcess& process, int signal) {
    ::tgkill(process.Pid(), process.Pid(), signal);
}

class Lockhub {
public:
    explicit Lockhub(std::vector<std::string> extra = {}, std::string logFile = "")
        : logFile_(logFile.empty() ? folder.File("lockhub.log") : logFile) {
        // A fake gcore records its command line instead of dumping the process, and fails
        // as a real one does when it may not trace the process.
        TestSupport::WriteFile(
            folder.File("gcore"),
            "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/gcore.args\"\nexit 3\n");
        ::chmod(folder.File("gcore").c_str(), 0755);
        std::vector<std::string> argv = {LOCKHUB_BINARY, "--port",
                                         std::to_string(TestSupport::FreePort()), "--logFile",
                                         logFile_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ChildProcess::Options options;
        options.workDir = folder.Path();
        options.outputDir = folder.Path();
        options.environment = {"PATH=" + folder.Path() + ":" + std::getenv("PATH")};
        process = std::make_unique<ChildProcess>(TestSupport::ProjectProgram(argv), options);
    }
    std::string Log() { return TestSupport::ReadFile(logFile_); }
    // Start-up logs this line once every signal handler is installed. (The handled-signal
    // mask cannot tell: the sanitizers catch SIGSEGV and SIGBUS themselves.)
    bool Ready() {
        return TestSupport::WaitFor([&] {
            return Log().find("] Mux ended initialization process.\n") != std::string::npos;
        });
    }

    TempDir folder;
    std::string logFile_;
    std::unique_ptr<ChildProcess> process;
};

std::string RunForOutput(const std::vector<std::string>& args, int* status) {
    TempDir folder;
    std::vector<std::string> argv = {LOCKHUB_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess process(TestSupport::ProjectProgram(argv), {folder.Path(), {}, folder.Path()});
    *status = process.ExitStatus(10s).value_or(-2);
    return process.Output();
}

}  // namespace

TEST(LockhubProcess, InformationOptionsPrintAndExitZero) {
    int status = -1;
    EXPECT_EQ(RunForOutput({"--version"}, &status), "Quarnvell MUX version 2.18.1\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(RunForOutput({"--ver"}, &status), "2.18.1\n");
    EXPECT_EQ(status, 0);
    std::string usage = RunForOutput({"--version", "--help"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(usage.rfind("Quarnvell MUX version 2.18.1\nUsage: \n", 0), 0u);
    EXPECT_EQ(TestSupport::CountOf(usage, "\n"), 16u);
}

TEST(LockhubProcess, StartUpLinesGoToFileAndConsoleAndTheFileIsAppended) {
    for (int run = 1; run <= 2; ++run) {
        Lockhub lockhub;
        ASSERT_TRUE(lockhub.Ready());
        SignalMainThread(*lockhub.process, SIGQUIT);
        ASSERT_EQ(lockhub.process->ExitStatus(10s), 0);
        std::string console = lockhub.process->Output();
        EXPECT_NE(console.find("INFO  ["), std::string::npos);
        EXPECT_NE(console.find("] Starting Mux version 2.18.1\n"), std::string::npos);
        EXPECT_NE(console.find("] Initializing Mux modules...\n"), std::string::npos);
        EXPECT_EQ(console.find("Logging initialized."), std::string::npos);
        EXPECT_EQ(lockhub.Log(), console);
    }
}

TEST(LockhubProcess, RestartAppendsToTheSameLogFile) {
    TempDir folder;
    std::string log = folder.File("shared.log");
    TestSupport::WriteFile(log, "earlier line\n");
    Lockhub lockhub({"--debug"}, log);
    ASSERT_TRUE(lockhub.Ready());
    SignalMainThread(*lockhub.process, SIGQUIT);
    ASSERT_EQ(lockhub.process->ExitStatus(10s), 0);
    std::string text = TestSupport::ReadFile(log);
    EXPECT_EQ(text.rfind("earlier line\n", 0), 0u);
    EXPECT_NE(text.find("Logging initialized."), std::string::npos);
}

TEST(LockhubProcess, QuitAndTerminateExitZeroAndHangUpExits255) {
    Lockhub quit;
    Lockhub terminate;
    Lockhub hangUp;
    ASSERT_TRUE(quit.Ready());
    ASSERT_TRUE(terminate.Ready());
    ASSERT_TRUE(hangUp.Ready());
    SignalMainThread(*quit.process, SIGQUIT);
    SignalMainThread(*terminate.process, SIGTERM);
    SignalMainThread(*hangUp.process, SIGHUP);
    EXPECT_EQ(quit.process->ExitStatus(10s), 0);
    EXPECT_EQ(terminate.process->ExitStatus(10s), 0);
    EXPECT_EQ(
        TestSupport::CountOf(terminate.Log(), "] Termination signal received. Closing Mux.\n"), 1u);
    EXPECT_EQ(hangUp.process->ExitStatus(10s), 255);
    EXPECT_NE(quit.Log().find("INFO  ["), std::string::npos);
    EXPECT_EQ(TestSupport::CountOf(quit.Log(), "] Termination signal received. Closing Mux.\n"),
              1u);
    EXPECT_EQ(TestSupport::CountOf(hangUp.Log(), "WARN  ["), 1u);
    EXPECT_EQ(TestSupport::CountOf(hangUp.Log(), "] Kill signal received. Terminating mux.\n"), 1u);
}

TEST(LockhubProcess, SegmentationFaultLogsDumpsAndExits255) {
    Lockhub lockhub({"--verbose"});
    ASSERT_TRUE(lockhub.Ready());
    SignalMainThread(*lockhub.process, SIGSEGV);
    EXPECT_EQ(lockhub.process->ExitStatus(60s), 255);
    std::string log = lockhub.Log();
    EXPECT_EQ(TestSupport::CountOf(
                  log,
                  "Received aborting or error signal. Try to save a dump file. Closing the "
                  "Mux process.\n"),
              1u);
    EXPECT_EQ(TestSupport::CountOf(log, "Obtaining stack trace for current SIG.\n"), 2u);
    EXPECT_EQ(TestSupport::CountOf(log, "Backtrace (frames) ends here\n"), 2u);
    EXPECT_NE(log.find("Running gcore for save current core dump.\nCommand line: gcore -o "
                       "lockhub.dump " +
                       std::to_string(lockhub.process->Pid()) + "\n"),
              std::string::npos);
    EXPECT_EQ(TestSupport::ReadFile(lockhub.folder.File("gcore.args")),
              "-o lockhub.dump " + std::to_string(lockhub.process->Pid()) + "\n");
    EXPECT_LT(log.find("Received aborting"), log.find("Running gcore"));
    EXPECT_EQ(TestSupport::CountOf(log, "] No core dump saved: gcore ended with status 3.\n"), 1u);
}
