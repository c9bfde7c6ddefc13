#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"
#include "diagnostics/Tracer.h"
#include "tests/support/TestSupport.h"

namespace {

// The logger exists once per process: this program sets it up at debug severity, on a
// file in a folder of its own.
class LoggerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        logFile = folder.File("test.log");
        Diagnostics::InitDiagnostics(Diagnostics::debug, logFile, false);
    }
    TestSupport::TempDir folder;
    std::string logFile;
};

LoggerEnvironment* environment =
    static_cast<LoggerEnvironment*>(::testing::AddGlobalTestEnvironment(new LoggerEnvironment));

std::string LogText() {
    return TestSupport::ReadFile(environment->logFile);
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
    std::regex shape(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} WARN  \[\d+\] \[A::B@42\] hi\n$)");
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
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

TEST(LoggerOutput, FileIsCreatedReadableAndAppendedTo) {
    Widget().Connect();
    std::string text = LogText();
    std::regex line(R"(INFO  \[\d+\] \[\{anonymous\}::Widget::Connect@\d+\] widget connect\n)");
    EXPECT_TRUE(std::regex_search(text, line)) << text;
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
    EXPECT_TRUE(std::regex_search(
        text,
        std::regex(R"(INFO  \[\d+\] \[Diagnostics::Tracer::WriteLine@\d+\] \[T::A\] level one)")));
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(WARN  \[\d+\] \[[^\]]+\] \[T::A\] level two)")));
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(DEBUG \[\d+\] \[[^\]]+\] \[T::A\] level three)")));
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(ERROR \[\d+\] \[[^\]]+\] \[T::A\] level four)")));
    EXPECT_EQ(text.find("level eight"), std::string::npos);
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(DEBUG \[\d+\] \[[^\]]+\] \[T::A\] level sixteen)")));
}
