#include "plovendale/signals/sign_info_utils.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "plovendale/platform/platform.h"
#include "plovendale/util/flo_json_object.h"
#include "plovendale/util/string_utils.h"

namespace plovendale {
namespace {

constexpr const char* kMarkerPath = "_CodeSignature/.pvignore";

// Only a regular file of bounded size is read: a FIFO would block the caller and a huge file
// would only waste memory.
std::optional<Bytes> readMarker(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > SignInfoUtils::kMaxMarkerSize) return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad() || bytes.size() > SignInfoUtils::kMaxMarkerSize) return std::nullopt;
    return bytes;
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
