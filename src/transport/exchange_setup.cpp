// What an exchange hands libcurl besides its own state: the URL as read, the header lines, the
// list of hosts reached without a proxy, the size of the body.

#include "transport/exchange_setup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "transport/curl_text.h"
#include "transport/recent_values.h"

namespace plovendale::curl {

std::string filePathOf(const std::string& text) {
    constexpr std::string_view kScheme = "file://";
    if (text.compare(0, kScheme.size(), kScheme) != 0) return text;
    std::string_view rest = std::string_view(text).substr(kScheme.size());
    if (rest.compare(0, 9, "localhost") == 0) rest.remove_prefix(9);
    return percentDecodeLenient(rest);
}

std::optional<std::int64_t> fileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::int64_t>(info.st_size);
}

// Whether `method` is the method `name` (a literal): its length is compared first, and the bytes
// in place, where the comparison with a C string would measure the literal and call memcmp.
bool isMethod(const std::string& method, std::string_view name) {
    return method.size() == name.size() &&
           std::memcmp(method.data(), name.data(), name.size()) == 0;
}

static bool methodAlwaysHasBody(const std::string& method) {
    return isMethod(method, "POST") || isMethod(method, "PUT") || isMethod(method, "PATCH");
}

// What the environment says about proxies, found in one walk over it, since every transfer asks.
struct ProxyEnvironment {
    const char* noProxy = nullptr;  ///< non-empty no_proxy, else non-empty NO_PROXY, as libcurl
    bool namesProxy = false;        ///< a variable libcurl takes a proxy from is set
};

// Whether text starts with the lower-case `prefix` in any case. Most entries differ at once.
static bool startsIgnoringCase(const char* text, std::string_view prefix) {
    for (const char c : prefix) {
        const bool letter = c >= 'a' && c <= 'z';
        if (*text == '\0' || (letter ? *text | 0x20 : *text) != c) return false;
        ++text;
    }
    return true;
}

// Whether text starts with `prefix`, in this case. Most entries differ at once.
static bool startsWith(const char* text, std::string_view prefix) {
    for (const char c : prefix) {
        if (*text != c) return false;  // the terminator differs too
        ++text;
    }
    return true;
}

// libcurl takes the proxy of an http(s) transfer from http_proxy, https_proxy, HTTPS_PROXY,
// all_proxy or ALL_PROXY; any spelling of those counts, which can only err towards the list.
static ProxyEnvironment proxyEnvironment() {
    const char* lower = nullptr;
    const char* upper = nullptr;
    bool proxy = false;
    constexpr std::size_t kNameLength = 9;  // "no_proxy="
    // Most entries are passed over on their first letter, looked up in a table.
    static constexpr auto kWatched = [] {
        std::array<bool, 256> watched{};
        for (const char c : std::string_view("nNhHaA"))
            watched[static_cast<unsigned char>(c)] = true;
        return watched;
    }();
    char** entry = environ;
    if (!entry) return {};
    for (const char* text = *entry; text; text = *++entry) {
        if (!kWatched[static_cast<unsigned char>(text[0])]) continue;
        switch (text[0]) {
            case 'n':
                if (!lower && startsWith(text + 1, "o_proxy=")) lower = text + kNameLength;
                break;
            case 'N':
                if (!upper && startsWith(text + 1, "O_PROXY=")) upper = text + kNameLength;
                break;
            case 'h':
            case 'H':
                // http_proxy or https_proxy: the common prefix is read once.
                if (!proxy && startsIgnoringCase(text + 1, "ttp")) {
                    const char* rest = text + 4;
                    if ((*rest | 0x20) == 's') ++rest;
                    proxy = startsIgnoringCase(rest, "_proxy=");
                }
                break;
            case 'a':
            case 'A':
                proxy = proxy || startsIgnoringCase(text + 1, "ll_proxy=");
                break;
            default:
                break;
        }
    }
    if (lower && *lower) return {lower, proxy};
    return {upper && *upper ? upper : nullptr, proxy};
}

