// plovendale: the command-line companion for integrators. Output on stdout is one line of JSON
// per run and is a contract scripts rely on; diagnostics and the library's log go to stderr.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/wake_up_link.h"
#include "host.h"
#include "makers.h"
#include "options.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/app_key.h"
#include "plovendale/sdk/plovendale.h"

namespace plovendale::cli {
namespace {

constexpr int kExitUsage = 2;

void printLine(const nlohmann::ordered_json& value) {
    std::cout << value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << '\n'
              << std::flush;
}

nlohmann::ordered_json optionalText(const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json appDataJSON(const AppData& data) {
    return {{"paramsData", optionalText(data.paramsData)}, {"channel", optionalText(data.channel)}};
}

int usageError(const std::string& command, const std::string& message) {
    std::cerr << "plovendale " << command << ": " << message << "\nTry 'plovendale " << command
              << " --help'.\n";
    return kExitUsage;
}

/// With --events, every event of the library as one compact JSON line on stderr.
void printEventsIfAsked(const ParsedArguments& args) {
    if (!args.has("events")) return;
    Plovendale::setEventObserver([](const PlovendaleEvent& event) {
        nlohmann::ordered_json line = {{"event", event.name}};
        for (const auto& [name, value] : event.values) line[name] = value;
        std::cerr << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << '\n'
                  << std::flush;
    });
}

std::optional<std::string> readTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The library's own rule (it refuses to start with any other key): a link made for such a key
// would never be taken.
const std::string kAppKeyRule = std::string("--app-key may hold only ") + APP_KEY_RULE;

const char* const kHostHelp =
    "  --app-key KEY           the application key (default: com.plovendale.APP_KEY of the "
    "bundle)\n"
    "  --data-dir DIR          where the library keeps its state between runs\n"
    "  --bundle DIR            the application bundle (Info.plist, _CodeSignature/.pvignore)\n"
    "  --pasteboard-html TEXT  put TEXT on the pasteboard as one public.html item first\n"
    "  --device-model ID       hardware model, e.g. iPhone12,1\n"
    "  --screen WxH@SCALE      main screen in points and its scale, e.g. 414x896@2\n"
    "  --native-scale N        the screen's native scale\n"
    "  --os-version X.Y.Z      the system version\n"
    "  --quiet                 drop the library's log lines (stderr then carries only events)\n";

int runTrace(const ParsedArguments& args) {
    std::string error;
    double timeoutMs = REQUEST_TIMEOUT;
    if (auto text = args.get("timeout-ms")) {
        char* end = nullptr;
        timeoutMs = std::strtod(text->c_str(), &end);
        if (text->empty() || *end != '\0')
            return usageError("trace", "--timeout-ms expects a number");
    }
    if (!configureHost(args, &error)) return usageError("trace", error);
    printEventsIfAsked(args);
    startLibrary(args);
    if (auto server = args.get("server")) Plovendale::setServerDomain(*server);

    // The tool ends by the query's own timeout (as the library applies it) and a moment more:
    // a report that has not gone out by then waits in the outbox for the next launch.
    const double queryMs = std::isnan(timeoutMs) || timeoutMs <= 0
                               ? REQUEST_TIMEOUT
                               : std::max(MIN_REQUEST_TIMEOUT, timeoutMs);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(queryMs) + 500);
    const auto left = [deadline] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
    };
    std::optional<nlohmann::ordered_json> outcome;
    Plovendale::getInstallTraceWithTimeout(
        timeoutMs,
        [&outcome](const std::optional<AppData>& data) {
            outcome = nlohmann::ordered_json{
                {"outcome", "success"},
                {"appData", data ? appDataJSON(*data) : nlohmann::ordered_json(nullptr)}};
            printLine(*outcome);
        },
        [&outcome](std::int64_t code, const std::optional<std::string>& message) {
            // -10001 on an installation answered organic is that answer again, not a failure.
            const bool organic = code == -10001 && Plovendale::installTraceState().kind ==
                                                       InstallTraceState::Kind::Organic;
            outcome = nlohmann::ordered_json{{"outcome", organic ? "organic" : "fail"},
                                             {"code", code},
                                             {"message", optionalText(message)}};
            printLine(*outcome);
        });
    MainQueue::shared().runUntil([&outcome] { return outcome.has_value(); }, left());
    // The state report, and the reports queued earlier, go out in what is left of the time.
    MainQueue::shared().runUntil([] { return !Plovendale::isDeliveringReports(); }, left());
    MainQueue::shared().drain();  // the last events
    if (!outcome) {
        std::cerr << "plovendale trace: no outcome arrived\n";
        return 1;
    }
    return (*outcome)["outcome"] == "fail" ? 1 : 0;
}

int runEvent(const ParsedArguments& args) {
    if (args.positional.size() != 1) return usageError("event", "expects one event NAME");
    double timeoutMs = REQUEST_TIMEOUT;
    if (auto text = args.get("timeout-ms")) {
        char* end = nullptr;
        timeoutMs = std::strtod(text->c_str(), &end);
        if (text->empty() || *end != '\0' || !(timeoutMs >= 0))
            return usageError("event", "--timeout-ms expects a number of milliseconds");
    }
    std::map<std::string, std::string> params;
    if (auto it = args.lists.find("param"); it != args.lists.end()) {
        for (const auto& pair : it->second) {
            const auto eq = pair.find('=');
            if (eq == std::string::npos) return usageError("event", "--param expects KEY=VALUE");
            params[pair.substr(0, eq)] = pair.substr(eq + 1);
        }
    }
    std::optional<Revenue> revenue;
    if (auto text = args.get("revenue")) {
        const auto space = text->find(' ');
        revenue = Revenue{text->substr(0, space), text->substr(space + 1)};
    }
    std::string error;
    if (!configureHost(args, &error)) return usageError("event", error);
    printEventsIfAsked(args);
    startLibrary(args);
    if (auto server = args.get("server")) Plovendale::setServerDomain(*server);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeoutMs));
    // The library logs why it refused the event.
    if (!Plovendale::trackEvent(args.positional[0], params, revenue, args.get("id"))) return 1;
    printLine({{"queued", Plovendale::queuedEventCount()}});
    // This run's event goes now with those of earlier runs (no query of this run holds them).
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    Plovendale::flush(static_cast<double>(std::max<long long>(left.count(), 0)));
    MainQueue::shared().drain();  // the last events
    // Whatever the flush's time left unwritten is stored before the process ends.
    if (!Plovendale::shutdown(std::chrono::milliseconds(0)) && Plovendale::queuedEventCount() > 0) {
        std::cerr << "plovendale event: the event could not be written in time\n";
        return 1;
    }
    return 0;
}

