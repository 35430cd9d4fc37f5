// event_torture: a host process tracks in-app events in bursts on the SQLite store and is killed
// with SIGKILL at a random moment; a new process then opens the store, and every event whose
// trackEvent call returned more than 100 ms before the kill must be in it (the library promises
// an event durable within 100 ms). No service runs, so the events stay queued.
//
// Then, after a burst of --burst events (default 200,000; 0: none) tracked as fast as a host can:
// an event tracked 0.5 s later is stored when a kill lands 150 ms after its call returned; the
// store then holds at most 10,000 events; shutdown(100 ms) returns within 100 ms plus the bound
// it documents and says whether everything was written.
//
//   event_torture [--trials N] [--seed S] [--burst N]   (default 1000 trials)
//
// Prints the trials, the events tracked, those old enough to be owed, those lost (goal 0) and the
// run time, then the burst's figures. Exit status 1 when any event was lost or a burst check
// failed, 2 when the run could not be set up.
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/outbox.h"
#include "sdk/outbox_store.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kDurableWithin = std::chrono::milliseconds(100);
constexpr int kKillWindowMs = 300;  // after the first event
// shutdown returns within its timeout, 100 ms for the writer and the one store write under way.
constexpr double kShutdownBoundMs = 100 + 100 + 250;

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void configure(const fs::path& dir) {
    plovendale::PlatformConfiguration config;
    config.dataDirectory = dir.string();
    config.logSink = [](std::string_view) {};
    plovendale::Platform::configure(std::move(config));
}

void writeLine(int fd, const std::string& line) {
    // One write each, shorter than PIPE_BUF: lines never tear.
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(3);
        done += static_cast<std::size_t>(n);
    }
}

