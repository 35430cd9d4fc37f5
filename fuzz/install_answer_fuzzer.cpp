// The service's install answer (the body the install-trace query reads) and the cached link data
// read back on later launches.

#include "fuzz_support.h"
#include "sdk/data_util.h"

using namespace plovendale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto answer = DataUtil::parseResData(fuzz::bytesOf(text));
    if (answer && answer->data) {
        // What the query caches must read back as the same link data.
        const std::string cached = DataUtil::appData2Json(answer->data);
        if (!cached.empty()) {
            const auto back = DataUtil::parseAppData(cached);
            FUZZ_CHECK(back && back->paramsData == answer->data->paramsData &&
                       back->channel == answer->data->channel);
        }
    }

    const auto cached = DataUtil::parseAppData(std::string(text));
    FUZZ_CHECK(cached.has_value() || text.empty() || text == " ");
    return 0;
}
