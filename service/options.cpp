#include "options.h"

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "client_address.h"
#include "landing.h"
#include "plovendale/sdk/plovendale.h"

namespace plovendale::attribution_service {
namespace {

constexpr int kMaxReportDelayMs = 600000;
constexpr int kMaxLinkLifetimeSeconds = 315360000;  // ten years
constexpr int kMaxMemoryBudgetMiB = 65536;
constexpr int kMaxDatabasePool = 1000;
constexpr int kMaxMatchWindowSeconds = 604800;       // seven days
constexpr int kMaxClickRetentionSeconds = 31536000;  // a year

std::optional<int> parseInt(const std::string& text, int min, int max) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

/// Walks the arguments, splitting "--name=value" and fetching the value of "--name value".
class ArgReader {
  public:
    explicit ArgReader(const std::vector<std::string>& args) : args_(args) {}

    bool next() {
        if (index_ >= args_.size()) return false;
        const std::string& arg = args_[index_++];
        const auto equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name_ = arg.substr(0, equals);
            inlineValue_ = arg.substr(equals + 1);
        } else {
            name_ = arg;
            inlineValue_.reset();
        }
        return true;
    }
    const std::string& name() const { return name_; }
    bool hasInlineValue() const { return inlineValue_.has_value(); }
    /// The option's value, or nothing when the command line ends first.
    std::optional<std::string> value() {
        if (inlineValue_) return inlineValue_;
        if (index_ >= args_.size()) return std::nullopt;
        return args_[index_++];
    }

