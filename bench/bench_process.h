#pragma once

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

// Process figures the benchmarks print beside their timings.
namespace plovendale::bench {

/// Threads of this process right now.
inline int threadsNow() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    }
    return -1;
}

/// Peak resident set size of this process so far.
inline long peakRSSKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace plovendale::bench