struct LinkDelegate : PlovendaleDelegate {
    std::optional<AppData> received;
    void getWakeUpTrace(const AppData& appData) override { received = appData; }
};

int runLink(const ParsedArguments& args) {
    if (args.positional.size() != 1) return usageError("link", "expects one URL");
    std::string error;
    if (!configureHost(args, &error)) return usageError("link", error);
    auto delegate = std::make_shared<LinkDelegate>();
    printEventsIfAsked(args);
    startLibrary(args, delegate);
    if (auto keyFile = args.get("verify-key")) {
        const auto pem = readTextFile(*keyFile);
        if (!pem || pem->empty() || !Plovendale::setLinkVerificationKey(*pem)) {
            return usageError("link", "cannot read an Ed25519 public key (PEM) from " + *keyFile);
        }
    }
    const std::string& url = args.positional[0];
    const bool handled =
        args.has("universal")
            ? Plovendale::handleUniversalLink(UserActivity{NSUserActivityTypeBrowsingWeb, url})
            : Plovendale::handleSchemeLinkURL(url);
    nlohmann::ordered_json result = {{"handled", handled}};
    if (handled)
        result["appData"] = delegate->received ? appDataJSON(*delegate->received) : nullptr;
    MainQueue::shared().drain();  // the events
    printLine(result);
    return handled ? 0 : 1;
}

int runParams(const ParsedArguments& args) {
    std::string error;
    if (!configureHost(args, &error)) return usageError("params", error);
    startLibrary(args);
    nlohmann::ordered_json result = nlohmann::ordered_json::object();
    for (const auto& [key, value] : Plovendale::installParameters()) result[key] = value;
    printLine(result);
    return 0;
}

