#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string_view>
#include <thread>

#include "diagnostics/Diagnostics.h"
#include "diagnostics/FaultHandling.h"
#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"
#include "diagnostics/Tracer.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

// The exit tests run this program again as a child: with LOCKHUB_LOGGER_EXIT set, it logs
// kExitLines numbered lines into the file LOCKHUB_LOGGER_FILE and leaves through the exit
// path named there ("return", "critical", "quit" or "crash"), before any test starts;
// "fulldisk" then removes the file LOCKHUB_LOGGER_FILLER, logs "after" and returns;
// "busyquit" quits while another thread keeps logging.
constexpr int kExitLines = 20000;

[[maybe_unused]] const bool exitScenario = [] {
    const char* exitPath = std::getenv("LOCKHUB_LOGGER_EXIT");
    if (exitPath == nullptr) {
        return false;
    }
    const std::string path = exitPath;
    int stalled[2];  // a crash happens while the console's writer is stuck on a full pipe
    if (path == "crash" && (::pipe(stalled) != 0 || ::dup2(stalled[1], STDOUT_FILENO) < 0)) {
        ::_exit(99);
    }
    std::string logFile = std::getenv("LOCKHUB_LOGGER_FILE");
    Diagnostics::InitDiagnostics(Diagnostics::info, logFile, false);
    Diagnostics::RegisterSignalHandlers();
    for (int i = 0; i < kExitLines; ++i) {
        LOG_INFO << "line " << i;
    }
    if (path == "fulldisk") {
        // The disk was full for those lines; now it has room again.
        Diagnostics::FlushLog(10s);
        ::unlink(std::getenv("LOCKHUB_LOGGER_FILLER"));
        LOG_INFO << "after";
        std::exit(0);
    }
    if (path == "return") {
        std::exit(0);  // what main returning does
    }
    if (path == "critical") {
        Diagnostics::CriticalErrorThresholdReached();
    }
    if (path == "busyquit") {
        std::thread([] {
            for (int i = 0;; ++i) {  // paced, so that neither output has to drop lines
                LOG_INFO << "busy " << i;
                std::this_thread::sleep_for(100us);
            }
        }).detach();
    }
    ::raise(path == "quit" || path == "busyquit" ? SIGQUIT : SIGABRT);
    std::this_thread::sleep_for(30s);  // bounds the wait for the signal thread's exit
    ::_exit(99);
}();

// The logger exists once per process: this program sets it up at debug severity, on a
// file in a folder of its own.
class LoggerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        logFile = folder.File("test.log");
        // A test that closes a pipe on a stalled writer must not end this program.
        Diagnostics::IgnoreBrokenPipes();
        Diagnostics::InitDiagnostics(Diagnostics::debug, logFile, false);
    }
    TestSupport::TempDir folder;
    std::string logFile;
};

LoggerEnvironment* environment =
    static_cast<LoggerEnvironment*>(::testing::AddGlobalTestEnvironment(new LoggerEnvironment));

std::string LogText() {
    Diagnostics::FlushLog(10s);
    return TestSupport::ReadFile(environment->logFile);
}

// The parts of one log line (without its newline), or nothing when the line does not have
// the logger's shape: "YYYY-MM-DD HH:MM:SS.mmm SEVER [thread] [function@line] message".
struct LogLine {
    std::string time;      // "2024-03-01 12:00:00.042"
    std::string severity;  // padded to five: "WARN "
    std::string function;
    int line = 0;
    std::string message;
};

std::optional<LogLine> ParseLogLine(std::string_view text) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    // Each takes its part off the front of text, or fails.
    auto take = [&](std::string_view expected) {
        if (text.substr(0, expected.size()) != expected) {
            return false;
        }
        text.remove_prefix(expected.size());
        return true;
    };
    auto takeNumber = [&](int* value) {
        size_t length = 0;
        for (*value = 0; length < text.size() && isDigit(text[length]); ++length) {
            *value = *value * 10 + (text[length] - '0');
        }
        text.remove_prefix(length);
        return length > 0;
    };
    auto takeUpTo = [&](char end, std::string* part) {
        size_t at = text.find(end);
        if (at == std::string_view::npos) {
            return false;
        }
        *part = text.substr(0, at);
        text.remove_prefix(at + 1);
        return true;
    };
    constexpr std::string_view timeShape = "dddd-dd-dd dd:dd:dd.ddd";
    if (text.size() < timeShape.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < timeShape.size(); ++i) {
        if (timeShape[i] == 'd' ? !isDigit(text[i]) : text[i] != timeShape[i]) {
            return std::nullopt;
        }
    }
    LogLine line;
    line.time = text.substr(0, timeShape.size());
    text.remove_prefix(timeShape.size());
    if (!take(" ") || text.size() < 5) {
        return std::nullopt;
    }
    line.severity = text.substr(0, 5);
    text.remove_prefix(5);
    const std::string_view severities[] = {"FATAL", "ERROR", "WARN ", "INFO ", "DEBUG", "VERB "};
    int thread = 0;
    if (std::find(std::begin(severities), std::end(severities), line.severity) ==
            std::end(severities) ||
        !take(" [") || !takeNumber(&thread) || !take("] [") || !takeUpTo('@', &line.function) ||
        line.function.empty() || line.function.find(']') != std::string::npos ||
        !takeNumber(&line.line) || !take("] ")) {
        return std::nullopt;
    }
    line.message = text;
    return line;
}