// Tracks events in bursts until it is killed; reports "<id> <ns when trackEvent returned>".
[[noreturn]] void runHost(const fs::path& dir, unsigned seed, int out) {
    configure(dir);
    plovendale::Plovendale::startWith("tortureKey");
    std::mt19937 random(seed);
    for (long long id = 0;; ++id) {
        const std::string eventId = std::string(1, 'e').append(std::to_string(id));
        const bool ok = plovendale::Plovendale::trackEvent("tap", {{"n", std::to_string(id)}},
                                                           std::nullopt, eventId);
        const long long at = nowNs();
        if (ok) writeLine(out, eventId + ' ' + std::to_string(at) + '\n');
        if (random() % 150 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
    }
}

void burst(long long count) {
    for (long long id = 0; id < count; ++id)
        plovendale::Plovendale::trackEvent("burst", {}, std::nullopt, "b" + std::to_string(id));
}

// A burst, then one event 0.5 s later: "<ns when it returned>" (the parent kills it soon after).
[[noreturn]] void runBurstThenOne(const fs::path& dir, long long count, int out) {
    configure(dir);
    plovendale::Plovendale::startWith("tortureKey");
    burst(count);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    plovendale::Plovendale::trackEvent("late", {}, std::nullopt, "late");
    writeLine(out, std::to_string(nowNs()) + '\n');
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// A burst, then shutdown(100 ms): "<its ms> <its answer> <peak resident KiB>".
[[noreturn]] void runBurstThenShutdown(const fs::path& dir, long long count, int out) {
    configure(dir);
    plovendale::Plovendale::startWith("tortureKey");
    burst(count);
    const auto start = Clock::now();
    const bool done = plovendale::Plovendale::shutdown(std::chrono::milliseconds(100));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    writeLine(out, std::to_string(ms) + ' ' + (done ? "1" : "0") + ' ' +
                       std::to_string(usage.ru_maxrss) + '\n');
    _exit(0);
}

// Opens the store as the next launch does and reports the ids of the stored events.
[[noreturn]] void runCheck(const fs::path& dir, int out) {
    configure(dir);
    (void)plovendale::internal::queuedEventCount();
    std::string ids;
    plovendale::internal::visitKnownEntries([&](const plovendale::internal::OutboxEntry& event) {
        ids += event.id + "\n";
        return true;
    });
    std::size_t done = 0;
    while (done < ids.size()) {
        const ssize_t n = ::write(out, ids.data() + done, ids.size() - done);
        if (n <= 0 && errno != EINTR) _exit(3);
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    _exit(0);
}

struct Child {
    pid_t pid = -1;
    int fd = -1;
};

template <typename Body>
Child spawn(Body body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(fds[0]);
        body(fds[1]);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Reads what the child writes until `deadline` (then kills it, answering the kill's time) or
// until it closes the pipe.
std::optional<long long> collect(const Child& child, std::string& output,
                                 std::optional<Clock::time_point> killAt) {
    std::optional<long long> killedAt;
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    char buffer[65536];
    for (;;) {
        int waitMs = 100;
        if (killAt && !killedAt) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*killAt - Clock::now());
            if (left.count() <= 0) {
                killedAt = nowNs();
                kill(child.pid, SIGKILL);
                continue;
            }
            waitMs = static_cast<int>(std::min<long long>(left.count(), 100));
        }
        if (Clock::now() > giveUp) {
            kill(child.pid, SIGKILL);
            break;
        }
        pollfd fd{child.fd, POLLIN, 0};
        const int ready = poll(&fd, 1, waitMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = read(child.fd, buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(child.fd);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return killedAt;
}

// The stored ids of the store in `dir`, and how long the first count took (ms).
std::set<std::string> storedIds(const fs::path& dir, double* firstCountMs = nullptr) {
    std::string ids;
    const auto start = Clock::now();
    const Child check = spawn([&](int out) { runCheck(dir, out); });
    if (check.pid > 0) collect(check, ids, std::nullopt);
    if (firstCountMs)
        *firstCountMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::set<std::string> present;
    std::istringstream lines(ids);
    for (std::string id; std::getline(lines, id);) present.insert(id);
    return present;
}

bool checkBurst(const fs::path& root, long long count) {
    bool held = true;
    const fs::path late = root / "burst-late";
    fs::create_directories(late);
    std::string output;
    const Child host = spawn([&](int out) { runBurstThenOne(late, count, out); });
    // Killed 150 ms after the late event's call returned (its line arrives at once).
    const auto giveUp = Clock::now() + std::chrono::seconds(60);
    char buffer[256];
    while (output.find('\n') == std::string::npos && Clock::now() < giveUp) {
        pollfd fd{host.fd, POLLIN, 0};
        if (poll(&fd, 1, 100) > 0) {
            const ssize_t got = read(host.fd, buffer, sizeof buffer);
            if (got <= 0) break;
            output.append(buffer, static_cast<std::size_t>(got));
        }
    }
    std::string rest;
    collect(host, rest, Clock::now() + std::chrono::milliseconds(150));
    const auto present = storedIds(late);
    const bool lateKept = present.count("late") == 1;
    std::printf(
        "burst of %lld, one event 0.5 s later, killed 150 ms after it returned: %s; %zu "
        "stored\n",
        count, lateKept ? "kept" : "LOST", present.size());
    held = held && lateKept && present.size() <= 10000;

    const fs::path stop = root / "burst-shutdown";
    fs::create_directories(stop);
    output.clear();
    const Child stopping = spawn([&](int out) { runBurstThenShutdown(stop, count, out); });
    collect(stopping, output, std::nullopt);
    double ms = 0;
    int done = 0;
    long rssKiB = 0;
    if (std::sscanf(output.c_str(), "%lf %d %ld", &ms, &done, &rssKiB) != 3) return false;
    double firstCountMs = 0;
    const auto stored = storedIds(stop, &firstCountMs);
    std::printf(
        "burst of %lld, then shutdown(100 ms): %.1f ms (bound %.0f), answered %s, peak "
        "RSS %.1f MiB; next launch: %zu stored, read in %.0f ms\n",
        count, ms, kShutdownBoundMs, done ? "written" : "not all written",
        static_cast<double>(rssKiB) / 1024, stored.size(), firstCountMs);
    return held && ms <= kShutdownBoundMs && stored.size() <= 10000;
}

}  // namespace

int main(int argc, char** argv) {
    int trials = 1000;
    long long burstCount = 200000;
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--burst") == 0)
            burstCount = std::max(0LL, std::atoll(argv[i + 1]));
        if (std::strcmp(argv[i], "--seed") == 0)
            seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    std::mt19937 random(seed);
    const fs::path root = fs::temp_directory_path() / ("event_torture." + std::to_string(getpid()));
    std::error_code error;
    fs::create_directories(root, error);
    if (error) {
        std::fprintf(stderr, "cannot make %s\n", root.c_str());
        return 2;
    }
    const auto start = Clock::now();
    long long tracked = 0, owed = 0, lost = 0, stored = 0;
    int trialsWithLoss = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const fs::path dir = root / std::to_string(trial);
        fs::create_directories(dir);
        const unsigned childSeed = random();
        const Child host = spawn([&](int out) { runHost(dir, childSeed, out); });
        if (host.pid <= 0) return 2;
        // The kill lands at a random moment of the first kKillWindowMs after the first event.
        std::string output;
        const int afterMs = static_cast<int>(random() % (kKillWindowMs + 1));
        const Clock::time_point killAt = Clock::now() + std::chrono::milliseconds(afterMs + 20);
        const auto killedAt = collect(host, output, killAt);
        if (!killedAt) {
            std::fprintf(stderr, "trial %d: the host ended before the kill\n", trial);
            return 2;
        }
        std::string ids;
        const Child check = spawn([&](int out) { runCheck(dir, out); });
        if (check.pid <= 0) return 2;
        collect(check, ids, std::nullopt);
        std::set<std::string> present;
        std::istringstream idLines(ids);
        for (std::string id; std::getline(idLines, id);) present.insert(id);
        stored += static_cast<long long>(present.size());

        const long long owedBefore =
            *killedAt -
            std::chrono::duration_cast<std::chrono::nanoseconds>(kDurableWithin).count();
        std::istringstream lines(output);
        long long lostHere = 0;
        long long oldestLost = 0;  // ns before the kill
        for (std::string line; std::getline(lines, line);) {
            const auto space = line.find(' ');
            if (space == std::string::npos) continue;  // torn by the kill
            ++tracked;
            const long long at = std::stoll(line.substr(space + 1));
            if (at > owedBefore) continue;
            ++owed;
            if (present.count(line.substr(0, space)) == 0) {
                ++lostHere;
                oldestLost = std::max(oldestLost, *killedAt - at);
            }
        }
        if (lostHere > 0) {
            std::printf(
                "trial %d: %lld owed events lost, the oldest returned %.1f ms before the "
                "kill; %zu stored\n",
                trial, lostHere, static_cast<double>(oldestLost) / 1e6, present.size());
        }
        lost += lostHere;
        trialsWithLoss += lostHere > 0;
        fs::remove_all(dir, error);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "event torture: %d trials, %lld events tracked, %lld owed (returned > 100 ms before the "
        "kill), %lld lost in %d trials, %lld found stored; %.1f s\n",
        trials, tracked, owed, lost, trialsWithLoss, stored, seconds);
    const bool burstHeld = burstCount == 0 || checkBurst(root, burstCount);
    fs::remove_all(root, error);
    return lost == 0 && burstHeld ? 0 : 1;
}
