// kill_torture: kills a host process with SIGKILL at a random moment of its first launch and checks
// that the next launch finds a sound installation. One program in three roles:
//   kill_torture [--trials N] [--seed S] [--service PATH]   the driver (default 1000 trials)
//   kill_torture --child DIR --app-key K --server URL       a host's launch; phase lines on fd 3
//   kill_torture --check DIR --app-key K --server URL --params P --channel C --mode full|inspect
// The driver starts the reference service once and runs chains of launches on one data directory
// each: some chains are one kill on a fresh installation, others several kills in a row, so that an
// identifier written by one launch must survive the later ones. After every kill a checker launch
// on the same directory tells what it found; the driver compares it with what earlier launches of
// the chain and the service saw. Exit status 1 on any violation, 2 when the run could not be set
// up.
#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/pasteboard.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/outbox.h"
#include "support/attribution_service_process.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale::torture {
namespace {

using Clock = std::chrono::steady_clock;
using Args = std::map<std::string, std::string>;
namespace fs = std::filesystem;

constexpr int kMarkerFd = 3;
constexpr double kQueryTimeoutMs = 4000;
constexpr auto kChildDeadline = std::chrono::seconds(20);
constexpr auto kCheckerDeadline = std::chrono::seconds(30);
constexpr int kCalibrationRuns = 5;

// The phases a launch reports, in the order it reaches them.
enum Phase { kNone, kStarted, kClientId, kQuerySent, kAnswerStored, kReportDelivered, kDone };
constexpr std::array<const char*, 7> kPhaseWords = {
    "", "started", "client-id", "query-sent", "answer-stored", "report-delivered", "done"};
constexpr std::array<const char*, 8> kPhaseLabels = {
    "before start",     "started", "client id written",     "query sent", "answer stored",
    "report delivered", "done",    "exited before the kill"};

std::string milliseconds(std::chrono::microseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(span.count()) / 1000);
    return text;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The system pasteboard outlives the application, so a launch killed after emptying it leaves it
// empty: it lives in a file beside the data directory, replaced atomically.
class FilePasteboard final : public Pasteboard {
  public:
    explicit FilePasteboard(std::string path) : path_(std::move(path)) {}
    std::vector<PasteboardItem> items() const override {
        const std::string html = readAll(path_);
        if (html.empty()) return {};
        return {PasteboardItem{{kHTMLType, PasteboardValue{html}}}};
    }
    void setItems(std::vector<PasteboardItem> items) override {
        std::string html;
        for (const auto& item : items) {
            auto found = item.find(kHTMLType);
            if (found == item.end()) continue;
            if (const auto* text = std::get_if<std::string>(&found->second)) html = *text;
        }
        writeAtomically(path_, html);
    }
    static void writeAtomically(const std::string& path, const std::string& text) {
        const std::string temporary = path + ".new";
        std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
        std::rename(temporary.c_str(), path.c_str());
    }

