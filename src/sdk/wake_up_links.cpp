#include <exception>

#include "platform/host_code.h"
#include "platform/utf8.h"
#include "plovendale/sdk/core_helper.h"
#include "plovendale/sdk/plovendale.h"
#include "plovendale/util/flo_json_object.h"
#include "plovendale/util/string_utils.h"
#include "util/base64.h"
#include "util/percent.h"
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

/// The last non-empty "d" of the query, or "".
std::string payloadOf(const URLComponents& components) {
    std::string payload;
    if (!components.queryItems) return payload;
    for (const auto& item : *components.queryItems) {
        if (item.name == "d" && !StringUtils::isNullOrEmpty(item.value)) payload = *item.value;
    }
    return payload;
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
    if (!activity) return false;
    if (StringUtils::isNullOrEmpty(activity->activityType) ||
        activity->activityType != NSUserActivityTypeBrowsingWeb) {
        return false;
    }
    return processLinkUrl(activity->webpageURL);
}

bool Plovendale::processLinkUrl(const std::optional<std::string>& url) {
    try {
        if (!url) return false;
        const auto components = URLComponents::parse(*url);
        if (!components) return false;
        if (StringUtils::isNullOrEmpty(components->path) ||
            components->path->find(LINK_PATH) == std::string::npos) {
            return false;
        }
        const std::string appKey = CoreHelper::getAppKey();
        if (StringUtils::isNullOrEmpty(appKey) || url->find(appKey) == std::string::npos)
            return false;
        offerToDelegate(extractAppData(payloadOf(*components)));
        return true;
    } catch (const std::exception&) {
        return false;  // out of memory on a huge link: not one of ours as far as the host knows
    }
}

AppData Plovendale::extractAppData(const std::optional<std::string>& value) {
    try {
        if (StringUtils::isNullOrEmpty(value)) return emptyAppData();
        const auto decoded = base64Decode(*value);
        if (!decoded) return emptyAppData();
        const std::string text = toString(*decoded);
        // Percent-unescaping checks that its result is UTF-8; the text it starts from must be too.
        const auto unescaped = isValidUTF8(text) ? percentUnescape(text) : std::nullopt;
        if (!unescaped) return emptyAppData();
        const FLOJSONObject root = FLOJSONObject::objectWithData(toBytes(*unescaped));
        if (!root.dictionary()) return emptyAppData();
        return AppData{nonEmptyString(root, "pr"), nonEmptyString(root, "ch")};
    } catch (const std::exception&) {
        return emptyAppData();
    }
}

}  // namespace plovendale