int runMakeLink(const ParsedArguments& args) {
    for (const char* name : {"app-key", "params", "channel"}) {
        if (!args.get(name))
            return usageError("make-link", std::string("--") + name + " is required");
    }
    if (!isValidAppKey(*args.get("app-key"))) return usageError("make-link", kAppKeyRule);
    std::optional<links::LinkSigner> signer;
    if (auto keyFile = args.get("sign-key")) {
        signer = links::LinkSigner::fromFile(*keyFile);
        if (!signer)
            return usageError("make-link",
                              "cannot read an Ed25519 private key (PEM) from " + *keyFile);
    }
    std::optional<long long> expires;
    if (auto text = args.get("expires")) {
        long long seconds = 0;
        const char* end = text->data() + text->size();
        const auto [stop, error] = std::from_chars(text->data(), end, seconds);
        if (error != std::errc() || stop != end || seconds < 0)
            return usageError("make-link", "--expires takes seconds since 1970");
        expires = seconds;
    }
    std::cout << links::makeWakeUpLink(*args.get("app-key"), *args.get("params"),
                                       *args.get("channel"), args.get("base"),
                                       signer ? &*signer : nullptr, expires)
              << '\n';
    return 0;
}

// The commands below read or change what is stored without starting the library: a start would
// capture the pasteboard and send queued reports. They work on a data directory that exists: a
// mistyped one would otherwise be made anew and its empty store reported as the truth.
bool configureStored(const std::string& command, const ParsedArguments& args, int* exitCode) {
    const auto dir = args.get("data-dir");
    std::string error;
    if (!dir) {
        error = "--data-dir is required";
    } else if (std::error_code code; !std::filesystem::is_directory(*dir, code)) {
        error = "--data-dir " + *dir + " is not a directory";
    } else if (configureHost(args, &error)) {
        return true;
    }
    *exitCode = usageError(command, error);
    return false;
}

int runOutbox(const ParsedArguments& args) {
    if (int exitCode = 0; !configureStored("outbox", args, &exitCode)) return exitCode;
    printLine({{"queued", Plovendale::queuedReportCount()}});
    return 0;
}

int runState(const ParsedArguments& args) {
    if (int exitCode = 0; !configureStored("state", args, &exitCode)) return exitCode;
    const InstallTraceState state = Plovendale::installTraceState();
    nlohmann::ordered_json result = {{"state", InstallTraceState::nameOf(state.kind)}};
    if (state.kind == InstallTraceState::Kind::Attributed && state.appData)
        result["appData"] = appDataJSON(*state.appData);
    if (state.kind == InstallTraceState::Kind::Failed) {
        result["code"] = state.code;
        result["message"] = optionalText(state.message);
    }
    printLine(result);
    return 0;
}

int runConsent(const ParsedArguments& args) {
    if (args.positional.size() != 1 ||
        (args.positional[0] != "on" && args.positional[0] != "off")) {
        return usageError("consent", "expects on or off");
    }
    if (int exitCode = 0; !configureStored("consent", args, &exitCode)) return exitCode;
    const bool stored = Plovendale::setTrackingDisabled(args.positional[0] == "off");
    printLine({{"trackingDisabled", Plovendale::isTrackingDisabled()}, {"stored", stored}});
    return stored ? 0 : 1;
}

int runForget(const ParsedArguments& args) {
    if (int exitCode = 0; !configureStored("forget", args, &exitCode)) return exitCode;
    const bool forgotten = Plovendale::forgetInstallation();
    printLine({{"forgotten", forgotten}});
    return forgotten ? 0 : 1;
}

int runMakeMarker(const ParsedArguments& args) {
    for (const char* name : {"app-key", "trace-id"}) {
        if (!args.get(name))
            return usageError("make-marker", std::string("--") + name + " is required");
    }
    std::string error;
    auto marker = makeMarker(*args.get("app-key"), *args.get("trace-id"), &error);
    if (!marker) return usageError("make-marker", error);
    std::cout << *marker << '\n';
    return 0;
}

struct Command {
    CommandSpec spec;
    std::string usage;
    std::function<int(const ParsedArguments&)> run;
};

std::set<std::string> withHostOptions(std::set<std::string> extra) {
    extra.insert(kHostOptions.begin(), kHostOptions.end());
    return extra;
}

