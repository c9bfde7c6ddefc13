// The real logtrim binary, run in a temporary folder with standard input from a pipe, a
// regular file or a non-blocking pipe.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using TestSupport::ChildProcess;
using TestSupport::CountOf;
using TestSupport::ReadFile;
using TestSupport::WaitFor;
using TestSupport::WriteFile;

constexpr auto kDeadline = std::chrono::milliseconds(10000);
constexpr int kEndOfInput = 255;
constexpr int kFileFailure = 1;

std::string Summary(const std::string& path, int limit) {
    return std::string(LOGTRIM_BINARY) + " 1.2.1 outlog = " + path +
           " limit = " + std::to_string(limit) + "\n";
}

// Distinct lines, so that a lost, doubled or misplaced byte shows.
std::string NumberedLines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "line " + std::to_string(i) + " of the log under test, padded to be long enough\n";
    }
    return text;
}

// The numbers N of every "prefix N suffix" on standard error.
std::vector<long long> NumbersAfter(const std::string& errors, const std::string& prefix,
                                    const std::string& suffix) {
    std::vector<long long> numbers;
    for (size_t at = errors.find(prefix); at != std::string::npos; at = errors.find(prefix, at)) {
        size_t digits = at + prefix.size();
        size_t end = errors.find_first_not_of("0123456789", digits);
        if (end != digits && end != std::string::npos &&
            errors.compare(end, suffix.size(), suffix) == 0) {
            numbers.push_back(std::stoll(errors.substr(digits, end - digits)));
            at = end + suffix.size();
        } else {
            ++at;
        }
    }
    return numbers;
}

void AppendTo(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

class LogtrimTest : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> args) {
        args.insert(args.begin(), LOGTRIM_BINARY);
        return std::make_unique<ChildProcess>(TestSupport::ProjectProgram(args), Options());
    }

    // Started by /bin/sh, which runs prelude first and starts logtrim with redirection.
    std::unique_ptr<ChildProcess> StartThroughShell(const std::string& prelude,
                                                    const std::string& redirection,
                                                    std::vector<std::string> args) {
        args.insert(args.begin(), LOGTRIM_BINARY);
        std::vector<std::string> argv{"/bin/sh", "-c",
                                      prelude + " exec \"$0\" \"$@\" " + redirection};
        for (std::string& arg : TestSupport::ProjectProgram(args)) {
            argv.push_back(std::move(arg));
        }
        return std::make_unique<ChildProcess>(argv, Options());
    }

    ChildProcess::Options Options() const { return {dir_.Path(), {}, dir_.Path()}; }

    TestSupport::TempDir dir_;
    const std::string out_ = dir_.File("out.log");
};

TEST_F(LogtrimTest, DefaultsCopyTheInputUntilThePipeEnds) {
    auto logtrim = Start({});
    ASSERT_TRUE(logtrim->WriteInput("first line\n"));
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir_.File("durora.log")) == "first line\n"; }));
    ASSERT_TRUE(logtrim->WriteInput("second line\n"));
    logtrim->CloseInput();

    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(ReadFile(dir_.File("durora.log")), "first line\nsecond line\n");
    EXPECT_EQ(logtrim->Errors(), Summary("durora.log", 65535) +
                                     "create durora.log\n"
                                     "read len:0 wait\n"
                                     "ftell stdin = -1, stdin closed, exit\n");
}

TEST_F(LogtrimTest, CommandLineForms) {
    struct Case {
        std::vector<std::string> args;
        std::string expectedStart;
    };
    const std::vector<Case> cases{
        {{"-l", "0"}, "limit = 65535\n" + Summary("durora.log", 65535)},
        {{"-l", "text"}, "limit = 65535\n" + Summary("durora.log", 65535)},
        {{"-l", "1000"}, "limit = 1000\n" + Summary("durora.log", 1000)},
        {{"-l", "-5"}, "limit = 65535\n" + Summary("durora.log", 65535)},
        {{"-l", "99999999999"}, "limit = 2147483647\n" + Summary("durora.log", 2147483647)},
        {{"extra", "-f", "other.log", "-l"}, "outlog = other.log\n" + Summary("other.log", 65535)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expectedStart);
        auto logtrim = Start(c.args);
        logtrim->CloseInput();
        EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
        EXPECT_EQ(logtrim->Errors().substr(0, c.expectedStart.size()), c.expectedStart);
    }
}