// The lines of text, the newline of each taken off (a last line without one included).
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// The message of each line of text, or "<torn>" for a line that is not a whole log line.
std::vector<std::string> Messages(const std::string& text) {
    std::vector<std::string> messages;
    for (std::string_view line : Lines(text)) {
        std::optional<LogLine> parts = ParseLogLine(line);
        bool whole = parts.has_value() && line.data() + line.size() < text.data() + text.size();
        messages.push_back(whole ? parts->message : "<torn>");
    }
    return messages;
}

// Whether text has a log line of this severity (padded to five) and message, from this
// function when one is given.
bool HasLine(const std::string& text, const std::string& severity, const std::string& message,
             const std::string& function = "") {
    for (std::string_view line : Lines(text)) {
        std::optional<LogLine> parts = ParseLogLine(line);
        if (parts && parts->severity == severity && parts->message == message &&
            (function.empty() || parts->function == function)) {
            return true;
        }
    }
    return false;
}

int evaluations = 0;
int Evaluated() {
    return ++evaluations;
}

struct Widget {
    static void* sendThreadProc(void*) { return nullptr; }
    bool Connect() {
        LOG_INFO << "widget connect";
        return true;
    }
};

}  // namespace

TEST(LoggerFormat, FunctionNameIsCutFromThePrettyFunctionText) {
    EXPECT_EQ(Diagnostics::FunctionName("bool Quarn::Net::ClientSocket::Connect()"),
              "Quarn::Net::ClientSocket::Connect");
    EXPECT_EQ(
        Diagnostics::FunctionName("static void* Quarn::VirtualGateway::sendThreadProc(void*)"),
        "Quarn::VirtualGateway::sendThreadProc");
    EXPECT_EQ(Diagnostics::FunctionName("int main(int, char**)"), "main");
    EXPECT_EQ(Diagnostics::FunctionName("no parenthesis"), "no parenthesis");
}