std::set<std::string> withQuiet(std::set<std::string> flags) {
    flags.insert("quiet");
    return flags;
}

std::map<std::string, Command> commands() {
    return {
        {"trace",
         {{withHostOptions({"server", "timeout-ms", "ca-file"}), withQuiet({"help", "events"}), 0},
          std::string(
              "usage: plovendale trace [options]\n"
              "Starts the library as a host does and asks which link brought this installation.\n"
              "Prints {\"outcome\":\"success\",\"appData\":{...}} or "
              "{\"outcome\":\"fail\",\"code\":N,"
              "\"message\":...} (exit 1); a later launch of an installation answered organic\n"
              "prints {\"outcome\":\"organic\",\"code\":-10001,...} (exit 0).\n") +
              kHostHelp +
              "  --server URL            the service base URL (setServerDomain); without it the\n"
              "                          production service of the key is asked\n"
              "                          (https://clb-KEY.<base domain>, or the bundle's\n"
              "                          com.plovendale.SERVER_DOMAIN)\n"
              "  --timeout-ms MS         the query's timeout (default 10000)\n"
              "  --ca-file PEM           trust this extra CA for the service's certificate\n"
              "  --events                print each event of the library as a JSON line on stderr\n"
              "Reports that could not be delivered earlier are sent before it exits.\n",
          runTrace}},
        {"event",
         {{withHostOptions({"server", "timeout-ms", "id"}),
           {"help", "events"},
           1,
           {"param"},
           {"revenue"}},
          std::string("usage: plovendale event [options] NAME [--param KEY=VALUE]... "
                      "[--revenue AMOUNT CURRENCY] [--id ID]\n"
                      "Records the in-app event NAME, prints how many events now wait in the "
                      "store as\n"
                      "{\"queued\":N}, then delivers what may go within the timeout. Events of "
                      "this run go\n"
                      "once the installation has its install trace (run trace first); events of "
                      "earlier\n"
                      "runs go at once.\n") +
              kHostHelp +
              "  --server URL            the service base URL (setServerDomain)\n"
              "  --param KEY=VALUE       a parameter of the event (repeatable)\n"
              "  --revenue AMOUNT CUR    the money it stands for, e.g. --revenue 9.99 EUR\n"
              "  --id ID                 the event's id (default: a new UUID)\n"
              "  --timeout-ms MS         how long to deliver (default 10000)\n"
              "  --events                print each event of the library as a JSON line on "
              "stderr\n",
          runEvent}},
        {"link",
         {{withHostOptions({"verify-key"}), withQuiet({"help", "universal", "events"}), 1},
          std::string(
              "usage: plovendale link [options] [--universal] URL\n"
              "Hands URL to the library as a custom-scheme link (or, with --universal, as a\n"
              "universal link) and prints {\"handled\":true,\"appData\":{...}} or "
              "{\"handled\":false}.\n") +
              kHostHelp +
              "  --verify-key PEM        take only links signed by this Ed25519 public key (PEM "
              "file)\n"
              "  --events                print each event of the library as a JSON line on "
              "stderr\n",
          runLink}},
        {"params",
         {{kHostOptions, withQuiet({"help"}), 0},
          std::string("usage: plovendale params [options]\n"
                      "Starts the library and prints the install parameters it would send (without "
                      "\"ci\").\n") +
              kHostHelp,
          runParams}},
        {"make-link",
         {{{"app-key", "params", "channel", "base", "sign-key", "expires"}, {"help"}, 0},
          "usage: plovendale make-link --app-key KEY --params P --channel C [--base URL] "
          "[--sign-key PEM] [--expires SECONDS]\n"
          "Prints a wake-up link carrying P and C for KEY; with --sign-key (an Ed25519 private "
          "key\n"
          "in a PEM file) the link carries its signature \"s\" over KEY, \"d\" and \"e\"; "
          "with\n"
          "--expires (seconds since 1970) it carries that expiry \"e\".\n"
          "--base URL replaces the whole link before its query, https://clb-KEY.<base domain>/c\n"
          "(give the path too); ?d=... (or &d=... when URL has a query) follows it.\n",
          runMakeLink}},
        {"outbox",
         {{{"app-key", "data-dir", "bundle"}, withQuiet({"help"}), 0},
          "usage: plovendale outbox [--app-key KEY] --data-dir DIR [--quiet]\n"
          "DIR: an existing data directory (nothing is created).\n"
          "Prints how many state reports wait to be delivered: {\"queued\":N}.\n",
          runOutbox}},
        {"state",
         {{{"app-key", "data-dir", "bundle"}, withQuiet({"help"}), 0},
          "usage: plovendale state [--app-key KEY] --data-dir DIR [--quiet]\n"
          "DIR: an existing data directory (nothing is created).\n"
          "Prints where the installation stands: {\"state\":\"attributed\",\"appData\":{...}},\n"
          "{\"state\":\"organic\"}, {\"state\":\"failed\",\"code\":N,\"message\":...} or "
          "{\"state\":\"unknown\"}.\n",
          runState}},
        {"consent",
         {{{"data-dir", "bundle"}, withQuiet({"help"}), 1},
          "usage: plovendale consent --data-dir DIR [--quiet] on|off\n"
          "DIR: an existing data directory (nothing is created).\n"
          "Allows (on) or disables (off) tracking, kept across launches; prints\n"
          "{\"trackingDisabled\":B,\"stored\":B}.\n",
          runConsent}},
        {"forget",
         {{{"data-dir", "bundle"}, withQuiet({"help"}), 0},
          "usage: plovendale forget --data-dir DIR [--quiet]\n"
          "DIR: an existing data directory (nothing is created).\n"
          "Erases what the library stored about this installation; prints {\"forgotten\":B}.\n",
          runForget}},
        {"make-marker",
         {{{"app-key", "trace-id"}, {"help"}, 0},
          "usage: plovendale make-marker --app-key KEY --trace-id T\n"
          "Prints a pasteboard anchor carrying the trace identifier T for KEY: what a link's\n"
          "landing page copies for the app's first launch (the reference service's pages at\n"
          "/l/KEY/T do; make a link with 'attribution-service register' or POST /api/links/KEY).\n"
          "Hand it to 'plovendale trace --pasteboard-html' to play the first launch.\n",
          runMakeMarker}},
    };
}

