#include "metrics/ProcessMetrics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace Mux::Metrics {
namespace {

// The fields of /proc/<pid>/stat the metrics use.
struct Stat {
    int64_t userTicks;
    int64_t systemTicks;
    int64_t startTicks;  // since boot
    int64_t virtualBytes;
    int64_t residentPages;
};

// proc(5): "pid (comm) state ppid ...". The command name may hold spaces and parentheses,
// so fields are counted from the last ')'; field 3, the state, is a letter.
std::optional<Stat> ParseStat(std::string_view text) {
    const size_t close = text.rfind(')');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    int64_t fields[25] = {};  // by field number, 4 to 24
    const char* at = text.data() + close + 1;
    const char* const end = text.data() + text.size();
    for (int field = 3; field < 25; ++field) {
        at = std::find_if(at, end, [](char c) { return c != ' '; });
        if (field == 3) {
            at = std::find(at, end, ' ');
            continue;
        }
        const auto [next, error] = std::from_chars(at, end, fields[field]);
        if (error != std::errc()) {
            return std::nullopt;
        }
        at = next;
    }
    return Stat{fields[14], fields[15], fields[22], fields[23], fields[24]};
}

// The boot time, seconds since the Unix epoch: the "btime" line of /proc/stat.
std::optional<int64_t> BootTime(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::optional<int64_t> boot;
    char piece[256];
    bool lineStart = true;  // fgets cuts a long line (the "intr" line) into pieces
    while (!boot && std::fgets(piece, sizeof piece, file) != nullptr) {
        const size_t length = std::strlen(piece);
        int64_t seconds = 0;
        if (lineStart && std::strncmp(piece, "btime ", 6) == 0 &&
            std::from_chars(piece + 6, piece + length, seconds).ec == std::errc()) {
            boot = seconds;
        }
        lineStart = length > 0 && piece[length - 1] == '\n';
    }
    std::fclose(file);
    return boot;
}

// Reads procfs for the collected families; the paths are made once. Each reading is
// nullopt when its file cannot be read or parsed.
class ProcessReader {
public:
    explicit ProcessReader(const std::string& procRoot)
        : statPath_(procRoot + "/self/stat"),
          fdPath_(procRoot + "/self/fd"),
          ticksPerSecond_(static_cast<double>(::sysconf(_SC_CLK_TCK))),
          pageBytes_(static_cast<double>(::sysconf(_SC_PAGESIZE))) {
        const std::optional<Stat> stat = ReadStat();
        const std::optional<int64_t> boot = BootTime(procRoot + "/stat");
        if (stat && boot) {
            startTime_ = static_cast<double>(*boot) +
                         static_cast<double>(stat->startTicks) / ticksPerSecond_;
        }
    }

    std::optional<double> CpuSeconds() const {
        const std::optional<Stat> stat = ReadStat();
        return stat
                   ? std::optional<double>(
                         static_cast<double>(stat->userTicks + stat->systemTicks) / ticksPerSecond_)
                   : std::nullopt;
    }

    std::optional<double> VirtualBytes() const {
        const std::optional<Stat> stat = ReadStat();
        return stat ? std::optional<double>(static_cast<double>(stat->virtualBytes)) : std::nullopt;
    }

    std::optional<double> ResidentBytes() const {
        const std::optional<Stat> stat = ReadStat();
        return stat ? std::optional<double>(static_cast<double>(stat->residentPages) * pageBytes_)
                    : std::nullopt;
    }

    std::optional<double> StartTime() const { return startTime_; }

    // The entries of /proc/self/fd, read with a buffer on the stack (opendir would
    // allocate one). The descriptor reading them is among them, as other clients count.
    std::optional<double> OpenDescriptors() const {
        const int fd = ::open(fdPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        alignas(dirent64) char buffer[4096];
        double count = 0;
        ssize_t length;
        while ((length = ::getdents64(fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                    ++count;
                }
                at += entry->d_reclen;
            }
        }
        ::close(fd);
        return length == 0 ? std::optional<double>(count) : std::nullopt;
    }

    // The soft limit, which procfs need not tell.
    std::optional<double> MaxDescriptors() const {
        rlimit limit{};
        return ::getrlimit(RLIMIT_NOFILE, &limit) == 0
                   ? std::optional<double>(static_cast<double>(limit.rlim_cur))
                   : std::nullopt;
    }

private:
    std::optional<Stat> ReadStat() const {
        char buffer[1024];  // the fields used end within about 300 bytes
        const int fd = ::open(statPath_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        ssize_t length;
        do {
            length = ::read(fd, buffer, sizeof buffer);
        } while (length < 0 && errno == EINTR);
        ::close(fd);
        if (length <= 0) {
            return std::nullopt;
        }
        return ParseStat({buffer, static_cast<size_t>(length)});
    }

    const std::string statPath_;
    const std::string fdPath_;
    const double ticksPerSecond_;
    const double pageBytes_;
    std::optional<double> startTime_;  // never changes: read once
};

struct ProcessFamily {
    const char* name;
    const char* help;
    Type type;
    std::optional<double> (ProcessReader::*read)() const;
};

constexpr ProcessFamily kFamilies[] = {
    {"process_cpu_seconds_total", "Total user and system CPU time spent in seconds.", Type::counter,
     &ProcessReader::CpuSeconds},
    {"process_open_fds", "Number of open file descriptors.", Type::gauge,
     &ProcessReader::OpenDescriptors},
    {"process_max_fds", "Maximum number of open file descriptors.", Type::gauge,
     &ProcessReader::MaxDescriptors},
    {"process_virtual_memory_bytes", "Virtual memory size in bytes.", Type::gauge,
     &ProcessReader::VirtualBytes},
    {"process_resident_memory_bytes", "Resident memory size in bytes.", Type::gauge,
     &ProcessReader::ResidentBytes},
    {"process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
     Type::gauge, &ProcessReader::StartTime},
};

}  // namespace

void AddProcessMetrics(Registry& registry, const std::string& procRoot) {
    auto reader = std::make_shared<const ProcessReader>(procRoot);
    for (const ProcessFamily& family : kFamilies) {
        registry.AddCollected(
            {family.name, family.help, family.type, {}}, [reader, read = family.read] {
                const std::optional<double> value = ((*reader).*read)();
                return value ? std::vector<Sample>{{{}, *value}} : std::vector<Sample>{};
            });
    }
}

}  // namespace Mux::Metrics