TEST(LoggerFormat, LineHasDateSeverityThreadFunctionAndMessage) {
    std::string line = Diagnostics::FormatLine(Diagnostics::warning, "void A::B(int)", 42, "hi");
    ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
    std::optional<LogLine> parts = ParseLogLine(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(parts.has_value()) << line;
    EXPECT_EQ(parts->severity, "WARN ");
    EXPECT_EQ(parts->function, "A::B");
    EXPECT_EQ(parts->line, 42);
    EXPECT_EQ(parts->message, "hi");
    EXPECT_NE(Diagnostics::FormatLine(Diagnostics::error, "f()", 1, "x").find(" ERROR ["),
              std::string::npos);
    EXPECT_NE(Diagnostics::FormatLine(Diagnostics::verbose, "f()", 1, "x").find(" VERB  ["),
              std::string::npos);
    EXPECT_NE(Diagnostics::FormatLine(Diagnostics::info, "f()", 1, "a\nb").find("a\nb\n"),
              std::string::npos);
}

TEST(LoggerOutput, StatementsAboveTheMaximumAreNeitherBuiltNorWritten) {
    evaluations = 0;
    LOG_VERBOSE << "never " << Evaluated();
    EXPECT_EQ(evaluations, 0);
    LOG_DEBUG << "debug value " << Evaluated();
    EXPECT_EQ(evaluations, 1);
    std::string text = LogText();
    EXPECT_EQ(text.find("never "), std::string::npos);
    EXPECT_NE(text.find("DEBUG ["), std::string::npos);
    EXPECT_NE(text.find("debug value 1\n"), std::string::npos);
    EXPECT_NE(text.find("Logging initialized."), std::string::npos);
    EXPECT_NE(text.find("Error guard initialized."), std::string::npos);
}

TEST(LoggerOutput, ValuesAreWrittenAsAnOutputStreamWritesThem) {
    const char* missing = nullptr;
    LOG_DEBUG << "values " << -12 << ' ' << static_cast<unsigned char>('x') << ' ' << true << ' '
              << 2.5 << ' ' << UINT64_MAX << ' ' << std::string("s") << std::string_view("v")
              << missing << '.';
    std::ostringstream expected;
    expected << "values " << -12 << ' ' << static_cast<unsigned char>('x') << ' ' << true << ' '
             << 2.5 << ' ' << UINT64_MAX << ' ' << std::string("s") << std::string_view("v") << '.';
    EXPECT_NE(LogText().find("] " + expected.str() + "\n"), std::string::npos) << LogText();
}

TEST(LoggerOutput, FileIsCreatedReadableAndAppendedTo) {
    Widget().Connect();
    std::string text = LogText();
    EXPECT_TRUE(HasLine(text, "INFO ", "widget connect", "{anonymous}::Widget::Connect")) << text;
    struct stat status {};
    ASSERT_EQ(::stat(environment->logFile.c_str(), &status), 0);
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(status.st_mode & 0777, 0644 & ~mask);
}

TEST(Tracer, LevelsMapOntoSeverities) {
    Diagnostics::Tracer& tracer = Diagnostics::Tracer::GetInstance();
    tracer.WriteLine("[T::A] level one", 1);
    tracer.WriteLine("[T::A] level two", 2);
    tracer.WriteLine("[T::A] level three", 3);
    tracer.WriteLine("[T::A] level four", 4);
    tracer.WriteLine("[T::A] level eight", 8);
    tracer.WriteLine("[T::A] level sixteen", 16);
    std::string text = LogText();
    EXPECT_NE(text.find("INFO  ["), std::string::npos);
    EXPECT_TRUE(HasLine(text, "INFO ", "[T::A] level one", "Diagnostics::Tracer::WriteLine"));
    EXPECT_TRUE(HasLine(text, "WARN ", "[T::A] level two"));
    EXPECT_TRUE(HasLine(text, "DEBUG", "[T::A] level three"));
    EXPECT_TRUE(HasLine(text, "ERROR", "[T::A] level four"));
    EXPECT_EQ(text.find("level eight"), std::string::npos);
    EXPECT_TRUE(HasLine(text, "DEBUG", "[T::A] level sixteen"));
}

namespace {

// The bytes this program's heap has handed out and not taken back.
size_t HeapInUse() {
    const struct mallinfo2 heap = ::mallinfo2();
    return heap.uordblks + heap.hblkhd;
}

}  // namespace

TEST(LoggerBuffer, AStalledStandardOutputReaderCostsLinesButNeverBlocksOrTearsThem) {
    ASSERT_TRUE(Diagnostics::FlushLog(10s));
    const std::string padding(100, 'x');
    const std::string report = " log lines dropped: the log output could not keep up.";
    const int lines = static_cast<int>(2 * Diagnostics::kLogBufferBytes / (100 + padding.size()));
    const uint64_t droppedBefore = Diagnostics::DroppedLogLines();
    const size_t heapBefore = HeapInUse();
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    std::fflush(stdout);
    int saved = ::dup(STDOUT_FILENO);
    ::dup2(ends[1], STDOUT_FILENO);
    // Twice what the console's buffer holds, while nobody reads the pipe. Nothing may print
    // until standard output is back: gtest would block on the pipe.
    for (int i = 0; i < lines; ++i) {
        LOG_INFO << "stalled " << i << ' ' << padding;
    }
    // Meanwhile the file goes on: the stalled pipe holds up only standard output.
    const std::string goesOn = "the file goes on";
    int goesOnLines = 0;
    EXPECT_TRUE(TestSupport::WaitFor([&] {
        ++goesOnLines;
        LOG_INFO << goesOn;  // again, in case the file's buffer was still full
        return TestSupport::ReadFile(environment->logFile).find(goesOn) != std::string::npos;
    }));
    const uint64_t dropped = Diagnostics::DroppedLogLines() - droppedBefore;
    std::string console;
    auto readAvailable = [&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
            console.append(buffer, static_cast<size_t>(n));
        }
    };
    // Reads until the console has written everything, the report of lost lines included.
    const bool drained = TestSupport::WaitFor([&] {
        readAvailable();
        return Diagnostics::FlushLog(0ms);
    });
    readAvailable();
    ::dup2(saved, STDOUT_FILENO);
    for (int fd : {saved, ends[0], ends[1]}) {
        ::close(fd);  // the read end too: that frees a writer still blocked on the pipe
    }
    EXPECT_GT(dropped, 0u);
    ASSERT_TRUE(drained);
    // Every line arrived whole and in order; the lost ones are all reported, and only those.
    int received = 0;
    int next = 0;
    long long reportedDrops = 0;
    for (const std::string& message : Messages(console)) {
        int number = -1;
        long long count = 0;
        if (std::sscanf(message.c_str(), "stalled %d", &number) == 1 && number >= next &&
            message == "stalled " + std::to_string(number) + ' ' + padding) {
            next = number + 1;
            ++received;
        } else if (std::sscanf(message.c_str(), "%lld", &count) == 1 &&
                   message == std::to_string(count) + report) {
            reportedDrops += count;
        } else if (message == goesOn) {
            --goesOnLines;
        } else {
            ADD_FAILURE() << "unexpected line: " << message.substr(0, 200);
        }
    }
    EXPECT_EQ(TestSupport::CountOf(console, " WARN  ["), TestSupport::CountOf(console, report));
    EXPECT_GT(received, 0);
    EXPECT_GT(reportedDrops, 0);
    EXPECT_LE(reportedDrops, static_cast<long long>(dropped));
    EXPECT_EQ(received + reportedDrops, lines + goesOnLines);
    // Caught up, the console gives the stalled megabytes back.
    std::string().swap(console);
    EXPECT_LT(HeapInUse(), heapBefore + 1024 * 1024);
}