const char* const kMainUsage =
    "usage: plovendale COMMAND [options]\n"
    "commands:\n"
    "  trace        ask which link brought this installation\n"
    "  event        record an in-app event and deliver waiting events\n"
    "  link         decode a wake-up link\n"
    "  params       print the install parameters\n"
    "  make-link    make a wake-up link\n"
    "  make-marker  make a pasteboard anchor\n"
    "  outbox       count the state reports waiting to be delivered\n"
    "  state        print where the installation stands\n"
    "  consent      allow or disable tracking\n"
    "  forget       erase what the library stored\n"
    "Run 'plovendale COMMAND --help' for a command's options, 'plovendale --version' for the\n"
    "library's version. The commands that read or change what is stored (outbox, state,\n"
    "consent, forget) need --data-dir naming a directory that exists; --quiet drops the\n"
    "library's log lines.\n"
    "A tappable link (a landing page that leaves the pasteboard anchor and leads to the store)\n"
    "comes from the reference service: 'attribution-service register --app-key KEY\n"
    "--default-url URL --public-url BASE' or POST /api/links/KEY; see README.md.\n";

}  // namespace
}  // namespace plovendale::cli

int main(int argc, char** argv) {
    using namespace plovendale::cli;
    if (argc < 2) {
        std::cerr << kMainUsage;
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::cout << kMainUsage;
        return 0;
    }
    if (name == "--version") {
        std::cout << "plovendale " << plovendale::Plovendale::sdkVersion() << '\n';
        return 0;
    }
    const auto all = commands();
    auto it = all.find(name);
    if (it == all.end()) {
        std::cerr << "plovendale: unknown command '" << name << "'\n" << kMainUsage;
        return kExitUsage;
    }
    std::string error;
    auto args =
        parseArguments(std::vector<std::string>(argv + 2, argv + argc), it->second.spec, &error);
    if (!args) return usageError(name, error);
    if (args->has("help")) {
        std::cout << it->second.usage;
        return 0;
    }
    return it->second.run(*args);
}
