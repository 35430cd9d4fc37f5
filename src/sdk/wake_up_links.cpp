#include <exception>

#include "host/host_code.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
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

/// The last non-empty item `name` of the query, or "".
std::string lastValueOf(const URLComponents& components, const char* name) {
    std::string value;
    if (!components.queryItems) return value;
    for (const auto& item : *components.queryItems) {
        if (item.name == name && !StringUtils::isNullOrEmpty(item.value)) value = *item.value;
    }
    return value;
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

void offerToDelegate(const AppData& appData) {
    const auto delegate = Plovendale::shareInstance().plovendaleDelegate();
    if (!delegate) return;
    callHostCode("[Plovendale] getWakeUpTrace", [&] {
        if (delegate->implementsGetWakeUpTrace()) delegate->getWakeUpTrace(appData);
    });
}

}  // namespace

bool Plovendale::handleSchemeLinkURL(const std::optional<std::string>& url) {
    return processLinkUrl(url);
}

bool Plovendale::handleUniversalLink(const std::optional<UserActivity>& activity) {
    if (!activity) return refused("no url");
    if (StringUtils::isNullOrEmpty(activity->activityType) ||
        activity->activityType != NSUserActivityTypeBrowsingWeb) {
        return refused("not web browsing");
    }
    return processLinkUrl(activity->webpageURL);
}

bool Plovendale::processLinkUrl(const std::optional<std::string>& url) {
    try {
        if (!url) return refused("no url");
        const auto components = URLComponents::parse(*url);
        if (!components) return refused("not a url");
        if (const char* reason = refusalOf(*url, *components)) return refused(reason);
        // The signature covers the "d" value that is decoded, exactly as the query delivers it.
        const std::string payload = lastValueOf(*components, "d");
        const auto signature = internal::checkLinkSignature(payload, lastValueOf(*components, "s"));
        if (signature == internal::LinkSignature::Invalid) return refused("bad signature");
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

AppData Plovendale::extractAppData(const std::optional<std::string>& value) {
    try {
        if (StringUtils::isNullOrEmpty(value)) return emptyAppData();
        return decodePayload(*value).value_or(emptyAppData());
    } catch (const std::exception&) {
        return emptyAppData();
    }
}

}  // namespace plovendale