struct ExitRun {
    std::optional<int> status;
    std::string log;
    std::string console;
};

// This program run as a child that logs kExitLines lines and leaves through exitPath, with
// these variables added to its environment.
ExitRun RunChild(const std::string& exitPath, const std::vector<std::string>& environment = {},
                 std::string logFile = "") {
    TestSupport::TempDir folder;
    // A fake gcore: the crash path runs it instead of dumping the test program.
    TestSupport::WriteFile(folder.File("gcore"), "#!/bin/sh\n");
    ::chmod(folder.File("gcore").c_str(), 0755);
    logFile = logFile.empty() ? folder.File("child.log") : logFile;
    std::vector<std::string> variables = {"LOCKHUB_LOGGER_EXIT=" + exitPath,
                                          "LOCKHUB_LOGGER_FILE=" + logFile,
                                          "PATH=" + folder.Path() + ":" + std::getenv("PATH")};
    variables.insert(variables.end(), environment.begin(), environment.end());
    // The program's own path, not /proc/self/exe: under an emulator that would name the
    // emulator in the child.
    TestSupport::ChildProcess child(
        TestSupport::ProjectProgram({std::filesystem::read_symlink("/proc/self/exe")}),
        {folder.Path(), variables, folder.Path()});
    std::optional<int> status = child.ExitStatus(90s);
    return {status, TestSupport::ReadFile(logFile), child.Output()};
}

// The messages that follow the numbered lines, if those came first, whole and in order.
std::optional<std::vector<std::string>> AfterNumberedLines(const std::string& text) {
    std::vector<std::string> messages = Messages(text);
    for (int i = 0; i < kExitLines; ++i) {
        if (i >= static_cast<int>(messages.size()) || messages[i] != "line " + std::to_string(i)) {
            return std::nullopt;
        }
    }
    return std::vector<std::string>(messages.begin() + kExitLines, messages.end());
}

TEST(LoggerExit, QueuedLinesReachBothOutputsOnEveryOrderlyExit) {
    using Lines = std::vector<std::string>;
    const struct {
        std::string exitPath;
        int status;
        Lines last;
    } exits[] = {{"return", 0, {}},
                 {"critical", 1, {"Exit for critical errors."}},
                 {"quit", 0, {"Termination signal received. Closing Mux."}}};
    for (const auto& exit : exits) {
        ExitRun run = RunChild(exit.exitPath);
        EXPECT_EQ(run.status, exit.status) << exit.exitPath;
        EXPECT_EQ(AfterNumberedLines(run.log), exit.last) << exit.exitPath;
        EXPECT_TRUE(run.console == run.log) << exit.exitPath << ": console and file differ";
    }
    // A thread still logging while the process ends: both outputs stop at the same line.
    for (int run = 0; run < 3; ++run) {
        ExitRun busy = RunChild("busyquit");
        EXPECT_EQ(busy.status, 0);
        EXPECT_TRUE(busy.log.ends_with("\n"));
        EXPECT_TRUE(busy.console == busy.log) << "console and file differ";
    }
}

