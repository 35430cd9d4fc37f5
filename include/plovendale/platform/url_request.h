#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plovendale/export.h"
#include "plovendale/platform/bytes.h"

namespace plovendale {

enum class URLRequestCachePolicy : unsigned {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1
};

/// Header fields: insertion-ordered, names compared case-insensitively (ASCII).
/// A plain value: not synchronised; copy it to share it between threads.
class PLOVENDALE_API HTTPHeaderFields {
  public:
    /// Replaces the field's value (keeps its position and the spelling of its first name), or
    /// appends it.
    void set(const std::string& name, const std::string& value);
    /// Appends ",value" to an existing field (requests join repeated fields with ","), or creates
    /// it.
    void add(const std::string& name, const std::string& value);
    void remove(const std::string& name);
    std::optional<std::string> get(std::string_view name) const;
    /// In insertion order.
    const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }

    bool operator==(const HTTPHeaderFields&) const = default;

  private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

/// The wire request (the mutable URL request of the URL-loading layer).
///
/// timeoutInterval bounds the whole exchange: the transfer fails with NSURLErrorDomain -1001 when
/// it has not received its last byte that long after it started (resolving, connecting, every
/// redirection and the whole body included; so also when no byte came for that long). Time spent
/// waiting for a free connection to the origin, or for the delegate's answer to a response,
/// redirection or cache question, does not count. A value of 0 or less means 60 s.
///
/// On the wire the service drops caller fields that are not valid header lines (a name that is not
/// a token, a value with CR, LF or NUL) and writes the framing fields itself (Content-Length,
/// Transfer-Encoding, Expect). A request with a body and no Content-Type is sent as
/// "application/x-www-form-urlencoded", as the platform does.
struct URLRequest {
    std::string url;  ///< absolute URL text; empty means "no URL"
    std::string httpMethod = "GET";
    URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
    double timeoutInterval = 60.0;  ///< seconds; the service's default
    HTTPHeaderFields headerFields;
    std::optional<Bytes> httpBody;
    /// The service adds cookies from, and stores cookies into, HTTPCookieStorage::shared().
    bool httpShouldHandleCookies = true;
};

/// The received response (the HTTP URL response of the URL-loading layer).
struct PLOVENDALE_API HTTPURLResponse {
    std::string url;  ///< the URL that answered
    std::int64_t statusCode = 0;
    /// Repeated fields joined with ", "; the key keeps the spelling of the field's first
    /// occurrence.
    std::map<std::string, std::string> allHeaderFields;
    /// Every field line as received, in order (cookie parsing needs the Set-Cookie lines
    /// separately).
    std::vector<std::pair<std::string, std::string>> rawHeaderFields;
    /// Charset parameter of Content-Type, lower-cased, or nothing.
    std::optional<std::string> textEncodingName;
    /// Content-Length, or -1.
    std::int64_t expectedContentLength = -1;

    /// The value of a field, looked up case-insensitively, or nothing.
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

}  // namespace plovendale
