#pragma once
// The size-limited output file of logtrim. Single-threaded; built on C library calls only.
//
// Every failure to open, create or measure the file prints its message on standard error and
// ends the process with status 1; nothing is retried.

#include <cstddef>

namespace LogTrim {

class OutputLog {
public:
    // path is borrowed and must outlive the object (it points into argv). Paths of any length
    // are used as they are; the system refuses those it cannot open.
    OutputLog(const char* path, int limit);
    ~OutputLog();
    OutputLog(const OutputLog&) = delete;
    OutputLog& operator=(const OutputLog&) = delete;

    // Appends to an existing file not above the limit, otherwise empties or creates it.
    void Open();

    // Writes one chunk whole. The file is emptied once the bytes written since it was last
    // started reach the limit; it is closed and reopened after every chunk.
    void Append(const char* bytes, size_t length);

private:
    void StartAnew();
    void ReopenForAppend();
    void Close();
    // Writes as much of bytes as the file takes; returns how much that was.
    size_t WriteAsMuchAsPossible(const char* bytes, size_t length);

    const char* path_;
    int limit_;
    long long written_ = 0;  // since the file was last started; 64-bit so it cannot overflow
    int fd_ = -1;
};

}  // namespace LogTrim
