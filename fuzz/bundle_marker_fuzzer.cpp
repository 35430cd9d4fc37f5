// The channel marker file shipped inside the application bundle, read from disk as the library
// reads it.

#include <filesystem>

#include "fuzz_support.h"
#include "signals/sign_info_utils.h"
#include "util/flo_json_object.h"

using namespace plovendale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useQuietPlatform();
    static const std::string marker = [] {
        const std::string directory = fuzz::scratchDirectory() + "/Quiet.app/_CodeSignature";
        std::filesystem::create_directories(directory);
        return directory + "/.pvignore";
    }();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzz::writeFile(marker, bytes);

    const auto sign = SignInfoUtils::getSignData();
    // A marker is read exactly when its bytes are JSON the wrapper accepts.
    FUZZ_CHECK(sign.has_value() ==
               static_cast<bool>(FLOJSONObject::objectWithData(fuzz::bytesOf(bytes))));
    if (sign) FUZZ_CHECK(sign->traceId != " " && sign->channel != " ");
    return 0;
}