  private:
    std::string path_;
};

void configureHost(const std::string& dir) {
    PlatformConfiguration config;
    config.dataDirectory = dir + "/data";
    config.bundleDirectory = dir + "/bundle";
    config.pasteboard = std::make_shared<FilePasteboard>(dir + "/pasteboard.html");
    Platform::configure(std::move(config));
}

void mark(Phase phase, const std::string& detail = "") {
    const std::string line = std::string(kPhaseWords[phase]) + " " + detail + "\n";
    // One write each, shorter than PIPE_BUF, so lines never interleave or tear.
    [[maybe_unused]] ssize_t written = write(kMarkerFd, line.data(), line.size());
}

// A first launch as a host makes it: start, ask for the install trace, let the report go out.
int runLaunch(const Args& args) {
    mark(kStarted);
    configureHost(args.at("child"));
    bool delivered = false;
    Plovendale::setEventObserver([&delivered](const PlovendaleEvent& event) {
        if (event.name == "report.delivered" && !delivered) {
            delivered = true;
            mark(kReportDelivered);
        }
    });
    Plovendale::startWith(args.at("app-key"));
    Plovendale::setServerDomain(args.at("server"));
    mark(kClientId, CoreHelper::getClientId());
    bool answered = false;
    Plovendale::getInstallTraceWithTimeout(
        kQueryTimeoutMs,
        [&answered](const std::optional<AppData>&) {
            answered = true;
            mark(kAnswerStored);
        },
        [&answered](std::int64_t code, const std::optional<std::string>& message) {
            answered = true;
            mark(kAnswerStored, "fail " + std::to_string(code) + " " + message.value_or(""));
        });
    if (!answered) mark(kQuerySent);
    MainQueue::shared().runUntil(
        [&] { return answered && URLSession::liveSessionCount() == 0; },
        std::chrono::milliseconds(static_cast<long long>(kQueryTimeoutMs) * 2));
    MainQueue::shared().drain();
    mark(kDone);
    return answered ? 0 : 1;
}

// The launch after a kill. Prints "client-id <id>", "asked" when its query was answered by the
// service, "queued <N>" (the reports still waiting when it ends) and one "violation: ..." line
// per broken rule.
// "full" asks the service when the installation is unattributed; "inspect" leaves it so for the
// next kill of the chain and checks only that the landing trace is still at hand.
int runCheck(const Args& args) {
    const std::string dir = args.at("check");
    configureHost(dir);
    auto violation = [](const std::string& what) { std::cout << "violation: " << what << "\n"; };
    if (!Platform::keyValueStore()->persists())
        violation("the store did not open; the launch runs on memory only");
    const std::string before = CoreHelper::getClientId();
    const bool attributed = !CoreHelper::isFirstInstall();
    const InstallTraceState state = Plovendale::installTraceState();
    const AppData expected{args.at("params"), args.at("channel")};
    if (attributed && !(state.kind == InstallTraceState::Kind::Attributed &&
                        state.appData == std::optional<AppData>(expected))) {
        violation(std::string("attributed, but the state reads ") +
                  InstallTraceState::nameOf(state.kind) + " without the answer");
    }
    if (!attributed && state.kind != InstallTraceState::Kind::Unknown) {
        violation(std::string("unattributed, but the state reads ") +
                  InstallTraceState::nameOf(state.kind));
    }

    Plovendale::startWith(args.at("app-key"));
    Plovendale::setServerDomain(args.at("server"));
    const std::string after = CoreHelper::getClientId();
    if (!before.empty() && after != before)
        violation("start-up replaced the stored client identifier " + before + " by " + after);
    std::cout << "client-id " << after << "\n"
              << (attributed ? "attributed" : "unattributed") << "\n";

    if (!attributed && args.at("mode") == "inspect") {
        const auto paste = Platform::keyValueStore()->stringForKey(CoreHelper::kPasteKey);
        if (paste.value_or("").empty() && readAll(dir + "/pasteboard.html").empty())
            violation("the landing trace is lost: neither stored nor on the pasteboard");
        return 0;
    }
    std::optional<std::string> outcome;
    Plovendale::getInstallTraceWithTimeout(
        kQueryTimeoutMs,
        [&](const std::optional<AppData>& data) {
            outcome = data == std::optional<AppData>(expected) ? "" : "answered other params";
        },
        [&](std::int64_t code, const std::optional<std::string>& message) {
            outcome = "failed with " + std::to_string(code) + " " + message.value_or("");
        });
    const bool synchronous = outcome.has_value();
    // The reports queued by the killed launches go out too, one after another.
    MainQueue::shared().runUntil(
        [&] { return outcome && URLSession::liveSessionCount() == 0 && !internal::outboxBusy(); },
        std::chrono::milliseconds(static_cast<long long>(kQueryTimeoutMs) * 4));
    if (outcome && !synchronous) std::cout << "asked\n";
    std::cout << "queued " << Plovendale::queuedReportCount() << "\n";
    const char* path = attributed ? "from the cache" : "from the service";
    if (!outcome) violation(std::string("the query ") + path + " never answered");
    if (outcome && !outcome->empty()) violation(std::string("the query ") + path + " " + *outcome);
    if (attributed && !synchronous) violation("an attributed installation asked the service again");
    if (!attributed && outcome && outcome->empty() && CoreHelper::isFirstInstall())
        violation("the service's answer was not stored");
    return 0;
}

// ---- the driver ----

struct Run {
    std::string output;                 // what the process wrote on its marker or output pipe
    Phase phase = kNone;                // the last phase it reported
    bool exitedEarly = false;           // it ended before the kill was due
    bool hung = false;                  // killed at its deadline
    int status = -1;                    // 128 + signal when a signal ended it
    std::string clientId;               // from its "client-id" line
    std::vector<std::string> problems;  // "fail ..." answers and "violation: ..." lines
    std::vector<std::pair<std::size_t, double>> arrivals;  // output size after each read, and when
    std::array<double, kDone + 1> reachedAtMs{};           // when each phase line arrived
};

std::string selfPath() {
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).string();
}

