#include "bench/ProcessUsage.h"

#include "devtools/common/Environment.h"
#include "devtools/common/Files.h"
#include "devtools/common/Text.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>

using HalyardDev::ListFolder;
using HalyardDev::ReadFileBytes;

namespace HalyardBench {
namespace {

std::string OwnWinePrefix()
{
    return HalyardDev::Narrow(HalyardDev::EnvironmentVariable(L"WINEPREFIX"));
}

// NUL-separated /proc text with the separators as blanks, and one blank at either end.
std::string Joined(std::string text)
{
    for (char& c : text) {
        c = c == '\0' ? ' ' : c;
    }
    return " " + text + " ";
}

// Under Wine every Windows process is a Unix process (Z: is the Unix root). Clock ticks are taken as
// 100 a second. -1 where there is no such process (on Windows).
double UnixCpuMs(const std::string& token)
{
    const std::string prefix = OwnWinePrefix();
    if (prefix.empty()) {
        return -1;
    }
    for (const std::wstring& name : ListFolder(L"Z:\\proc", L"*")) {
        if (name[0] < L'0' || name[0] > L'9') {
            continue;
        }
        const std::wstring folder = L"Z:\\proc\\" + name;
        if (Joined(ReadFileBytes(folder + L"\\cmdline")).find(token) == std::string::npos ||
            Joined(ReadFileBytes(folder + L"\\environ")).find(" WINEPREFIX=" + prefix + " ") == std::string::npos) {
            continue;
        }
        const std::string stat = ReadFileBytes(folder + L"\\stat");
        const size_t fields = stat.rfind(')');
        unsigned long long user = 0;
        unsigned long long system = 0;
        if (fields != std::string::npos &&
            sscanf(stat.c_str() + fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                   &system) == 2) {
            return (user + system) * 10.0;
        }
    }
    return -1;
}

} // namespace

ProcessUsage ReadProcessUsage(HANDLE process, const std::string& commandLineToken)
{
    ProcessUsage usage;
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        const auto ticks = [](const FILETIME& t) {
            return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
        };
        usage.cpuMs = (ticks(kernel) + ticks(user)) / 10000.0;
    }
    const double unixCpuMs = commandLineToken.empty() ? -1 : UnixCpuMs(commandLineToken);
    if (unixCpuMs >= 0) {
        usage.cpuMs = unixCpuMs;
    }
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
        // Wine leaves PrivateUsage 0 for other processes; on Windows PagefileUsage is the same figure.
        usage.privateKb = (memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage) / 1024.0;
        usage.workingSetKb = memory.WorkingSetSize / 1024.0;
    }
    return usage;
}

} // namespace HalyardBench
