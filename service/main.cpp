// attribution-service: a small reference attribution service for the Plovendale client.
// See README.md beside this file for the command line and the HTTP interface.

#include <fcntl.h>
#include <openssl/rand.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client_address.h"
#include "identifiers.h"
#include "landing.h"
#include "options.h"
#include "service.h"
#include "store.h"

namespace plovendale::attribution_service {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::chrono::milliseconds kServingBusyWait{200};

void complain(const std::string& message) {
    std::fprintf(stderr, "attribution-service: %s\n", message.c_str());
}

/// Written to a temporary name and renamed, so a reader polling the file never sees half a number.
bool writePortFile(const std::string& path, int port) {
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << '\n';
        out.flush();
        if (!out) return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

/// The operator token: the first line of the given file, or of DB.admin-token, made with a fresh
/// random token (readable by its owner only) when missing. Nothing, with the reason, on failure.
std::optional<std::string> operatorToken(const ServeOptions& options, std::string& tokenPath,
                                         std::string& error) {
    tokenPath = options.adminTokenFile;
    if (tokenPath.empty()) {
        tokenPath = options.database == ":memory:"
                        ? (std::filesystem::temp_directory_path() /
                           ("attribution-service-" + std::to_string(getpid()) + ".admin-token"))
                              .string()
                        : options.database + ".admin-token";
        const int fd = ::open(tokenPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            std::array<unsigned char, 32> random{};
            std::string hex;
            if (RAND_bytes(random.data(), static_cast<int>(random.size())) == 1) {
                static constexpr char kDigits[] = "0123456789abcdef";
                for (const unsigned char byte : random) {
                    hex += kDigits[byte >> 4];
                    hex += kDigits[byte & 15];
                }
                hex += '\n';
            }
            const bool written = !hex.empty() && ::write(fd, hex.data(), hex.size()) ==
                                                     static_cast<ssize_t>(hex.size());
            ::close(fd);
            if (!written) {
                std::remove(tokenPath.c_str());
                error = "cannot write the operator token to " + tokenPath;
                return std::nullopt;
            }
        }
    }
    std::ifstream in(tokenPath);
    std::string token;
    std::getline(in, token);
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back())))
        token.pop_back();
    if (!in && token.empty()) {
        error = "cannot read the operator token from " + tokenPath;
        return std::nullopt;
    }
    if (token.empty()) {
        error = "the operator token file " + tokenPath + " is empty";
        return std::nullopt;
    }
    return token;
}

std::string urlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool isLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

int serve(const ServeOptions& options) {
    // Signals are taken by one thread with sigwait; every other thread (httplib's pool included)
    // inherits this mask, so a signal can never interrupt a handler or SQLite mid-write.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not kill the service
    // Each open connection is a descriptor; the usual soft limit of 1,024 would refuse clients
    // long before the connection threads run out.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    std::string error;
    // The store's one connection is shared under a lock: a write that finds the database locked
    // by another process gives up soon and the client retries, rather than every request queueing
    // behind it.
    // Instances sharing a database must share the operator token too: it is never made for one.
    if (isPostgresUri(options.database) && options.adminTokenFile.empty()) {
        complain(
            "a PostgreSQL database needs --admin-token-file (the same file for every "
            "instance)");
        return kExitUsage;
    }
    StoreOptions storeOptions;
    storeOptions.busyWait = kServingBusyWait;
    storeOptions.poolSize = options.databasePool;
    auto store = openStore(options.database, error, storeOptions);
    if (!store) {
        complain("cannot open database " + databaseForLog(options.database) + ": " + error);
        return kExitFailure;
    }
    ServiceSettings settings{
        !options.quiet,      std::chrono::milliseconds(options.reportDelayMs),
        options.stateStatus, options.unmatchedStatus,
        std::nullopt,        std::chrono::seconds(options.linkLifetimeSeconds)};
    settings.memoryBudget = static_cast<std::size_t>(options.memoryBudgetMiB) * 1024 * 1024;
    settings.publicUrl = options.publicUrl;
    for (const std::string& network : options.trustedProxies) {
        settings.trustedProxies.push_back(*parseNetwork(network));  // checked when parsed
    }
    settings.matchWindow = std::chrono::seconds(options.matchWindowSeconds);
    settings.clickRetention = std::chrono::seconds(options.clickRetentionSeconds);
    if (!options.linkSigningKey.empty()) {
        settings.linkSigner = links::LinkSigner::fromFile(options.linkSigningKey);
        if (!settings.linkSigner) {
            complain("cannot read an Ed25519 private key (PEM) from " + options.linkSigningKey);
            return kExitFailure;
        }
    }
    std::string tokenPath;
    const auto token = operatorToken(options, tokenPath, error);
    if (!token) {
        complain(error);
        return kExitFailure;
    }
    settings.adminToken = *token;
    settings.allowedHosts = options.allowedHosts;
    // A database that keeps nothing keeps no token either.
    struct RemovedOnExit {
        std::string path;
        ~RemovedOnExit() {
            if (!path.empty()) std::remove(path.c_str());
        }
    } const throwAwayToken{options.adminTokenFile.empty() && options.database == ":memory:"
                               ? tokenPath
                               : std::string()};
    if (options.adminTokenFile.empty()) complain("operator token in " + tokenPath);
    Service service(*store, std::move(settings));
    std::string bindError;
    const int port = service.bind(options.host, options.port, bindError);
    if (port < 0) {
        complain("cannot listen on " + options.host + " port " + std::to_string(options.port) +
                 ": " + bindError);
        return kExitFailure;
    }
    if (!options.portFile.empty() && !writePortFile(options.portFile, port)) {
        complain("cannot write port file " + options.portFile);
        return kExitFailure;
    }
    if (!isLoopback(options.host)) {
        complain("warning: listening beyond loopback; serve it through a TLS reverse proxy");
    }
    std::printf("listening on http://%s:%d\n", urlHost(options.host).c_str(), port);
    std::fflush(stdout);

    std::thread signalWaiter([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        service.stop();
    });
    const bool served = service.run();
    // When serving ended on its own, wake the waiter with a signal meant for it alone.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    if (!options.portFile.empty()) std::remove(options.portFile.c_str());
    if (!served) {
        complain("serving failed");
        return kExitFailure;
    }
    return 0;
}