  private:
    const std::vector<std::string>& args_;
    std::size_t index_ = 0;
    std::string name_;
    std::optional<std::string> inlineValue_;
};

CommandLine invalid(std::string error) {
    CommandLine result;
    result.mode = CommandLine::Mode::Invalid;
    result.error = std::move(error);
    return result;
}

bool isHelp(const std::string& name) {
    return name == "--help" || name == "-h";
}

CommandLine parseServe(ArgReader& reader) {
    CommandLine result;
    ServeOptions& options = result.serve;
    while (reader.next()) {
        const std::string name = reader.name();
        if (isHelp(name)) return CommandLine{CommandLine::Mode::Help, {}, {}, {}};
        if (name == "--quiet") {
            if (reader.hasInlineValue()) return invalid("--quiet takes no value");
            options.quiet = true;
            continue;
        }
        if (name != "--host" && name != "--port" && name != "--db" && name != "--port-file" &&
            name != "--delay-ms" && name != "--state-status" && name != "--link-signing-key" &&
            name != "--link-lifetime" && name != "--unmatched-status" &&
            name != "--memory-budget" && name != "--admin-token-file" && name != "--allowed-host" &&
            name != "--public-url" && name != "--trusted-proxy" && name != "--match-window" &&
            name != "--click-retention" && name != "--db-pool") {
            return invalid("unknown option: " + name);
        }
        const auto value = reader.value();
        if (!value) return invalid(name + " needs a value");
        if (name == "--host") {
            if (value->empty()) return invalid("--host needs a value");
            options.host = *value;
        } else if (name == "--port") {
            const auto port = parseInt(*value, 0, 65535);
            if (!port) return invalid("--port must be a number from 0 to 65535");
            options.port = *port;
        } else if (name == "--db") {
            if (value->empty()) return invalid("--db needs a path");
            options.database = *value;
        } else if (name == "--port-file") {
            options.portFile = *value;
        } else if (name == "--state-status") {
            const auto status = parseInt(*value, 200, 599);
            if (!status) return invalid("--state-status must be an HTTP status from 200 to 599");
            options.stateStatus = *status;
        } else if (name == "--unmatched-status") {
            const auto status = parseInt(*value, 200, 999);
            if (!status) return invalid("--unmatched-status must be a number from 200 to 999");
            options.unmatchedStatus = *status;
        } else if (name == "--link-signing-key") {
            if (value->empty()) return invalid("--link-signing-key needs a path");
            options.linkSigningKey = *value;
        } else if (name == "--public-url") {
            options.publicUrl = normalPublicUrl(*value);
            if (options.publicUrl.empty())
                return invalid(
                    "--public-url must be an http or https URL without query or fragment");
        } else if (name == "--trusted-proxy") {
            if (!parseNetwork(*value))
                return invalid("--trusted-proxy must be an IPv4 or IPv6 address or CIDR network");
            options.trustedProxies.push_back(*value);
        } else if (name == "--match-window") {
            const auto seconds = parseInt(*value, 0, kMaxMatchWindowSeconds);
            if (!seconds) return invalid("--match-window must be a number from 0 to 604800");
            options.matchWindowSeconds = *seconds;
        } else if (name == "--click-retention") {
            const auto seconds = parseInt(*value, 1, kMaxClickRetentionSeconds);
            if (!seconds) return invalid("--click-retention must be a number from 1 to 31536000");
            options.clickRetentionSeconds = *seconds;
        } else if (name == "--link-lifetime") {
            const auto seconds = parseInt(*value, 1, kMaxLinkLifetimeSeconds);
            if (!seconds) return invalid("--link-lifetime must be a number from 1 to 315360000");
            options.linkLifetimeSeconds = *seconds;
        } else if (name == "--admin-token-file") {
            if (value->empty()) return invalid("--admin-token-file needs a path");
            options.adminTokenFile = *value;
        } else if (name == "--allowed-host") {
            if (value->empty()) return invalid("--allowed-host needs a name");
            options.allowedHosts.push_back(*value);
        } else if (name == "--db-pool") {
            const auto connections = parseInt(*value, 1, kMaxDatabasePool);
            if (!connections) return invalid("--db-pool must be a number from 1 to 1000");
            options.databasePool = *connections;
        } else if (name == "--memory-budget") {
            const auto mebibytes = parseInt(*value, 1, kMaxMemoryBudgetMiB);
            if (!mebibytes) return invalid("--memory-budget must be a number from 1 to 65536");
            options.memoryBudgetMiB = *mebibytes;
        } else {
            const auto delay = parseInt(*value, 0, kMaxReportDelayMs);
            if (!delay) return invalid("--delay-ms must be a number from 0 to 600000");
            options.reportDelayMs = *delay;
        }
    }
    return result;
}

CommandLine parseRegister(ArgReader& reader) {
    CommandLine result;
    result.mode = CommandLine::Mode::Register;
    RegisterOptions& options = result.registration;
    bool haveKey = false;
    while (reader.next()) {
        const std::string name = reader.name();
        if (isHelp(name)) return CommandLine{CommandLine::Mode::Help, {}, {}, {}};
        std::string* target = name == "--db"            ? &options.database
                              : name == "--app-key"     ? &options.appKey
                              : name == "--params"      ? &options.params
                              : name == "--channel"     ? &options.channel
                              : name == "--trace-id"    ? &options.traceId
                              : name == "--public-url"  ? &options.publicUrl
                              : name == "--ios-url"     ? &options.iosUrl
                              : name == "--android-url" ? &options.androidUrl
                              : name == "--default-url" ? &options.defaultUrl
                              : name == "--title"       ? &options.title
                              : name == "--description" ? &options.description
                              : name == "--image-url"   ? &options.imageUrl
                                                        : nullptr;
        if (!target) return invalid("unknown option for register: " + name);
        const auto value = reader.value();
        if (!value) return invalid(name + " needs a value");
        *target = *value;
        haveKey = haveKey || name == "--app-key";
    }
    if (!haveKey) return invalid("register needs --app-key");
    if (options.database.empty()) return invalid("--db needs a path");
    if (!options.publicUrl.empty()) {
        options.publicUrl = normalPublicUrl(options.publicUrl);
        if (options.publicUrl.empty())
            return invalid("--public-url must be an http or https URL without query or fragment");
    }
    return result;
}

}  // namespace

std::string normalPublicUrl(const std::string& url) {
    std::string base = url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (!isWebUrl(base) || base.find_first_of("?#") != std::string::npos) return "";
    return base;
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    if (args.size() == 1 && args.front() == "--version") {
        // The service speaks the protocol of the library it is built with: that version.
        std::cout << "attribution-service " << Plovendale::sdkVersion() << std::endl;
        std::exit(0);
    }
    ArgReader reader(args);
    if (!args.empty() && args.front() == "register") {
        reader.next();
        return parseRegister(reader);
    }
    return parseServe(reader);
}

