#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace TestSupport {

TempDir::TempDir() {
    char pattern[] = "/tmp/lockhub-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

SmallFileSystem::SmallFileSystem(const TempDir& folder, size_t bytes)
    : path_(folder.File("small")) {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    mounted_ = ::mkdir(path_.c_str(), 0700) == 0 &&
               ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

SmallFileSystem::~SmallFileSystem() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
}

void SmallFileSystem::Fill() {
    // Writes until the tmpfs refuses more.
    const int fd = ::open(File("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string chunk(64 * 1024, 'x');
    while (fd >= 0 && ::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

void SmallFileSystem::Free() {
    ::unlink(File("filler").c_str());
}

namespace {

// The emulator's command line, its words separated by spaces ("" in a native build).
constexpr std::string_view kEmulator = LOCKHUB_TEST_EMULATOR;

}  // namespace

std::vector<std::string> ProjectProgram(std::vector<std::string> argv) {
    std::vector<std::string> prefix;
    for (size_t at = 0; at < kEmulator.size();) {
        size_t end = std::min(kEmulator.find(' ', at), kEmulator.size());
        if (end > at) {
            prefix.emplace_back(kEmulator.substr(at, end - at));
        }
        at = end + 1;
    }
    argv.insert(argv.begin(), prefix.begin(), prefix.end());
    return argv;
}

int DeadlineFactor() {
    // qemu-user translates every instruction it runs: start-up, TLS handshakes and busy
    // threads take several times as long there.
    return kEmulator.empty() ? 1 : 5;
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds deadline) {
    return deadline * DeadlineFactor();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + Scaled(deadline);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

size_t CountOf(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

int ConnectTo(int port, std::chrono::milliseconds deadline) {
    int connected = -1;
    WaitFor(
        [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port));
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                connected = fd;
                return true;
            }
            ::close(fd);
            return false;
        },
        deadline);
    return connected;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string ReceiveFor(int fd, size_t atLeast, std::chrono::milliseconds deadline) {
    std::string received;
    auto end = std::chrono::steady_clock::now() + Scaled(deadline);
    while (received.size() < atLeast) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

bool WaitForClose(int fd, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + Scaled(deadline);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd waiting{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) {
            return true;
        }
    }
}

HttpAnswer HttpRequest(int port, const std::string& method, const std::string& path,
                       std::chrono::milliseconds deadline) {
    HttpAnswer answer;
    int fd = ConnectTo(port, deadline);
    if (fd < 0) {
        return answer;
    }
    SendAll(fd, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    std::string text = ReceiveFor(fd, std::string::npos, deadline);
    ::close(fd);
    size_t headEnd = text.find("\r\n\r\n");
    if (text.compare(0, 9, "HTTP/1.1 ") != 0 || headEnd == std::string::npos) {
        return answer;
    }
    answer.status = std::atoi(text.c_str() + 9);
    answer.head = text.substr(0, headEnd);
    answer.body = text.substr(headEnd + 4);
    return answer;
}

size_t OpenDescriptors(pid_t pid) {
    std::error_code ignored;
    auto entries =
        std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
    return static_cast<size_t>(std::distance(entries, std::filesystem::directory_iterator()));
}

std::string DescriptorTargets(pid_t pid) {
    std::error_code ignored;
    std::string text;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
        text += entry.path().filename().string() + " -> " +
                std::filesystem::read_symlink(entry.path(), ignored).string() + "\n";
    }
    return text;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
    static std::atomic<int> serial{0};
    std::string stem = options.outputDir + "/process" + std::to_string(serial++);
    stdoutPath_ = stem + ".out";
    stderrPath_ = stem + ".err";
    int inputPipe[2];
    if (::pipe2(inputPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Everything the child needs is prepared before fork: a child of a threaded test
    // must not allocate.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(inputPipe[0], STDIN_FILENO);
        int out = ::open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0) {
            ::_exit(127);
        }
        for (const std::string& variable : options.environment) {
            ::putenv(const_cast<char*>(variable.c_str()));
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(inputPipe[0]);
    input_ = inputPipe[1];
}

ChildProcess::~ChildProcess() {
    CloseInput();
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

bool ChildProcess::WriteInput(const std::string& text) {
    return input_ >= 0 &&
           ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::CloseInput() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

void ChildProcess::Signal(int signal) {
    if (!status_) {
        ::kill(pid_, signal);
    }
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds deadline) {
    WaitFor(
        [&] {
            if (status_) {
                return true;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            }
            return status_.has_value();
        },
        deadline);
    return status_;
}

std::optional<int> ChildProcess::ExitStatus(std::chrono::milliseconds deadline) {
    std::optional<int> status = WaitExit(deadline);
    if (!status) {
        return std::nullopt;
    }
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

bool ChildProcess::Running() {
    return !WaitExit(std::chrono::milliseconds(0));
}

std::string ChildProcess::Output() const {
    return ReadFile(stdoutPath_);
}
std::string ChildProcess::Errors() const {
    return ReadFile(stderrPath_);
}

}  // namespace TestSupport
