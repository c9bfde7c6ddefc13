#include "logtrim/OutputLog.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace LogTrim {

namespace {

constexpr mode_t kFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;  // 0644
constexpr int kFileFailureStatus = 1;

}  // namespace

OutputLog::OutputLog(const char* path, int limit) : path_(path), limit_(limit) {}

OutputLog::~OutputLog() {
    Close();
}

void OutputLog::Open() {
    if (::access(path_, F_OK) != 0) {
        int created = ::open(path_, O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
        if (created < 0) {
            std::fprintf(stderr, "error in create outlog \n");
            std::exit(kFileFailureStatus);
        }
        ::close(created);
        StartAnew();
        return;
    }
    int existing = ::open(path_, O_RDONLY);
    if (existing < 0) {
        std::fprintf(stderr, "error in open outlog \n");
        std::exit(kFileFailureStatus);
    }
    // 64-bit, so that a file beyond 2 GiB is measured as large rather than wrapped.
    long long size = ::lseek(existing, 0, SEEK_END);
    ::close(existing);
    if (size < 0) {
        std::fprintf(stderr, "error in lseek outlog \n");
        std::exit(kFileFailureStatus);
    }
    std::fprintf(stderr, "size outlog =%lld\n", size);
    if (size <= limit_) {
        std::fprintf(stderr, "size outlog < limit %lld<%d, append\n", size, limit_);
        ReopenForAppend();
        written_ = size;
        EndTornLine(size);
    } else {
        std::fprintf(stderr, "size outlog > limit %lld>%d, create\n", size, limit_);
        StartAnew();
    }
}

void OutputLog::Append(const char* bytes, size_t length) {
    while (length > 0) {
        if (written_ >= limit_ && endsLine_) {
            Rotate();
        }
        // The part up to the first line break at or past the limit: the file starts anew
        // where a line ends, so that each file holds whole lines.
        size_t part = length;
        if (written_ + static_cast<long long>(length) >= limit_) {
            const size_t from = written_ >= limit_ ? 0 : static_cast<size_t>(limit_ - written_ - 1);
            if (const void* lineEnd = std::memchr(bytes + from, '\n', length - from)) {
                part = static_cast<size_t>(static_cast<const char*>(lineEnd) - bytes) + 1;
            }
        }
        WritePart(bytes, part);
        bytes += part;
        length -= part;
    }
    Close();
    if (written_ >= limit_ && endsLine_) {
        std::fprintf(stderr, "rotate log at %lld \n", written_);
        StartAnew();
    } else {
        ReopenForAppend();
    }
}

void OutputLog::WritePart(const char* bytes, size_t length) {
    size_t done = WriteAsMuchAsPossible(bytes, length);
    written_ += static_cast<long long>(done);
    if (done < length) {
        // The file takes no more (disk full, file size limit): start it anew and put the rest
        // of the part there. What even a fresh file cannot take is dropped, so the input
        // keeps draining and the program writing into the pipe never blocks on us.
        std::fprintf(stderr, "rotate log at %lld  (len differ)\n", written_);
        Close();
        StartAnew();
        const size_t rest = WriteAsMuchAsPossible(bytes + done, length - done);
        written_ += static_cast<long long>(rest);
        done += rest;
    }
    if (done > 0) {
        endsLine_ = bytes[done - 1] == '\n';
    }
}

void OutputLog::Rotate() {
    std::fprintf(stderr, "rotate log at %lld \n", written_);
    Close();
    StartAnew();
}

void OutputLog::EndTornLine(long long size) {
    int reader = size > 0 ? ::open(path_, O_RDONLY) : -1;
    char last = '\n';
    if (reader >= 0) {
        if (::pread(reader, &last, 1, size - 1) != 1) {
            last = '\n';
        }
        ::close(reader);
    }
    endsLine_ = true;
    if (last != '\n') {
        // A line cut short when logtrim ended: ended here, so that the next one is whole.
        std::fprintf(stderr, "outlog ends in a line cut short, ended\n");
        WritePart("\n", 1);
    }
}

void OutputLog::StartAnew() {
    fd_ = ::open(path_, O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
    if (fd_ < 0) {
        std::fprintf(stderr, "error in open WRONLY outlog %s\n", path_);
        std::exit(kFileFailureStatus);
    }
    std::fprintf(stderr, "create %s\n", path_);
    written_ = 0;
    endsLine_ = true;
}

void OutputLog::ReopenForAppend() {
    fd_ = ::open(path_, O_WRONLY | O_APPEND, kFileMode);
    if (fd_ < 0) {
        std::fprintf(stderr, "error in open APPEND outlog %s\n", path_);
        std::exit(kFileFailureStatus);
    }
}

void OutputLog::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

size_t OutputLog::WriteAsMuchAsPossible(const char* bytes, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd_, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

}  // namespace LogTrim
