#pragma once
// The size-limited output file of logtrim. Single-threaded; built on C library calls only.
//
// Every failure to open, create or measure the file prints its message on standard error and
// ends the process with status 1; nothing is retried. The file holds whole lines: it is
// started anew only where a line ends, and a last line cut short (logtrim was killed) is
// ended at the next start.

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
    // started reach the limit and a line has ended, so that it holds whole lines; it is
    // closed and reopened after every chunk.
    void Append(const char* bytes, size_t length);

private:
    void StartAnew();
    void Rotate();
    // Writes a part of a chunk; a short write starts the file anew for the rest.
    void WritePart(const char* bytes, size_t length);
    // An existing file of size bytes that ends in a line cut short gets its line break.
    void EndTornLine(long long size);
    void ReopenForAppend();
    void Close();
    // Writes as much of bytes as the file takes; returns how much that was.
    size_t WriteAsMuchAsPossible(const char* bytes, size_t length);

    const char* path_;
    int limit_;
    long long written_ = 0;  // since the file was last started; 64-bit so it cannot overflow
    int fd_ = -1;
    bool endsLine_ = true;  // the last byte written is a line break, or nothing was written
};

}  // namespace LogTrim