int registerLink(const RegisterOptions& options) {
    if (!isValidAppKey(options.appKey)) {
        complain("--app-key must be 1 to 128 letters, digits, '-' or '_'");
        return kExitUsage;
    }
    if (!options.traceId.empty() && !isValidTraceId(options.traceId)) {
        complain("--trace-id must be 12 to 64 letters and digits");
        return kExitUsage;
    }
    const LinkLanding landing{options.iosUrl, options.androidUrl,  options.defaultUrl,
                              options.title,  options.description, options.imageUrl};
    if (const auto landingError = checkLanding(landing)) {
        complain(*landingError);
        return kExitUsage;
    }
    const bool hasLanding = !options.iosUrl.empty() || !options.androidUrl.empty() ||
                            !options.defaultUrl.empty() || !options.title.empty() ||
                            !options.description.empty() || !options.imageUrl.empty();
    const LinkLanding* page = hasLanding ? &landing : nullptr;
    std::string error;
    auto store = openStore(options.database, error);
    if (!store) {
        complain("cannot open database " + databaseForLog(options.database) + ": " + error);
        return kExitFailure;
    }
    std::optional<std::string> traceId;
    if (options.traceId.empty()) {
        traceId = registerNewLink(*store, options.appKey, options.params, options.channel, page);
    } else {
        const auto outcome =
            store->addLink(options.appKey, options.traceId, options.params, options.channel, page);
        if (outcome == RegisterOutcome::TraceIdTaken) {
            complain("trace id " + options.traceId + " is already registered for this app key");
            return kExitFailure;
        }
        if (outcome == RegisterOutcome::Registered) traceId = options.traceId;
    }
    if (!traceId) {
        complain("cannot store the link: " + store->lastError());
        return kExitFailure;
    }
    std::printf("%s\n", traceId->c_str());
    if (!options.publicUrl.empty()) {
        std::printf("%s/l/%s/%s\n", options.publicUrl.c_str(), options.appKey.c_str(),
                    traceId->c_str());
    }
    return 0;
}

int runMain(const std::vector<std::string>& args) {
    const CommandLine commandLine = parseCommandLine(args);
    switch (commandLine.mode) {
        case CommandLine::Mode::Help:
            std::fputs(usageText().c_str(), stdout);
            return 0;
        case CommandLine::Mode::Invalid:
            complain(commandLine.error + " (try --help)");
            return kExitUsage;
        case CommandLine::Mode::Register:
            return registerLink(commandLine.registration);
        case CommandLine::Mode::Serve:
            break;
    }
    return serve(commandLine.serve);
}

}  // namespace
}  // namespace plovendale::attribution_service

int main(int argc, char** argv) {
    try {
        return plovendale::attribution_service::runMain(
            std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        plovendale::attribution_service::complain(std::string("fatal: ") + e.what());
    } catch (...) {
        plovendale::attribution_service::complain("fatal: unknown exception");
    }
    return 1;
}
