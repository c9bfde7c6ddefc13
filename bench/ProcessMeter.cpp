#include "bench/ProcessMeter.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace Bench {
namespace {

constexpr int kUtimeField = 14;  // fields of /proc/PID/stat, counted from 1

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

uint64_t FieldAfter(const std::string& text, const std::string& name) {
    size_t at = text.find(name);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + name.size()));
}

}  // namespace

CpuUse ProcessMeter::Cpu() const {
    CpuUse use;
    const std::string root = "/proc/" + std::to_string(pid_);
    // The command name may hold spaces and parentheses: fields count from after its ')'.
    std::string stat = ReadAll(root + "/stat");
    size_t end = stat.rfind(')');
    if (end != std::string::npos) {
        std::istringstream fields(stat.substr(end + 2));
        std::string field;
        uint64_t utime = 0;
        uint64_t stime = 0;
        for (int number = 3; fields >> field && number <= kUtimeField + 1; ++number) {
            if (number == kUtimeField) {
                utime = std::stoull(field);
            } else if (number == kUtimeField + 1) {
                stime = std::stoull(field);
            }
        }
        use.tickSeconds = static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
    }
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(root + "/task", error)) {
        std::istringstream schedstat(ReadAll(task.path() / "schedstat"));
        uint64_t runNanoseconds = 0;
        schedstat >> runNanoseconds;
        std::string status = ReadAll(task.path() / "status");
        const uint64_t switches = FieldAfter(status, "\nvoluntary_ctxt_switches:") +
                                  FieldAfter(status, "nonvoluntary_ctxt_switches:");
        use.runSeconds += static_cast<double>(runNanoseconds) / 1e9;
        use.switches += switches;
        std::string name = ReadAll(task.path() / "comm");
        if (!name.empty() && name.back() == '\n') {
            name.pop_back();
        }
        CpuUse::Share& share = use.byThread[name];
        share.runSeconds += static_cast<double>(runNanoseconds) / 1e9;
        share.switches += switches;
    }
    return use;
}

long ProcessMeter::ResidentKilobytes() const {
    return StatusNumber("VmRSS:");
}

long ProcessMeter::PeakResidentKilobytes() const {
    return StatusNumber("VmHWM:");
}

long ProcessMeter::Threads() const {
    return StatusNumber("Threads:");
}

long ProcessMeter::StatusNumber(const char* field) const {
    std::string status = ReadAll("/proc/" + std::to_string(pid_) + "/status");
    return status.find(field) == std::string::npos ? -1
                                                   : static_cast<long>(FieldAfter(status, field));
}

}  // namespace Bench
