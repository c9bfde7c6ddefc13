// logtrim: copies standard input into one output file and keeps that file near a size limit.
// Meant for the end of a pipe behind a program that logs to standard output:
//     lockhub ... | logtrim -f /var/log/lockhub.log -l 1048576
// Its own messages go to standard error. It never ends with status 0: 1 when the output file
// cannot be opened, created or measured, 255 when standard input has ended.

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logtrim/OutputLog.h"

namespace {

constexpr const char* kVersion = "1.2.1";
constexpr const char* kProgramName = "logtrim";  // when started without even argv[0]
constexpr const char* kDefaultPath = "durora.log";
constexpr int kDefaultLimit = 0xffff;
constexpr size_t kChunkSize = 256;
constexpr unsigned kGrowthPollSeconds = 1;
constexpr int kEndOfInputStatus = 255;

struct Settings {
    const char* path = kDefaultPath;
    int limit = kDefaultLimit;
};

// A decimal number as strtol reads it. 0, no number and negative values give the default
// limit; values beyond the 32-bit range are capped at its largest.
int ParseLimit(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value <= 0) {
        return kDefaultLimit;
    }
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// logtrim [-f path] [-l limit]. Every argument is examined, the program's own name included;
// an option without a value after it and anything unknown are ignored.
Settings ParseCommandLine(int argc, char** argv) {
    Settings settings;
    for (int i = 0; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-f") == 0) {
            settings.path = argv[++i];
            std::fprintf(stderr, "outlog = %s\n", settings.path);
        } else if (std::strcmp(argv[i], "-l") == 0) {
            settings.limit = ParseLimit(argv[++i]);
            std::fprintf(stderr, "limit = %d\n", settings.limit);
        }
    }
    return settings;
}

// Blocks until a non-blocking standard input has something to read (or has been closed).
void WaitForInput() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    ::poll(&input, 1, -1);
}

[[noreturn]] void CopyForever(LogTrim::OutputLog& log) {
    char chunk[kChunkSize];
    for (;;) {
        ssize_t length = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (length > 0) {
            log.Append(chunk, static_cast<size_t>(length));
            continue;
        }
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Nothing there yet is not the end of the input.
            WaitForInput();
            continue;
        }
        std::fprintf(stderr, "read len:%d wait\n", static_cast<int>(length));
        // A pipe, terminal or socket has no position: its end is the end of the input. A
        // regular file does: wait for it to grow. ftello, since a position beyond 2 GiB does
        // not fit ftell's long where that is 32 bits (armhf).
        off_t position = ::ftello(stdin);
        if (position == -1) {
            std::fprintf(stderr, "ftell stdin = %lld, stdin closed, exit\n",
                         static_cast<long long>(position));
            std::exit(kEndOfInputStatus);
        }
        ::sleep(kGrowthPollSeconds);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings = ParseCommandLine(argc, argv);
    std::fprintf(stderr, "%s %s outlog = %s limit = %d\n", argc > 0 ? argv[0] : kProgramName,
                 kVersion, settings.path, settings.limit);
    LogTrim::OutputLog log(settings.path, settings.limit);
    log.Open();
    CopyForever(log);
}
