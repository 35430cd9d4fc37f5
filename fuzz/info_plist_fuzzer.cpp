// The bundle's property list (XML or binary) as the desktop bundle reads it from Info.plist, and
// the install parameters built from its entries, serialised as the install-trace query sends them.

#include <filesystem>
#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "host/json_serialization.h"
#include "signals/report_param_data.h"

using namespace plovendale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useQuietPlatform();  // before the bundle is read: it logs what it cannot read
    static const std::string directory = [] {
        const std::string made = fuzz::scratchDirectory() + "/Plist.app";
        std::filesystem::create_directories(made);
        return made;
    }();
    fuzz::writeFile(directory + "/Info.plist",
                    std::string_view(reinterpret_cast<const char*>(data), size));

    auto bundle = makeDirectoryBundle(directory);
    for (const char* key : {"com.plovendale.APP_KEY", "com.plovendale.SERVER_DOMAIN"}) {
        bundle->infoString(key);
    }
    fuzz::useQuietPlatformWithBundle(std::move(bundle));
    // Whatever the entries hold, the query's body must still serialise.
    nlohmann::json body = nlohmann::json::object();
    for (const auto& [key, value] : ReportParamData::getParams()) body[key] = value;
    FUZZ_CHECK(JSONSerialization::dataWithJSONObject(body, 0).has_value());
    return 0;
}