// What libcurl is to reach without a proxy: the environment's list plus loopback. A proxy named by
// the environment is meant for the network, and must not see (or break) traffic that never leaves
// this machine; NO_PROXY would replace libcurl's own list, so loopback is added to it rather than
// dropped when the variable is set.
const char* noProxyList(std::string& built) {
    const ProxyEnvironment environment = proxyEnvironment();
    // No proxy named: every host goes direct whatever a list says. "*" tells libcurl so at once; a
    // list has it read an address host as an address against each entry, on every transfer.
    if (!environment.namesProxy) return "*";
    // libcurl reads every entry before a match as an address, for a transfer to an address: the
    // usual loopback address goes first.
    static constexpr const char* kLoopback = "127.0.0.1,localhost,127.0.0.0/8,::1";
    const char* listed = environment.noProxy;
    if (!listed) return kLoopback;
    if (std::string_view(trimmed(listed)) == "*") return "*";  // libcurl knows "*" only alone
    built = std::string(listed) + "," + kLoopback;
    return built.c_str();
}

std::optional<std::int64_t> bodySizeOf(const URLRequest& request,
                                       const std::optional<std::string>& uploadFile) {
    if (isMethod(request.httpMethod, "HEAD")) return std::nullopt;
    if (uploadFile) return fileSize(filePathOf(*uploadFile)).value_or(0);
    if (request.httpBody) return static_cast<std::int64_t>(request.httpBody->size());
    if (methodAlwaysHasBody(request.httpMethod)) return 0;
    return std::nullopt;
}

// An application's requests go to a handful of URLs: those read lately on this thread are kept
// with their reading, which the exchanges share.
URLCheck readHTTPURL(const std::string& url, std::shared_ptr<const ReadURL>& read) {
    using Read = std::shared_ptr<const ReadURL>;
    thread_local RecentValues<Read> recent;
    if (const Read* known =
            recent.find([&url](const Read& entry) { return entry->given == url; })) {
        read = *known;
        return URLCheck::Ok;
    }
    ParsedURL target;
    std::string text;
    const URLCheck check = parseHTTPURL(url, target, &text);
    if (check != URLCheck::Ok) return check;
    std::string origin = target.scheme + "://" + target.host + ":" + target.port;
    read = recent.remember(
        std::make_shared<const ReadURL>(ReadURL{url, std::move(text), std::move(origin)}));
    return check;
}

static bool isLengthField(std::string_view name) {
    return equalsIgnoringASCIICase(name, "Content-Length");  // libcurl writes the true length
}

// Whether fields make the lines that `made` was made from (their lengths aside).
static bool makeSameLines(const std::vector<std::pair<std::string, std::string>>& fields,
                          const HeaderLines& made) {
    auto kept = made.fields.begin();
    for (const auto& field : fields) {
        if (isLengthField(field.first)) continue;
        if (kept == made.fields.end() || *kept != field) return false;
        ++kept;
    }
    return kept == made.fields.end();
}

// An application's requests mostly carry one of a few sets of fields (its service's content type,
// say): the lines made lately on this thread are shared by the exchanges whose fields make the
// same ones, rather than built and freed for each. Null when libcurl is out of memory.
// libcurl asks for a 100-continue round trip only before a large body (over 1 MiB) whose size it
// knows, and before one of unknown size: of the bodies sent here, only one read out piece by piece
// can be large, so only that one needs the empty Expect line, which libcurl otherwise matches
// against on every transfer for nothing.
std::shared_ptr<const HeaderLines> headerLinesFor(const HTTPHeaderFields& fields,
                                                  bool bodyReadOut) {
    using Lines = std::shared_ptr<const HeaderLines>;
    thread_local RecentValues<Lines> recent;
    if (const Lines* known = recent.find([&](const Lines& lines) {
            return lines->refusesContinue == bodyReadOut && makeSameLines(fields.entries(), *lines);
        })) {
        return *known;
    }
    auto made = std::make_shared<HeaderLines>();
    made->refusesContinue = bodyReadOut;
    bool hasContentType = false;
    for (const auto& field : fields.entries()) {
        const auto& [name, value] = field;
        if (isLengthField(name)) continue;
        made->fields.push_back(field);
        if (equalsIgnoringASCIICase(name, "Accept-Encoding")) {
            made->acceptEncoding = value;
            continue;
        }
        hasContentType = hasContentType || equalsIgnoringASCIICase(name, "Content-Type");
        if (!append(made->lines, value.empty() ? name + ";" : name + ": " + value)) return nullptr;
    }
    // No 100-continue round trip, and no content type the caller did not ask for.
    if ((bodyReadOut && !append(made->lines, "Expect:")) ||
        (!hasContentType && !append(made->lines, "Content-Type:"))) {
        return nullptr;
    }
    return recent.remember(std::move(made));
}

}  // namespace plovendale::curl