std::string usageText() {
    return R"(Usage:
  attribution-service [--host ADDR] [--port N] [--db PATH|URI] [--db-pool N] [--port-file FILE]
                      [--quiet]
                      [--public-url URL] [--trusted-proxy CIDR]... [--match-window SECONDS]
                      [--click-retention SECONDS] [--delay-ms N] [--state-status N]
                      [--link-signing-key PEM] [--link-lifetime N] [--unmatched-status N]
                      [--memory-budget MIB] [--admin-token-file FILE] [--allowed-host NAME]...
  attribution-service register [--db PATH|URI] --app-key KEY [--params TEXT] [--channel TEXT]
                      [--trace-id ID] [--ios-url URL] [--android-url URL] [--default-url URL]
                      [--title TEXT] [--description TEXT] [--image-url URL] [--public-url URL]
  attribution-service --help
  attribution-service --version

Serves the install-trace, state-report and event endpoints of the Plovendale client for any app
key, storing links, reports, install requests and events in a SQLite or PostgreSQL database,
and the landing page of each link at /l/KEY/TRACE_ID (it records the click, copies the
pasteboard anchor and sends the visitor to the link's destination). A live console is at
/console.

Options:
  --host ADDR       address to listen on (default 127.0.0.1; beyond loopback, put it behind a
                    TLS reverse proxy)
  --port N          port to listen on; 0 (the default) lets the system pick a free one
  --db PATH         SQLite database file, created if missing (default attribution-service.db;
                    ":memory:" keeps nothing)
  --db URI          a PostgreSQL database, as a libpq connection URI (postgresql://USER@HOST:PORT/
                    NAME, postgres://...); its tables are created or migrated on start. Any number
                    of services may share it; each needs --admin-token-file, the same for all.
                    While the database cannot be reached, requests are answered 503.
  --db-pool N       PostgreSQL: connections to keep open at most (1 to 1000, default 8)
  --port-file FILE  once listening, write the port number to FILE
  --quiet           no log line per request
  --public-url URL  the base of the landing URLs it hands out (http or https, no query or
                    fragment; default http://HOST:PORT as it listens)
  --trusted-proxy CIDR
                    a reverse proxy (address or network, IPv4 or IPv6; repeatable) whose
                    X-Forwarded-For is believed: the client is the right-most address in it that
                    is not a trusted proxy. Without one the socket's peer is the client.
  --match-window SECONDS
                    credit an install no trace identifier accounts for to a click from the same
                    address within SECONDS whose device clearly matches (0 to 604800; default 0:
                    off). See the README on why it is off by default.
  --click-retention SECONDS
                    delete clicks older than this (1 to 31536000; default 604800, 7 days)
  --delay-ms N      wait N milliseconds before answering each install-trace query (for testing
                    client timeouts; 0 to 600000)
  --state-status N  answer every state report with HTTP status N (200 to 599) and, unless it is
                    a 2xx, do not record it (for testing clients that keep undelivered reports)
  --link-signing-key PEM
                    sign the wake-up links it makes (the "link" of a registration) with this
                    Ed25519 private key (a PEM file)
  --link-lifetime N the wake-up links it makes carry an expiry "e" N seconds after they are made
                    (1 to 315360000; signed with the link when it has a signing key)
  --unmatched-status N
                    answer installs no link accounts for with "status" N and an "error" (the
                    client asks again later) instead of the final organic answer (status 200
                    without "data"); for testing clients that wait for attribution
  --admin-token-file FILE
                    the operator token (its first line), which every request but the client
                    endpoints and the console page must send as "Authorization: Bearer TOKEN";
                    without it, DB.admin-token is made on first start (mode 0600) and used
  --allowed-host NAME
                    answer requests for this Host name (with any port); repeatable; default: the
                    listening address, localhost and 127.0.0.1; others are answered 421
  --memory-budget MIB
                    what all connections may buffer together, headers and bodies not yet
                    handled (1 to 65536, default 256); past it, new bodies are answered 503

register adds a link to the database without a running service and prints its trace identifier
(and, with --public-url, its landing URL on a second line). KEY is letters, digits, '-' and '_';
ID (when given) is 12 to 64 letters and digits. --ios-url, --android-url and --default-url are
where the landing page sends iPhone/iPad, Android and other visitors (http or https; a platform
without its own goes to --default-url); --title, --description and --image-url make the link's
preview in chats and social apps.

A tappable link, from start to an attributed first launch:
  attribution-service --db demo.db --port 8787 &
  attribution-service register --db demo.db --app-key demo-app --params room=42 --channel web \
      --default-url https://example.com/ --public-url http://127.0.0.1:8787
  (open the printed landing URL in a browser and press "Open the app": the page copies the
  pasteboard anchor; the app's first launch reads it and is attributed to the link)
The same over HTTP: POST /api/links/KEY {"params","channel","destinations","preview"}, whose
answer carries "landing_url". See service/README.md.

Once ready, the service prints "listening on http://HOST:PORT" and stops cleanly on SIGTERM or
SIGINT.
)";
}

}  // namespace plovendale::attribution_service
