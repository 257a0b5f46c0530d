#include "bench/peak_memory.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <fstream>
#include <string>
#endif

namespace keyscour::bench {

#ifdef _WIN32
void ResetPeakMemory() {}  // Windows keeps one peak per process

double PeakMemoryMb() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.PeakWorkingSetSize / (1024.0 * 1024.0);
}
#else
void ResetPeakMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the current RSS
}

double PeakMemoryMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}
#endif

}  // namespace keyscour::bench