// Runs argv with `pipeFd` of the child going to a pipe that is read into Run::output, and its
// other output to logPath. Kills it `killAfter` after its "started" line (when given; the
// loader's time before main is of no interest), or at the deadline.
Run runProcess(const std::vector<std::string>& argv, int pipeFd, const std::string& logPath,
               std::optional<std::chrono::microseconds> killAfter, Clock::duration deadline) {
    Run run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        run.problems.push_back("pipe: " + std::string(std::strerror(errno)));
        return run;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (log < 0 || in < 0) _exit(126);
        dup2(in, 0);
        dup2(log, 1);
        dup2(log, 2);
        dup2(fds[1], pipeFd);  // dup2 clears close-on-exec on the copy
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    const auto start = Clock::now();
    // After the kill, the pipe closes once the kernel has torn the process down.
    auto until = start + deadline;
    bool armed = false;
    bool ended = false;
    bool killed = false;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
        if (left.count() <= 0) {
            if (killed) break;
            kill(pid, SIGKILL);
            killed = true;
            run.hung = !armed;
            until = Clock::now() + std::chrono::seconds(10);
            continue;
        }
        pollfd fd{fds[0], POLLIN, 0};
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        const int ready = ppoll(&fd, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got > 0) {
            run.output.append(buffer, static_cast<std::size_t>(got));
            const auto now = std::chrono::duration<double, std::milli>(Clock::now() - start);
            run.arrivals.emplace_back(run.output.size(), now.count());
            if (killAfter && !armed && run.output.starts_with(kPhaseWords[kStarted])) {
                until = Clock::now() + *killAfter;
                armed = true;
            }
        } else if (got == 0 || errno != EINTR) {
            ended = true;  // every copy of the write end is closed: the process is gone
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitedEarly = ended && !killed;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::istringstream lines(run.output);
    std::string line;
    std::size_t arrival = 0;
    std::size_t end = 0;
    while (std::getline(lines, line)) {
        end += line.size() + 1;
        while (arrival + 1 < run.arrivals.size() && run.arrivals[arrival].first < end) ++arrival;
        const std::string word = line.substr(0, line.find(' '));
        const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        for (int p = kStarted; p <= kDone; ++p) {
            if (word != kPhaseWords[p]) continue;
            run.phase = std::max(run.phase, static_cast<Phase>(p));
            run.reachedAtMs[p] = run.arrivals[arrival].second;
        }
        if (word == "client-id") run.clientId = rest;
        if (word == "answer-stored" && rest.starts_with("fail")) run.problems.push_back(rest);
        if (word == "violation:") run.problems.push_back(rest);
    }
    return run;
}

struct Chain {
    int index = 0;
    std::string dir;
    std::string appKey;
    std::string params;
    std::string channel;
    std::string clientId;  // the first identifier any launch of the chain saw
    int answered = 0;      // launches whose query the service answered: each owes a report
    long long queued = 0;  // reports waiting after the chain's last launch
};

class Driver {
  public:
    Driver(const test::AttributionServiceProcess& service, std::string root, std::uint64_t seed)
        : service_(service), root_(std::move(root)), random_(seed) {}

    std::optional<Chain> newChain() {
        Chain chain;
        chain.index = chains_++;
        chain.dir = root_ + "/chain" + std::to_string(chain.index);
        chain.appKey = "torture" + std::to_string(100000 + chain.index);
        chain.params = "chain=" + std::to_string(chain.index) + "&n=" + std::to_string(random_());
        chain.channel = "kill-torture";
        fs::create_directories(chain.dir + "/bundle");
        const std::string trace = service_.registerLink(chain.appKey, chain.params, chain.channel);
        if (trace.empty()) return std::nullopt;
        FilePasteboard::writeAtomically(chain.dir + "/pasteboard.html",
                                        test::pasteboardAnchor(chain.appKey, trace));
        return chain;
    }

    Run launch(const Chain& chain, std::optional<std::chrono::microseconds> killAfter) {
        return runProcess({selfPath(), "--child", chain.dir, "--app-key", chain.appKey, "--server",
                           service_.baseUrl()},
                          kMarkerFd, chain.dir + "/launch.log", killAfter, kChildDeadline);
    }

    // The median time of a whole unkilled first launch from its "started" line to its "done"
    // line; prints when its phases are reached.
    std::optional<std::chrono::microseconds> calibrate() {
        std::vector<std::chrono::microseconds> times;
        std::array<std::vector<double>, kDone + 1> reached;
        for (int i = 0; i < kCalibrationRuns; ++i) {
            auto chain = newChain();
            if (!chain) return std::nullopt;
            const Run run = launch(*chain, std::nullopt);
            times.emplace_back(static_cast<long long>(
                (run.reachedAtMs[kDone] - run.reachedAtMs[kStarted]) * 1000));
            if (run.phase != kDone || run.status != 0 || !run.problems.empty()) {
                std::cerr << "kill_torture: an unkilled launch did not succeed (phase "
                          << kPhaseWords[run.phase] << ", status " << run.status << "); see "
                          << chain->dir << "/launch.log\n";
                return std::nullopt;
            }
            fs::remove_all(chain->dir);
            for (int p = kStarted; p <= kDone; ++p) reached[p].push_back(run.reachedAtMs[p]);
        }
        std::cout << "kill_torture: an unkilled first launch reaches (median of "
                  << kCalibrationRuns << ", ms)";
        for (int p = kStarted; p <= kDone; ++p) {
            std::sort(reached[p].begin(), reached[p].end());
            std::cout << " " << kPhaseWords[p] << " " << reached[p][reached[p].size() / 2];
        }
        std::cout << std::endl;
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    }

    // One kill and the check after it; answers whether the installation is still unattributed.
    bool trial(Chain& chain, bool lastOfChain, std::chrono::microseconds span) {
        const int number = ++trials_;
        std::uniform_int_distribution<long long> moment(0, span.count());
        const std::chrono::microseconds killAfter(moment(random_));
        const Run launched = launch(chain, killAfter);
        const int bucket = launched.exitedEarly ? kDone + 1 : launched.phase;
        ++killsPerPhase_[bucket];
        const std::string where =
            "trial " + std::to_string(number) + " (chain " + std::to_string(chain.index) +
            ", killed " + milliseconds(killAfter) + " after start, " + kPhaseLabels[bucket] + ")";
        auto violation = [&](const std::string& what) {
            violations_.push_back(where + ": " + what);
            keep_ = true;
        };
        if (launched.hung) violation("the launch passed its deadline");
        for (const auto& problem : launched.problems) violation("the launch " + problem);
        remember(chain, launched.clientId, "the killed launch", violation);
        if (launched.phase >= kAnswerStored) ++chain.answered;

        const Run checked =
            runProcess({selfPath(), "--check", chain.dir, "--app-key", chain.appKey, "--server",
                        service_.baseUrl(), "--params", chain.params, "--channel", chain.channel,
                        "--mode", lastOfChain ? "full" : "inspect"},
                       STDOUT_FILENO, chain.dir + "/check.log", std::nullopt, kCheckerDeadline);
        if (checked.hung) violation("the checking launch passed its deadline");
        if (checked.status != 0)
            violation("the checking launch ended with " + std::to_string(checked.status));
        for (const auto& problem : checked.problems) violation(problem);
        if (checked.clientId.empty()) violation("the checking launch has no client identifier");
        remember(chain, checked.clientId, "the checking launch", violation);
        if (checked.output.find("\nasked\n") != std::string::npos) ++chain.answered;
        if (auto at = checked.output.find("\nqueued "); at != std::string::npos)
            chain.queued = std::atoll(checked.output.c_str() + at + 8);
        return checked.output.find("\nunattributed\n") != std::string::npos;
    }

    template <typename Report>
    void remember(Chain& chain, const std::string& clientId, const char* who, Report violation) {
        if (clientId.empty()) return;
        if (chain.clientId.empty()) chain.clientId = clientId;
        if (clientId != chain.clientId)
            violation(std::string(who) + " has client identifier " + clientId + ", but " +
                      chain.clientId + " was seen before");
    }

    // Every query and report the service received for this installation names one identifier.
    void checkServiceSaw(const Chain& chain) {
        auto violation = [&](const std::string& what) {
            violations_.push_back("installation " + std::to_string(chain.index) + ": " + what);
            keep_ = true;
        };
        httplib::Client client("127.0.0.1", service_.port());
        long long reports = 0;
        for (const char* list : {"installs", "state"}) {
            auto answer = client.Get("/api/" + std::string(list) + "/" + chain.appKey,
                                     {{"Authorization", service_.operatorAuthorization()}});
            const auto rows = nlohmann::json::parse(answer ? answer->body : "", nullptr, false);
            if (!rows.is_array()) {
                violation(std::string("the service's ") + list + " list cannot be read");
                continue;
            }
            if (std::string(list) == "state") reports = static_cast<long long>(rows.size());
            for (const auto& row : rows) {
                const auto& holder = std::string(list) == "installs" ? row["params"] : row;
                const std::string ci = holder.value("ci", "");
                if (ci != chain.clientId)
                    violation(std::string("the service received ") + list + " from client " + ci +
                              ", the installation is " + chain.clientId);
            }
        }
        // At least once: a report may arrive twice, but each answered query has one delivered or
        // still queued.
        const long long lost = std::max(0LL, chain.answered - reports - chain.queued);
        reportsOwed_ += chain.answered;
        reportsLost_ += lost;
        if (lost)
            violation(std::to_string(lost) + " of " + std::to_string(chain.answered) +
                      " reports lost (" + std::to_string(reports) + " delivered, " +
                      std::to_string(chain.queued) + " queued)");
    }

    int runAll(int trials, std::chrono::microseconds span) {
        std::uniform_real_distribution<double> coin(0, 1);
        std::uniform_int_distribution<int> length(2, 6);
        while (trials_ < trials) {
            auto chain = newChain();
            if (!chain) {
                std::cerr << "kill_torture: the service did not register a link\n";
                return 2;
            }
            const int kills = std::min(coin(random_) < 0.4 ? 1 : length(random_), trials - trials_);
            // A chain goes on while its installation is unattributed: a launch on an attributed
            // one answers from the store and is over before most kills would fall.
            for (int k = 1; k <= kills && trial(*chain, k == kills, span); ++k) {
            }
            checkServiceSaw(*chain);
            if (!keep_) fs::remove_all(chain->dir);
        }
        return 0;
    }

    void print(std::ostream& out) const {
        out << "trials: " << trials_ << " in " << chains_ << " installations\nkills per phase:\n";
        for (std::size_t p = 0; p < kPhaseLabels.size(); ++p) {
            out << "  " << kPhaseLabels[p] << ": " << killsPerPhase_[p] << "\n";
        }
        out << "reports lost: " << reportsLost_ << " of " << reportsOwed_ << "\n";
        out << "violations: " << violations_.size() << "\n";
        for (const auto& line : violations_) out << "  " << line << "\n";
    }
    bool clean() const { return violations_.empty(); }

  private:
    const test::AttributionServiceProcess& service_;
    std::string root_;
    std::mt19937_64 random_;
    int chains_ = 0;
    int trials_ = 0;
    std::array<int, kPhaseLabels.size()> killsPerPhase_{};
    std::vector<std::string> violations_;
    long long reportsOwed_ = 0;
    long long reportsLost_ = 0;
    bool keep_ = false;  // a directory that shows a violation stays for a look
};

std::optional<Args> parseArgs(int argc, char** argv) {
    Args args;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (!name.starts_with("--") || i + 1 >= argc) return std::nullopt;
        args[name.substr(2)] = argv[++i];
    }
    return args;
}

