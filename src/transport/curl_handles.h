#pragma once

// Owning wrappers of libcurl handles and the process-wide libcurl set-up shared by the URL session
// service and synchronous loading.

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util/url_components.h"

namespace plovendale::curl {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CharsDeleter {
    void operator()(char* text) const { curl_free(text); }
};

using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Multi = std::unique_ptr<CURLM, MultiDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;
using Chars = std::unique_ptr<char, CharsDeleter>;

/// Easy handles of finished transfers, kept for the next ones: taking one saves setting up a new
/// handle (and its DNS cache share). A kept handle has every option reset to libcurl's default; its
/// connections belong to the multi handle anyway. One thread's; not synchronised.
class EasyPool {
  public:
    /// A kept handle, or null when none is kept.
    Easy take();
    /// A handle that is in no multi handle and runs no transfer; its options are reset here.
    void giveBack(Easy easy);
    void clear() { kept_.clear(); }
    /// The DNS cache for the pool's handles, or null when libcurl can't make one (each handle
    /// then uses its multi handle's). Set on a handle before it joins a multi handle.
    static CURLSH* dnsCache();

  private:
    static constexpr std::size_t kKept = 64;
    std::vector<Easy> kept_;
};

/// Appends a line to an owned list; false when libcurl is out of memory (the list is then
/// unchanged).
bool append(Slist& list, const std::string& line);

/// curl_global_init and the capability check (HTTP, HTTPS over OpenSSL, the options the service
/// uses), done once for the process. Empty when usable; otherwise why not (logged once).
const std::optional<std::string>& runtimeProblem();
/// The same answer, not logged: for initialisations that hold a lock while they run.
const std::optional<std::string>& runtimeProblemUnlogged();

/// The CA certificates to trust in addition to the system's, as PEM text ready for
/// CURLOPT_CAINFO_BLOB (the system bundle followed by the extra CA), or nothing when no extra CA is
/// configured.
std::shared_ptr<const std::string> caBlob();

enum class URLCheck { Ok, Unsupported, Bad };

/// Parses url. Unsupported: not http/https or no scheme; Bad: http(s) but not parsable. When Ok,
/// parts is in the form origins and cookies compare: lower-case host, the port explicit or the
/// scheme's default, dot segments resolved and "/" at least, no fragment; and text (when given) is
/// the URL as the transfer uses it.
URLCheck parseHTTPURL(std::string_view url, ParsedURL& parts, std::string* text = nullptr);

/// Resolves a Location value against base, whatever its scheme: a redirection elsewhere than
/// http(s) is still one, and fails when followed (unsupported URL) rather than passing for the
/// final response.
std::optional<std::string> resolveLocation(const std::string& base, const std::string& location);

/// Whether text could be an absolute URL at all: a scheme, and only visible ASCII.
bool looksLikeAbsoluteURL(const std::string& text);

}  // namespace plovendale::curl
