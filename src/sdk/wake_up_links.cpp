#include <charconv>
#include <exception>

#include "host/clock.h"
#include "host/host_code.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/facade_internal.h"
#include "sdk/link_signature.h"
#include "util/flo_json_object.h"
#include "util/string_utils.h"
#include "util/text.h"
#include "util/url_components.h"

namespace plovendale {
namespace {

AppData emptyAppData() {
    return AppData{std::string(), std::string()};
}

std::string nonEmptyString(const FLOJSONObject& object, const char* key) {
    auto value = object.objectForKey(key).string();
    return StringUtils::isNullOrEmpty(value) ? std::string() : *value;
}

/// Nothing when any decoding step fails.
std::optional<AppData> decodePayload(const std::string& value) {
    const auto decoded = base64Decode(value);
    if (!decoded) return std::nullopt;
    const std::string text = toString(*decoded);
    // Percent-unescaping checks that its result is UTF-8; the text it starts from must be too.
    const auto unescaped = isValidUTF8(text) ? percentUnescape(text) : std::nullopt;
    if (!unescaped) return std::nullopt;
    const FLOJSONObject root = FLOJSONObject::objectWithData(toBytes(*unescaped));
    if (!root.dictionary()) return std::nullopt;
    return AppData{nonEmptyString(root, "pr"), nonEmptyString(root, "ch")};
}

bool refused(const char* reason) {
    internal::emitEvent("link.refused", {{"reason", reason}});
    return false;
}

/// Why a link is not one of this application's, or nothing when it is.
const char* refusalOf(const std::string& url, const URLComponents& components) {
    if (StringUtils::isNullOrEmpty(components.path)) return "no marker path";
    if (components.path->find(LINK_PATH) == std::string::npos) {
        return components.path->find("/C") != std::string::npos ? "capital path" : "no marker path";
    }
    const std::string appKey = CoreHelper::getAppKey();
    if (StringUtils::isNullOrEmpty(appKey)) return "no key";
    if (url.find(appKey) == std::string::npos) return "other key";
    return nullptr;
}

/// Whether a signed expiry "e" (seconds since 1970, decimal digits) has passed; nothing when it is
/// not such a number.
std::optional<bool> hasExpired(const std::string& expiry) {
    long long seconds = 0;
    const char* end = expiry.data() + expiry.size();
    const auto [stop, error] = std::from_chars(expiry.data(), end, seconds);
    if (error != std::errc() || stop != end || expiry.front() == '-') return std::nullopt;
    return Date::timeIntervalSince1970() >= static_cast<double>(seconds);
}

/// Checks the signature when the host asked for one; nothing when the link passes.
const char* signatureRefusal(const URLComponents& components, const std::string& payload,
                             internal::LinkSignature* outcome) {
    const std::string expiry = components.lastQueryValue("e");
    *outcome = internal::checkLinkSignature(CoreHelper::getAppKey(), payload, expiry,
                                            components.lastQueryValue("s"));
    if (*outcome == internal::LinkSignature::Invalid) return "bad signature";
    // An expiry counts only under a valid signature: anyone can strip or change an unsigned one.
    if (*outcome == internal::LinkSignature::NotChecked || expiry.empty()) return nullptr;
    const auto expired = hasExpired(expiry);
    if (!expired) return "bad expiry";
    return *expired ? "expired" : nullptr;
}

void offerToDelegate(const AppData& appData) {
    const auto delegate = Plovendale::shareInstance().plovendaleDelegate();
    if (!delegate) return;
    callHostCode("[Plovendale] getWakeUpTrace", [&] {
        if (delegate->implementsGetWakeUpTrace()) delegate->getWakeUpTrace(appData);
    });
}

}  // namespace

bool Plovendale::handleSchemeLinkURL(const std::optional<std::string>& url) {
    return internal::processLinkUrl(url);
}

bool Plovendale::handleUniversalLink(const std::optional<UserActivity>& activity) {
    if (!activity) return refused("no url");
    if (StringUtils::isNullOrEmpty(activity->activityType) ||
        activity->activityType != NSUserActivityTypeBrowsingWeb) {
        return refused("not web browsing");
    }
    return internal::processLinkUrl(activity->webpageURL);
}

bool internal::processLinkUrl(const std::optional<std::string>& url) {
    try {
        if (!url) return refused("no url");
        // Any web page can open a custom-scheme link; the service's links are a few hundred bytes.
        if (url->size() > MAX_LINK_LENGTH) return refused("too long");
        const auto components = URLComponents::parse(*url);
        if (!components) return refused("not a url");
        if (const char* reason = refusalOf(*url, *components)) return refused(reason);
        // The signature covers the "d" value that is decoded, exactly as the query delivers it.
        const std::string payload = components->lastQueryValue("d");
        internal::LinkSignature signature = internal::LinkSignature::NotChecked;
        if (const char* reason = signatureRefusal(*components, payload, &signature))
            return refused(reason);
        const auto appData = payload.empty() ? std::nullopt : decodePayload(payload);
        internal::emitEvent(
            "link.handled",
            {{"payload", payload.empty() ? "none"
                         : appData       ? "decoded"
                                         : "bad"},
             {"signature", signature == internal::LinkSignature::Valid ? "valid" : "not checked"}});
        offerToDelegate(appData.value_or(emptyAppData()));
        return true;
    } catch (const std::exception&) {
        return false;  // out of memory on a huge link: not one of ours as far as the host knows
    }
}

AppData internal::extractAppData(const std::optional<std::string>& value) {
    try {
        if (StringUtils::isNullOrEmpty(value)) return emptyAppData();
        return decodePayload(*value).value_or(emptyAppData());
    } catch (const std::exception&) {
        return emptyAppData();
    }
}

}  // namespace plovendale