TEST_F(LogtrimTest, RotatesAtTheLimitWithoutLosingBytes) {
    const std::string input = NumberedLines(120);
    auto logtrim = Start({"-f", out_, "-l", "1000"});
    size_t largest = 0;
    for (size_t at = 0; at < input.size(); at += 97) {
        ASSERT_TRUE(logtrim->WriteInput(input.substr(at, 97)));
        largest = std::max(largest, ReadFile(out_).size());
    }
    logtrim->CloseInput();
    ASSERT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);

    EXPECT_LE(largest, 1256u);
    const std::string kept = ReadFile(out_);
    const std::vector<long long> rotations =
        NumbersAfter(logtrim->Errors(), "rotate log at ", " \n");
    ASSERT_GE(rotations.size(), 4u);
    long long total = static_cast<long long>(kept.size());
    for (long long at : rotations) {
        EXPECT_GE(at, 1000);
        EXPECT_LE(at, 1256);
        total += at;
    }
    EXPECT_EQ(total, static_cast<long long>(input.size()));
    EXPECT_EQ(kept, input.substr(input.size() - kept.size()));
    EXPECT_EQ(CountOf(logtrim->Errors(), "create " + out_ + "\n"), rotations.size() + 1);
}

TEST_F(LogtrimTest, ExistingFileAboveTheLimitIsEmptiedAtStart) {
    WriteFile(out_, std::string(2000, 'x'));
    auto logtrim = Start({"-f", out_, "-l", "1000"});
    ASSERT_TRUE(logtrim->WriteInput("new\n"));
    logtrim->CloseInput();

    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(ReadFile(out_), "new\n");
    EXPECT_NE(logtrim->Errors().find("size outlog =2000\n"
                                     "size outlog > limit 2000>1000, create\n"
                                     "create " +
                                     out_ + "\n"),
              std::string::npos);
}

TEST_F(LogtrimTest, ExistingFileNotAboveTheLimitIsAppendedTo) {
    WriteFile(out_, "old\n");
    auto logtrim = Start({"-f", out_, "-l", "1000"});
    ASSERT_TRUE(logtrim->WriteInput("new\n"));
    logtrim->CloseInput();

    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(ReadFile(out_), "old\nnew\n");
    EXPECT_NE(logtrim->Errors().find("size outlog =4\nsize outlog < limit 4<1000, append\n"),
              std::string::npos);
    EXPECT_EQ(CountOf(logtrim->Errors(), "create"), 0u);
}

// The file at the limit ends in a line cut short: the line is ended, and the file starts
// anew before the first chunk.
TEST_F(LogtrimTest, ExistingFileAtTheLimitIsEndedAndStartedAnewAtTheFirstChunk) {
    WriteFile(out_, std::string(1000, 'x'));
    auto logtrim = Start({"-f", out_, "-l", "1000"});
    ASSERT_TRUE(logtrim->WriteInput("abcd"));
    ASSERT_TRUE(WaitFor([&] { return CountOf(logtrim->Errors(), "rotate log at 1001 \n") == 1; },
                        kDeadline));
    EXPECT_NE(logtrim->Errors().find("size outlog < limit 1000<1000, append\n"
                                     "outlog ends in a line cut short, ended\n"),
              std::string::npos);
    logtrim->CloseInput();
    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(ReadFile(out_), "abcd");
}