int drive(const Args& args) {
    const auto started = Clock::now();
    const int trials = args.count("trials") ? std::atoi(args.at("trials").c_str()) : 1000;
    const std::uint64_t seed =
        args.count("seed") ? std::stoull(args.at("seed")) : std::random_device{}();
    const std::string service =
        args.count("service")
            ? args.at("service")
            : (fs::path(selfPath()).parent_path() / "attribution-service").string();
    char pattern[] = "/tmp/kill-torture-XXXXXX";
    if (trials <= 0 || !mkdtemp(pattern)) {
        std::cerr << "usage: kill_torture [--trials N>0] [--seed S] [--service PATH]\n";
        return 2;
    }
    const std::string root = pattern;
    std::string error;
    auto process = test::AttributionServiceProcess::start({service, "", {"--quiet"}}, &error);
    if (!process) {
        std::cerr << "kill_torture: the service did not start: " << error << "\n";
        return 2;
    }
    Driver driver(*process, root, seed);
    const auto span = driver.calibrate();
    if (!span) return 2;
    std::cout << "kill_torture: seed " << seed << "; each kill falls uniformly within "
              << milliseconds(*span) << " after a launch's \"started\" line" << std::endl;
    if (const int failed = driver.runAll(trials, *span)) return failed;
    driver.print(std::cout);
    const auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << "wall time: " << seconds << " s\n";
    if (driver.clean()) {
        fs::remove_all(root);
        return 0;
    }
    std::cout << "directories of the failing installations are kept under " << root << "\n";
    return 1;
}

}  // namespace
}  // namespace plovendale::torture

int main(int argc, char** argv) {
    using namespace plovendale::torture;
    const auto args = parseArgs(argc, argv);
    if (!args) {
        std::cerr << "usage: kill_torture [--trials N] [--seed S] [--service PATH]\n";
        return 2;
    }
    try {
        if (args->count("child")) return runLaunch(*args);
        if (args->count("check")) return runCheck(*args);
        return drive(*args);
    } catch (const std::exception& error) {
        std::cerr << "kill_torture: " << error.what() << "\n";
        return 2;
    }
}
