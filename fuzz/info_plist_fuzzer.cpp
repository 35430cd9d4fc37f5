// The files the library reads from the application bundle, each given the same bytes: the
// property list (XML or binary) as the desktop bundle reads it from Info.plist, with the install
// parameters built from its entries serialised as the install-trace query sends them; and the
// channel marker file shipped inside the bundle.

#include <filesystem>
#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "host/json_serialization.h"
#include "signals/report_param_data.h"
#include "signals/sign_info_utils.h"
#include "util/flo_json_object.h"

using namespace plovendale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useQuietPlatform();  // before the bundle is read: it logs what it cannot read
    static const std::string directory = [] {
        const std::string made = fuzz::scratchDirectory() + "/Plist.app";
        std::filesystem::create_directories(made + "/_CodeSignature");
        return made;
    }();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    fuzz::writeFile(directory + "/Info.plist", bytes);
    fuzz::writeFile(directory + "/_CodeSignature/.pvignore", bytes);
    auto bundle = makeDirectoryBundle(directory);
    for (const char* key : {"com.plovendale.APP_KEY", "com.plovendale.SERVER_DOMAIN"}) {
        bundle->infoString(key);
    }
    fuzz::useQuietPlatformWithBundle(std::move(bundle));
    // Whatever the entries hold, the query's body must still serialise.
    nlohmann::json body = nlohmann::json::object();
    for (const auto& [key, value] : ReportParamData::getParams()) body[key] = value;
    FUZZ_CHECK(JSONSerialization::dataWithJSONObject(body, 0).has_value());

    const auto sign = SignInfoUtils::getSignData();
    // A marker is read exactly when its bytes are JSON the wrapper accepts.
    FUZZ_CHECK(sign.has_value() ==
               static_cast<bool>(FLOJSONObject::objectWithData(fuzz::bytesOf(bytes))));
    if (sign) FUZZ_CHECK(sign->traceId != " " && sign->channel != " ");
    return 0;
}