// logtrim killed at random while lines arrive in pieces, and started again: its file holds
// whole lines, none swallowing another, across kills and rotations.
TEST_F(LogtrimTest, KilledAndStartedAgainItsFileHoldsWholeLines) {
    const std::string line = "line of the log under test, padded to be long enough\n";
    std::mt19937 random(24);
    std::uniform_int_distribution<size_t> piece(1, 90);
    std::uniform_int_distribution<int> pieces(1, 40);
    for (int round = 0; round < 100; ++round) {
        auto logtrim = Start({"-f", out_, "-l", "3000"});
        std::string input;
        while (input.size() < 4000) {
            input += line;
        }
        size_t at = 0;
        for (int n = pieces(random); n > 0 && at < input.size(); --n) {
            const size_t size = std::min(piece(random), input.size() - at);
            ASSERT_TRUE(logtrim->WriteInput(input.substr(at, size)));
            at += size;
        }
        // Killed once it has copied what came (mostly in the middle of a line): its file then
        // ends as the input so far does (or was just started anew: the wait ends at 1 s).
        const std::string sent = input.substr(0, at);
        WaitFor(
            [&] {
                const std::string file = ReadFile(out_);
                const size_t tail = std::min<size_t>(file.size(), 40);
                return tail > 0 && sent.ends_with(file.substr(file.size() - tail));
            },
            std::chrono::milliseconds(1000));
        logtrim->Signal(SIGKILL);
        ASSERT_TRUE(logtrim->WaitExit(kDeadline));
    }
    auto last = Start({"-f", out_, "-l", "3000"});
    last->CloseInput();
    ASSERT_EQ(last->ExitStatus(kDeadline), kEndOfInput);
    const std::string kept = ReadFile(out_);
    ASSERT_TRUE(kept.empty() || kept.back() == '\n');
    for (size_t begin = 0, end; (end = kept.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        const std::string text = kept.substr(begin, end - begin + 1);
        // A whole line, or the start of one that a kill cut short and the next start ended.
        EXPECT_TRUE(text == line || (line.rfind(text.substr(0, text.size() - 1), 0) == 0))
            << "at " << begin << ": " << text;
    }
}

TEST_F(LogtrimTest, FileBeyondFourGigabytesIsMeasuredWhole) {
    WriteFile(out_, "");
    const off_t size = (off_t{1} << 32) + 10;
    if (::truncate(out_.c_str(), size) != 0) {
        GTEST_SKIP() << "no sparse file of 4 GiB here";
    }
    auto logtrim = Start({"-f", out_, "-l", "1000"});
    logtrim->CloseInput();

    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(ReadFile(out_), "");
    EXPECT_NE(logtrim->Errors().find("size outlog =4294967306\n"
                                     "size outlog > limit 4294967306>1000, create\n"),
              std::string::npos);
}

TEST_F(LogtrimTest, MissingDirectoryEndsWithStatusOne) {
    const std::string path = dir_.File("missing/out.log");
    auto logtrim = Start({"-f", path});

    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kFileFailure);
    EXPECT_EQ(logtrim->Errors(),
              "outlog = " + path + "\n" + Summary(path, 65535) + "error in create outlog \n");
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST_F(LogtrimTest, LongPathsAreUsedWholeAndRefusedOnlyByTheSystem) {
    std::string folder = dir_.Path();
    for (char name : {'a', 'b', 'c'}) {
        folder += "/" + std::string(200, name);
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    }
    const std::string longPath = folder + "/out.log";
    auto logtrim = Start({"-f", longPath});
    ASSERT_TRUE(logtrim->WriteInput("kept\n"));
    logtrim->CloseInput();
    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(ReadFile(longPath), "kept\n");
    EXPECT_NE(logtrim->Errors().find(Summary(longPath, 65535)), std::string::npos);

    // A name longer than the file system allows.
    const std::string refused = dir_.File(std::string(300, 'x'));
    auto refusedRun = Start({"-f", refused});
    EXPECT_EQ(refusedRun->ExitStatus(kDeadline), kFileFailure);
    EXPECT_NE(refusedRun->Errors().find("error in create outlog \n"), std::string::npos);
}

TEST_F(LogtrimTest, RegularFileInputIsCopiedAsItGrows) {
    const std::string in = dir_.File("in.log");
    WriteFile(in, "first\n");
    auto logtrim = StartThroughShell("", "<" + in, {"-f", out_});
    ASSERT_TRUE(WaitFor([&] { return ReadFile(out_) == "first\n"; }, kDeadline));
    ASSERT_TRUE(
        WaitFor([&] { return CountOf(logtrim->Errors(), "read len:0 wait\n") > 0; }, kDeadline));

    AppendTo(in, "second\n");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(out_) == "first\nsecond\n"; }, kDeadline));
    EXPECT_TRUE(logtrim->Running());
    EXPECT_EQ(CountOf(logtrim->Errors(), "stdin closed"), 0u);
}

