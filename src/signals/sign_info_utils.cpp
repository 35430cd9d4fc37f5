#include "signals/sign_info_utils.h"

#include <filesystem>

#include "host/file_reading.h"
#include "plovendale/platform/platform.h"
#include "util/flo_json_object.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

constexpr const char* kMarkerPath = "_CodeSignature/.pvignore";

// Only a regular file of bounded size is read: a FIFO would block the caller and a huge file
// would only waste memory.
std::optional<Bytes> readMarker(const std::filesystem::path& path) {
    return readRegularFile(path.string(), SignInfoUtils::kMaxMarkerSize).bytes;
}

std::string nonEmptyString(const FLOJSONObject& object, const char* key) {
    auto value = object.objectForKey(key).string();
    return StringUtils::isNullOrEmpty(value) ? std::string() : *value;
}

}  // namespace

std::optional<SignData> SignInfoUtils::getSignData() {
    const std::filesystem::path path =
        std::filesystem::path(Platform::mainBundle()->bundlePath()) / kMarkerPath;
    const FLOJSONObject root = FLOJSONObject::objectWithData(readMarker(path));
    if (!root) return std::nullopt;
    SignData sign;
    sign.traceId = nonEmptyString(root, "traceId");
    sign.channel = nonEmptyString(root, "pv_channel");
    return sign;
}

}  // namespace plovendale
