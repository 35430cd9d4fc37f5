#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "plovendale/export.h"

namespace plovendale {

/// Domain of URL-loading errors made by the URL session service.
inline constexpr const char* kNSURLErrorDomain = "NSURLErrorDomain";

/// Codes of kNSURLErrorDomain (the values hosts know from the platform).
namespace URLErrorCode {
inline constexpr std::int64_t kUnknown = -1;
inline constexpr std::int64_t kCancelled = -999;
inline constexpr std::int64_t kBadURL = -1000;
inline constexpr std::int64_t kTimedOut = -1001;
inline constexpr std::int64_t kUnsupportedURL = -1002;
inline constexpr std::int64_t kCannotFindHost = -1003;
inline constexpr std::int64_t kCannotConnectToHost = -1004;
inline constexpr std::int64_t kNetworkConnectionLost = -1005;
inline constexpr std::int64_t kHTTPTooManyRedirects = -1007;
inline constexpr std::int64_t kBadServerResponse = -1011;
inline constexpr std::int64_t kUserCancelledAuthentication = -1012;
inline constexpr std::int64_t kUserAuthenticationRequired = -1013;
inline constexpr std::int64_t kCannotDecodeContentData = -1016;
inline constexpr std::int64_t kDataLengthExceedsMaximum = -1103;
inline constexpr std::int64_t kSecureConnectionFailed = -1200;
inline constexpr std::int64_t kServerCertificateUntrusted = -1202;
inline constexpr std::int64_t kCannotOpenFile = -3000;
}  // namespace URLErrorCode

/// An error value: a domain, a code within it, and an information map whose
/// "NSLocalizedDescription" entry is the human-readable message.
struct PLOVENDALE_API Error {
    using Headers = std::map<std::string, std::string>;
    using InfoValue = std::variant<std::string, Headers>;

    static constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

    std::string domain;
    std::int64_t code = 0;
    std::map<std::string, InfoValue> userInfo;

    static Error make(std::string domain, std::int64_t code, std::string description) {
        Error error{std::move(domain), code, {}};
        error.userInfo[kLocalizedDescriptionKey] = std::move(description);
        return error;
    }

    /// The message under kLocalizedDescriptionKey, or a generic text naming domain and code.
    std::string localizedDescription() const {
        auto it = userInfo.find(kLocalizedDescriptionKey);
        if (it != userInfo.end()) {
            if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
        }
        return "The operation couldn\u2019t be completed. (" + domain + " error " +
               std::to_string(code) + ".)";
    }

    /// A text entry of userInfo, or nothing.
    std::optional<std::string> infoString(const std::string& key) const {
        auto it = userInfo.find(key);
        if (it == userInfo.end()) return std::nullopt;
        if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
        return std::nullopt;
    }
};

}  // namespace plovendale
