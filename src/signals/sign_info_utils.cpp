#include "signals/sign_info_utils.h"

#include <string>

#include "host/file_reading.h"
#include "plovendale/platform/platform.h"
#include "util/flo_json_object.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

constexpr const char* kMarkerPath = "_CodeSignature/.pvignore";

// Only a regular file of bounded size is read: a FIFO would block the caller and a huge file
// would only waste memory.
std::optional<Bytes> readMarker(const std::string& path) {
    return readRegularFile(path, SignInfoUtils::kMaxMarkerSize).bytes;
}

// The marker path is a relative path appended as components, as std::filesystem::path's / would;
// joined as text because the install query reads it each time and path objects cost more than
// the lookup itself.
std::string markerPath(std::string bundle) {
    if (!bundle.empty() && bundle.back() != '/') bundle += '/';
    return bundle + kMarkerPath;
}

std::string nonEmptyString(const FLOJSONObject& object, const char* key) {
    auto value = object.objectForKey(key).string();
    return StringUtils::isNullOrEmpty(value) ? std::string() : *value;
}

}  // namespace

std::optional<SignData> SignInfoUtils::getSignData() {
    const FLOJSONObject root =
        FLOJSONObject::objectWithData(readMarker(markerPath(Platform::mainBundle()->bundlePath())));
    if (!root) return std::nullopt;
    SignData sign;
    sign.traceId = nonEmptyString(root, "traceId");
    sign.channel = nonEmptyString(root, "pv_channel");
    return sign;
}

}  // namespace plovendale
