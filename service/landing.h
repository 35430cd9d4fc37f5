#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "store.h"

namespace plovendale::attribution_service {

inline constexpr std::size_t kMaxDestinationBytes = 2048;
inline constexpr std::size_t kMaxTitleCharacters = 200;
inline constexpr std::size_t kMaxDescriptionCharacters = 1000;

/// Reads "destinations" and "preview" of a link registration into landing. Nothing when both are
/// absent; an error text naming the member ("destinations.ios ...") when one is malformed.
std::optional<std::string> readLanding(const nlohmann::json& body, LinkLanding& landing,
                                       bool& present);
/// The same rules for values from the command line; the error names the JSON member.
std::optional<std::string> checkLanding(const LinkLanding& landing);

/// An absolute http or https URL of printable ASCII, at most kMaxDestinationBytes.
bool isWebUrl(std::string_view url);

/// Link-preview crawlers by their User-Agent: they get the page, and no click is counted.
bool isPreviewCrawler(std::string_view userAgent);

/// The destination for a visitor of platform ("ios", "android", "other"): its own, or else the
/// default one; "" when the link has neither.
std::string destinationFor(const LinkLanding& landing, const std::string& platform);

/// The pasteboard anchor a landing page leaves for the app's first launch; "" when the key or
/// the trace identifier is too short to travel in one.
std::string pasteboardAnchor(const std::string& appKey, const std::string& traceId,
                             const std::string& href);

struct LandingPage {
    std::string appKey;
    std::string traceId;
    std::string landingUrl;
    std::string destination;  // "" when the link has none for this visitor
    std::string clickId;      // "" when no click was counted
    LinkLanding landing;
};

/// The page and the Content-Security-Policy that goes with it (one fresh nonce per answer).
std::pair<std::string, std::string> landingPageHtml(const LandingPage& page);
/// A 404 page and its policy.
std::pair<std::string, std::string> missingLinkHtml();

std::string escapeHtml(std::string_view text);

}  // namespace plovendale::attribution_service
