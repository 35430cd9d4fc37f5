#include <atomic>
#include <cstring>
#include <mutex>

#include "host/ca_file.h"
#include "host/file_reading.h"
#include "plovendale/platform/log.h"
#include "transport/curl_handles.h"
#include "transport/recent_values.h"
#include "transport/url_session.h"
#include "util/text.h"

namespace plovendale::curl {
namespace {

constexpr unsigned kMinimumVersion = 0x075500;  // 7.85.0: CURLOPT_PROTOCOLS_STR

std::optional<std::string> checkRuntime() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return "curl_global_init failed";
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info) return "libcurl gives no version information";
    if (info->version_num < kMinimumVersion) {
        return std::string("libcurl ") + info->version + " is too old (7.85.0 or later is needed)";
    }
    if (!(info->features & CURL_VERSION_SSL) || !info->ssl_version ||
        !std::strstr(info->ssl_version, "OpenSSL")) {
        return "libcurl is built without OpenSSL";
    }
    bool http = false, https = false;
    for (const char* const* protocol = info->protocols; protocol && *protocol; ++protocol) {
        http = http || std::strcmp(*protocol, "http") == 0;
        https = https || std::strcmp(*protocol, "https") == 0;
    }
    if (!http || !https) return "libcurl speaks neither HTTP nor HTTPS";
    return std::nullopt;
}

struct TrustState {
    std::mutex mutex;
    std::shared_ptr<const std::string> blob;
    // Whether blob is set, for the transfers that ask without the lock: most processes never
    // configure an extra CA. Written under the mutex.
    std::atomic<bool> hasBlob{false};
};

TrustState& trust() {
    static TrustState state;
    return state;
}

// Far above any real bundle (the system's holds a few hundred kilobytes).
constexpr std::size_t kMaxCABundleBytes = 16 * 1024 * 1024;

bool holdsCertificate(const std::string& pem) {
    return pem.find("-----BEGIN CERTIFICATE-----") != std::string::npos;
}

std::string systemBundle() {
    Easy easy(curl_easy_init());
    char* path = nullptr;
    if (!easy || curl_easy_getinfo(easy.get(), CURLINFO_CAINFO, &path) != CURLE_OK || !path)
        return {};
    const auto bundle = readRegularFile(path, kMaxCABundleBytes).bytes;
    return bundle ? toString(*bundle) : std::string();
}

void installExtraCA(const std::string& pem) {
    // The blob replaces libcurl's CA file, so it carries the system bundle too: adding a private CA
    // must not take the public ones away.
    auto blob = std::make_shared<std::string>(systemBundle());
    blob->append("\n");
    blob->append(pem);
    auto& state = trust();
    std::lock_guard lock(state.mutex);
    state.blob = std::move(blob);
    state.hasBlob = true;
}

bool isSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

std::string schemeOf(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return {};
    for (std::size_t i = 0; i < colon; ++i) {
        if (!isSchemeChar(text[i])) return {};
    }
    return lowercasedASCII(text.substr(0, colon));
}

bool isHTTPScheme(const std::string& scheme) {
    return scheme == "http" || scheme == "https";
}

}  // namespace

Easy EasyPool::take() {
    if (kept_.empty()) return nullptr;
    Easy easy = std::move(kept_.back());
    kept_.pop_back();
    return easy;
}

void EasyPool::giveBack(Easy easy) {
    if (!easy || kept_.size() >= kKept) return;
    curl_easy_reset(easy.get());  // it points at nothing of its last transfer any more
    kept_.push_back(std::move(easy));
}

// libcurl prunes a handle's DNS cache before every transfer by walking all of its table: a multi
// handle's is made for many hosts (71 slots), a share's for few, as an application's requests go
// to. Without lock callbacks: only the I/O thread uses the handles that share it. Never freed, like
// the engine whose handles use it.
CURLSH* EasyPool::dnsCache() {
    static CURLSH* const cache = [] {
        CURLSH* made = curl_share_init();
        if (made && curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
            curl_share_cleanup(made);
            made = nullptr;
        }
        return made;
    }();
    return cache;
}