// A full disk under the log file costs lines, never the process: the console says so once,
// and the first write that succeeds again tells how many were lost.
TEST(LoggerExit, AFullDiskCostsLinesAndTheFileThenSaysHowMany) {
    TestSupport::TempDir folder;
    TestSupport::SmallFileSystem disk(folder);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    // Room for a few lines only, so that one write is likely cut short.
    disk.Fill();
    const std::string filler = disk.File("filler");
    std::filesystem::resize_file(filler, std::filesystem::file_size(filler) - 8192);
    ExitRun run = RunChild("fulldisk", {"LOCKHUB_LOGGER_FILLER=" + filler}, disk.File("child.log"));
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> messages = Messages(run.log);
    // Whole numbered lines in order; a line cut short shows a smaller number or none.
    int whole = 0;
    int next = 0;
    long long lost = 0;
    const std::string report = " log lines lost: the log file could not be written: " +
                               std::string(std::strerror(ENOSPC)) + ".";
    for (const std::string& message : messages) {
        int number = -1;
        long long count = 0;
        if (std::sscanf(message.c_str(), "line %d", &number) == 1 && number >= next) {
            next = number + 1;
            ++whole;
        } else if (std::sscanf(message.c_str(), "%lld", &count) == 1 &&
                   message == std::to_string(count) + report) {
            lost += count;
        }
    }
    EXPECT_GT(lost, 0);
    EXPECT_EQ(whole + lost, kExitLines);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "after");
    EXPECT_EQ(TestSupport::CountOf(run.console, "child.log cannot be written: " +
                                                    std::string(std::strerror(ENOSPC)) +
                                                    "; its lines are lost until it can."),
              1u);
}

// Seconds from an arbitrary origin of a log line's time text, for differences.
long long Seconds(const std::string& time) {
    std::tm parts{};
    if (std::sscanf(time.c_str(), "%d-%d-%d %d:%d:%d", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
        return -1;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return ::timegm(&parts);
}

TEST(LoggerExit, ACrashWritesItsLinesToTheFilePastAStalledConsoleOnTheLoggersClock) {
    // A zone far from UTC: a crash line on another clock than the other lines stands out.
    ExitRun crash = RunChild("crash", {"TZ=<+0530>-5:30"});
    EXPECT_EQ(crash.status, 255);
    std::optional<std::vector<std::string>> after = AfterNumberedLines(crash.log);
    ASSERT_TRUE(after.has_value() && !after->empty());
    EXPECT_EQ(after->front(),
              "Received aborting or error signal. Try to save a dump file. Closing the Mux "
              "process.");
    EXPECT_EQ(TestSupport::CountOf(crash.log, "Backtrace (frames) ends here\n"), 2u);

    // Every crash line is whole and follows the last numbered line within a minute; each
    // frame line ends in a blank line of its own.
    std::vector<std::string_view> lines = Lines(crash.log);
    const std::string lastNumbered = ParseLogLine(lines[kExitLines - 1])->time;
    std::vector<std::string> steps;
    int frames = 0;
    for (size_t i = kExitLines; i < lines.size(); ++i) {
        std::optional<LogLine> line = ParseLogLine(lines[i]);
        if (!line) {
            std::optional<LogLine> previous = ParseLogLine(lines[i - 1]);
            EXPECT_TRUE(lines[i].empty() && previous && previous->message[0] == ' ') << lines[i];
            continue;
        }
        long long later = Seconds(line->time) - Seconds(lastNumbered);
        EXPECT_TRUE(later >= 0 && later < 60) << line->time << " after " << lastNumbered;
        EXPECT_EQ(line->severity, "ERROR");
        if (line->message[0] == ' ') {
            EXPECT_GT(line->message.size(), 1u);
            ++frames;
        } else {
            steps.push_back(line->message);
        }
    }
    const std::vector<std::string> backtrace = {"Obtaining stack trace for current SIG.",
                                                "Backtrace (frames) with symbols starts here",
                                                "Backtrace (frames) ends here"};
    std::vector<std::string> expected = {after->front()};
    expected.insert(expected.end(), backtrace.begin(), backtrace.end());
    expected.insert(expected.end(), backtrace.begin(), backtrace.end());
    EXPECT_EQ(steps, expected);
    EXPECT_GT(frames, 2);
}
