#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

// Process figures the benchmarks print beside their timings.
namespace plovendale::bench {

/// The instructions of every thread of `command` (a program and its arguments), from callgrind's
/// summary; nothing when it fails.
inline std::optional<double> callgrindInstructions(const std::string& command) {
    const std::string line =
        "valgrind --tool=callgrind --callgrind-out-file=/dev/null " + command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::optional<double> collected;
    std::array<char, 512> text{};
    while (std::fgets(text.data(), text.size(), pipe)) {
        const char* found = std::strstr(text.data(), "Collected : ");
        if (found) collected = std::strtod(found + std::strlen("Collected : "), nullptr);
    }
    if (::pclose(pipe) != 0) return std::nullopt;
    return collected;
}

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

/// Forks a server process that runs `serve(portPipe)`: it must write its port (an int) to the pipe
/// and never return. Answers the child's pid and the port, or a pid of -1.
template <typename Serve>
std::pair<pid_t, int> forkServer(Serve serve) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {-1, 0};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        serve(pipeFds[1]);
        std::_Exit(1);
    }
    ::close(pipeFds[1]);
    int port = 0;
    const bool read = ::read(pipeFds[0], &port, sizeof port) == sizeof port && port > 0;
    ::close(pipeFds[0]);
    return {read && child > 0 ? child : -1, port};
}

}  // namespace plovendale::bench
