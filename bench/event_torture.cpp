// event_torture: a host process tracks in-app events in bursts on the SQLite store and is killed
// with SIGKILL at a random moment; a new process then opens the store, and every event whose
// trackEvent call returned more than 100 ms before the kill must be in it (the library promises
// an event durable within 100 ms). No service runs, so the events stay queued.
//
//   event_torture [--trials N] [--seed S]   (default 1000 trials)
//
// Prints the trials, the events tracked, those old enough to be owed, those lost (goal 0) and the
// run time. Exit status 1 when any event was lost, 2 when the run could not be set up.
#include <poll.h>
#include <sys/prctl.h>
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
#include "sdk/event_outbox.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kDurableWithin = std::chrono::milliseconds(100);
constexpr int kKillWindowMs = 300;  // after the first event

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

// Opens the store as the next launch does and reports the ids of the stored events.
[[noreturn]] void runCheck(const fs::path& dir, int out) {
    configure(dir);
    (void)plovendale::internal::queuedEventCount();
    std::string ids;
    plovendale::internal::visitKnownEvents([&](const plovendale::internal::StoredEvent& event) {
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

}  // namespace

int main(int argc, char** argv) {
    int trials = 1000;
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::max(1, std::atoi(argv[i + 1]));
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
    fs::remove_all(root, error);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "event torture: %d trials, %lld events tracked, %lld owed (returned > 100 ms before the "
        "kill), %lld lost in %d trials, %lld found stored; %.1f s\n",
        trials, tracked, owed, lost, trialsWithLoss, stored, seconds);
    return lost == 0 ? 0 : 1;
}
