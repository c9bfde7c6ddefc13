#pragma once
// Shared helpers for tests that use real files, sockets and processes. Every wait has a
// deadline, so a misbehaving program under test fails a test instead of hanging it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A tmpfs of the given size (64 KiB unless told) mounted on the folder "small" of folder,
// for tests of a full disk; unmounted when the object goes. Mounting needs root: Mounted()
// tells whether it worked.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const TempDir& folder, size_t bytes = 64 * 1024);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool Mounted() const { return mounted_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Fills what is left with a file of its own; Free removes it.
    void Fill();
    void Free();

private:
    std::string path_;
    bool mounted_ = false;
};

// The command line that starts a program built by this project (lockhub, locksim, lockctl,
// logtrim, a test program): when cross-built, prefixed with the emulator the tests run
// under (qemu-user and its options), so that the program runs under it too; unchanged in a
// native build. Programs of the build machine (mosquitto, /bin/sh, openssl) need no prefix.
std::vector<std::string> ProjectProgram(std::vector<std::string> argv);
// Every deadline given to the helpers of tests/support is multiplied by this: 1 natively,
// more under an emulator, whose programs run several times slower.
int DeadlineFactor();
// deadline multiplied by DeadlineFactor(), for waits outside these helpers.
std::chrono::milliseconds Scaled(std::chrono::milliseconds deadline);

// Polls condition until it holds or the deadline passes; returns its last result.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// How many times needle occurs in haystack.
size_t CountOf(const std::string& haystack, const std::string& needle);

// A port on 127.0.0.1 that was free a moment ago (the system picked it).
int FreePort();

// A connected TCP client socket to 127.0.0.1:port, or -1.
int ConnectTo(int port, std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
bool SendAll(int fd, const std::string& bytes);
// Reads until at least `atLeast` bytes arrived, the peer closed or the deadline passed.
std::string ReceiveFor(int fd, size_t atLeast, std::chrono::milliseconds deadline);
// Reads and drops what arrives until the peer closes the connection (true) or the
// deadline passes.
bool WaitForClose(int fd, std::chrono::milliseconds deadline);

// One HTTP/1.1 request with "Connection: close" to 127.0.0.1:port and its answer: the
// status code (0 when none came), the head and the body.
struct HttpAnswer {
    int status = 0;
    std::string head;
    std::string body;
};
HttpAnswer HttpRequest(int port, const std::string& method, const std::string& path,
                       std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

// The descriptors a process holds open now.
size_t OpenDescriptors(pid_t pid);
// What each of them refers to, one "fd -> target" per line, for a failure's message.
std::string DescriptorTargets(pid_t pid);

// A program started as a real process; standard output and error go to files in its
// folder, standard input is a pipe the test may write to. Killed if still running when
// the object goes.
class ChildProcess {
public:
    struct Options {
        std::string workDir;                   // default: the current folder
        std::vector<std::string> environment;  // "NAME=value" added to the inherited ones
        std::string outputDir;                 // where stdout/stderr files go (required)
    };
    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    bool WriteInput(const std::string& text);
    void CloseInput();
    void Signal(int signal);
    // The raw wait status once the process ended within the deadline.
    std::optional<int> WaitExit(std::chrono::milliseconds deadline);
    // The exit status (0-255) once ended normally within the deadline, -1 if killed by a
    // signal, nullopt on time-out.
    std::optional<int> ExitStatus(std::chrono::milliseconds deadline);
    bool Running();
    std::string Output() const;  // standard output so far
    std::string Errors() const;  // standard error so far

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
    std::string stdoutPath_;
    std::string stderrPath_;
};

}  // namespace TestSupport