TEST_F(LogtrimTest, RegularFileInputReadBeyondFourGigabytesIsWaitedFor) {
    // Standard input is a regular file already read past a hole of 4 GiB: its position is
    // a position, not the sign of a closed input.
    const std::string in = dir_.File("in.log");
    WriteFile(in, "");
    const off_t hole = off_t{1} << 32;
    if (::truncate(in.c_str(), hole) != 0) {
        GTEST_SKIP() << "no sparse file of 4 GiB here";
    }
    int input = ::open(in.c_str(), O_RDONLY);  // inherited by the shell, handed to logtrim
    ASSERT_GE(input, 0);
    ASSERT_EQ(::lseek(input, hole, SEEK_SET), hole);
    auto logtrim = StartThroughShell("", "<&" + std::to_string(input), {"-f", out_});
    ::close(input);
    ASSERT_TRUE(
        WaitFor([&] { return CountOf(logtrim->Errors(), "read len:0 wait\n") > 0; }, kDeadline));

    AppendTo(in, "after the hole\n");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(out_) == "after the hole\n"; }, kDeadline));
    EXPECT_TRUE(logtrim->Running());
    EXPECT_EQ(CountOf(logtrim->Errors(), "stdin closed"), 0u) << logtrim->Errors();
}

TEST_F(LogtrimTest, NonBlockingInputThatIsEmptyForAMomentIsWaitedFor) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // The read end is inherited by the shell, which hands it to logtrim as standard input.
    ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    ASSERT_EQ(::fcntl(fds[0], F_SETFD, 0), 0);
    auto logtrim = StartThroughShell("", "<&" + std::to_string(fds[0]), {"-f", out_});
    ::close(fds[0]);

    std::string copied;
    for (const std::string piece : {"one\n", "two\n", "three\n"}) {
        ASSERT_EQ(::write(fds[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        copied += piece;
        EXPECT_TRUE(WaitFor([&] { return ReadFile(out_) == copied; }, kDeadline));
    }
    ::close(fds[1]);
    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(CountOf(logtrim->Errors(), "read len:-1"), 0u);
}

TEST_F(LogtrimTest, ShortWriteStartsTheFileAnewAndKeepsTheRestOfTheChunk) {
    // The file size limit (1024 bytes) cuts a write short instead of ending the process.
    const std::string input = NumberedLines(25);
    auto logtrim =
        StartThroughShell("trap '' XFSZ; ulimit -f 2;", "", {"-f", out_, "-l", "100000"});
    ASSERT_TRUE(logtrim->WriteInput(input));
    logtrim->CloseInput();
    ASSERT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);

    const std::vector<long long> cuts =
        NumbersAfter(logtrim->Errors(), "rotate log at ", "  (len differ)\n");
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0], 1024);
    EXPECT_EQ(ReadFile(out_), input.substr(1024));
}

TEST_F(LogtrimTest, FileThatTakesNothingStillDrainsTheInput) {
    auto logtrim = StartThroughShell("trap '' XFSZ; ulimit -f 0;", "", {"-f", out_});
    ASSERT_TRUE(logtrim->WriteInput(NumberedLines(100)));
    logtrim->CloseInput();
    EXPECT_EQ(logtrim->ExitStatus(kDeadline), kEndOfInput);
    EXPECT_EQ(ReadFile(out_), "");
}

}  // namespace
