#include "soak/Site.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace Soak {
namespace {

using namespace std::chrono_literals;
using TestSupport::ChildProcess;

constexpr auto kStartDeadline = 10s;
constexpr long kLogtrimLimit = 1048576;
constexpr int kGatewayNice = 10;

std::unique_ptr<ChildProcess> StartLocksim(const TestSupport::TempDir& folder, int port) {
    auto locksim = std::make_unique<ChildProcess>(
        std::vector<std::string>{LOCKSIM_BINARY, "--port", std::to_string(port), "--locks",
                                 std::to_string(kLockId)},
        ChildProcess::Options{"", {}, folder.Path()});
    // A gateway is another machine on a site: here it yields the processor to lockhub.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(locksim->Pid()), kGatewayNice);
    const bool listening = TestSupport::WaitFor(
        [&] { return locksim->Output().find("locksim listening on") != std::string::npos; },
        kStartDeadline);
    return listening ? std::move(locksim) : nullptr;
}

// The program, started by a shell that first connects its standard input or output to
// the fifo and then becomes the program (the same process id).
std::vector<std::string> ThroughFifo(const std::string& redirection,
                                     std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirection});
    return argv;
}

long StatusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size(), field) == 0) {
            return std::atol(line.c_str() + field.size());
        }
    }
    return 0;
}

}  // namespace

Gateway::Gateway(const TestSupport::TempDir& folder, int id, PortPicker& ports, Ledger& ledger)
    : folder_(folder), id_(id), locksimPort_(ports.Next()) {
    const int first = ports.Next();
    const int second = ports.Next();
    wire_ = std::make_unique<FaultyWire>(
        locksimPort_, std::make_pair(first, second),
        [this, &ledger](Clock::time_point at, const std::vector<unsigned char>& frame) {
            // The message type follows the 16 header bytes; requests have no reply flag.
            constexpr size_t kReference = 7;
            constexpr size_t kType = 16;
            constexpr unsigned char kOpenLock = 0x0A;
            if (frame.size() > kType && frame[kType] == kOpenLock &&
                (frame[kReference] & 0x80) == 0) {
                ledger.DoorFrame(id_, at);
            }
        });
    if (!Up()) {
        throw std::runtime_error("locksim did not start");
    }
}

Gateway::~Gateway() {
    wire_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    locksim_.reset();
}

void Gateway::Down() {
    wire_->SetMode(FaultyWire::Mode::Refuse);
    std::lock_guard<std::mutex> lock(mutex_);
    locksim_.reset();  // killed
}

bool Gateway::Up() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!locksim_) {
            locksim_ = StartLocksim(folder_, locksimPort_);
        }
        if (!locksim_) {
            return false;
        }
    }
    wire_->SetMode(FaultyWire::Mode::Pass);
    return true;
}

bool Gateway::IsUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    return locksim_ != nullptr;
}

bool Gateway::Card() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!locksim_) {
        return false;
    }
    char line[64];
    std::snprintf(line, sizeof line, "card %ld %02X%06X\n", kLockId, id_, ++events_);
    return locksim_->WriteInput(line);
}

Watchdog::Watchdog(const std::string& path, Ledger& ledger) : path_(path), ledger_(ledger) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind the notification socket " + path_);
    }
    thread_ = std::thread([this] { Run(); });
}

Watchdog::~Watchdog() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

void Watchdog::CheckNow() {
    const Clock::time_point last{Clock::duration(lastPing_.load())};
    const auto since = Clock::now() - last;
    ledger_.Check(
        Invariant::Watchdog, !ready_ || since <= kInterval,
        "no watchdog ping for " +
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(since).count()) +
            " ms");
}

void Watchdog::Run() {
    while (!stop_) {
        pollfd readable{fd_, POLLIN, 0};
        if (::poll(&readable, 1, 200) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) {
            continue;
        }
        const std::string message(buffer, static_cast<size_t>(got));
        const auto now = Clock::now();
        if (message.find("READY=1") != std::string::npos) {
            lastPing_ = now.time_since_epoch().count();
            ready_ = true;
        }
        if (message.find("WATCHDOG=1") != std::string::npos) {
            CheckNow();
            lastPing_ = now.time_since_epoch().count();
            ledger_.Count("watchdog pings");
        }
    }
}

Hub::Hub(const TestSupport::TempDir& folder, const std::string& outputFile,
         const std::string& configuration, const Watchdog& watchdog)
    : configFile_(folder.File("lockhub.json")),
      logFile_(folder.File("lockhub.log")),
      port_(TestSupport::FreePort()) {
    TestSupport::WriteFile(configFile_, configuration);
    const std::string fifo = folder.File("stdout.fifo");
    if (::mkfifo(fifo.c_str(), 0600) != 0) {
        throw std::runtime_error("cannot make the fifo " + fifo);
    }
    logtrim_ = std::make_unique<ChildProcess>(
        ThroughFifo("< '" + fifo + "'",
                    {LOGTRIM_BINARY, "-f", outputFile, "-l", std::to_string(kLogtrimLimit)}),
        ChildProcess::Options{"", {}, folder.Path()});
    const std::string interval = std::to_string(Watchdog::kInterval.count());
    lockhub_ = std::make_unique<ChildProcess>(
        ThroughFifo("> '" + fifo + "'", {LOCKHUB_BINARY, "--port", std::to_string(port_),
                                         "--logFile", logFile_, "--configFile", configFile_}),
        ChildProcess::Options{
            "", {"NOTIFY_SOCKET=" + watchdog.Path(), "WATCHDOG_USEC=" + interval}, folder.Path()});
}

bool Hub::Running() {
    return lockhub_->Running();
}

bool Hub::LogtrimRunning() {
    return logtrim_->Running();
}

void Hub::Reload(const std::string& configuration) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Written whole under another name, then renamed: lockhub never reads half a file.
    TestSupport::WriteFile(configFile_ + ".new", configuration);
    std::rename((configFile_ + ".new").c_str(), configFile_.c_str());
    ::syscall(SYS_tgkill, lockhub_->Pid(), lockhub_->Pid(), SIGUSR1);
}

void Hub::StallReader(bool stalled) {
    logtrim_->Signal(stalled ? SIGSTOP : SIGCONT);
}

Resources Hub::Measure() const {
    const pid_t pid = lockhub_->Pid();
    return Resources{StatusField(pid, "VmRSS:"), StatusField(pid, "Threads:"),
                     static_cast<long>(TestSupport::OpenDescriptors(pid))};
}

}  // namespace Soak