bool append(Slist& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (!extended) return false;
    (void)list.release();
    list.reset(extended);
    return true;
}

const std::optional<std::string>& runtimeProblemUnlogged() {
    static const std::optional<std::string> problem = checkRuntime();
    return problem;
}

// Said outside any initialisation: one holds a lock while it runs, and the log sink may reach
// the engine, whose own initialisation asks for the answer.
const std::optional<std::string>& runtimeProblem() {
    const auto& problem = runtimeProblemUnlogged();
    static std::atomic<bool> told{false};
    if (problem && !told.exchange(true)) Log::write("URL session service unavailable: " + *problem);
    return problem;
}

std::shared_ptr<const std::string> caBlob() {
    auto& state = trust();
    if (!state.hasBlob.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard lock(state.mutex);
    return state.blob;
}

namespace {

bool readsAsAbsoluteURL(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    const char first = text[0];
    if (!isAlphaASCII(first)) return false;
    return !schemeOf(text).empty();
}

}  // namespace

bool looksLikeAbsoluteURL(const std::string& text) {
    // Tasks are made for a handful of URLs: those that passed lately on this thread are not
    // walked again.
    thread_local RecentValues<std::string> passed;
    if (passed.find([&text](const std::string& known) { return known == text; })) return true;
    if (!readsAsAbsoluteURL(text)) return false;
    passed.remember(text);
    return true;
}

URLCheck parseHTTPURL(std::string_view text, ParsedURL& parts, std::string* normalised) {
    if (!isHTTPScheme(schemeOf(text))) return URLCheck::Unsupported;
    auto parsed = ParsedURL::parseRequestURL(text);
    if (!parsed) return URLCheck::Bad;
    if (normalised) *normalised = parsed->normalisedText();
    parts = std::move(*parsed);
    parts.host = lowercasedASCII(parts.host);
    parts.port = parts.portOrDefault();
    parts.path = parts.resolvedPath();
    parts.fragment.reset();
    return URLCheck::Ok;
}

std::optional<std::string> resolveLocation(const std::string& base, const std::string& location) {
    if (location.empty()) return std::nullopt;
    // Redirections only: libcurl's reading of a relative reference is kept, quirks included.
    struct URLDeleter {
        void operator()(CURLU* url) const { curl_url_cleanup(url); }
    };
    std::unique_ptr<CURLU, URLDeleter> url(curl_url());
    if (!url ||
        curl_url_set(url.get(), CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK) {
        return std::nullopt;
    }
    char* raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK || !raw) return std::nullopt;
    Chars owned(raw);
    return std::string(owned.get());
}

}  // namespace plovendale::curl

namespace plovendale {

bool URLSessionTLS::setAdditionalCAFile(const std::string& path) {
    // Whatever the path names (a FIFO, a device, a huge file), reading it neither blocks nor grows
    // without bound.
    const auto file = readRegularFile(path, curl::kMaxCABundleBytes).bytes;
    if (!file) return false;
    const std::string pem = toString(*file);
    if (!curl::holdsCertificate(pem)) return false;
    curl::runtimeProblem();
    curl::installExtraCA(pem);
    return true;
}

namespace {
// The CA file of the host's platform configuration comes here, where the trust lives, as soon as
// the transport is part of the process.
[[maybe_unused]] const bool kTakesConfiguredCAFile =
    (internal::setCAFileHandler(&URLSessionTLS::setAdditionalCAFile), true);
}  // namespace

void URLSessionTLS::clearAdditionalCA() {
    auto& state = curl::trust();
    std::lock_guard lock(state.mutex);
    state.blob.reset();
    state.hasBlob = false;
}

}  // namespace plovendale
