// Wake-up links as the host hands them in: raw text as a custom-scheme link or as a universal
// link, and well-formed links of this application around a fuzzed "d" payload, either as the raw
// query value or base64-encoded (so that the percent-unescaping and the JSON reader are reached).

#include <memory>

#include "fuzz_support.h"
#include "plovendale/sdk/plovendale.h"
#include "util/text.h"

using namespace plovendale;

namespace {

struct CountingDelegate final : PlovendaleDelegate {
    int calls = 0;
    AppData last;
    void getWakeUpTrace(const AppData& appData) override {
        ++calls;
        last = appData;
    }
};

CountingDelegate& delegate() {
    static const auto instance = [] {
        auto made = std::make_shared<CountingDelegate>();
        Plovendale::registerPlovendaleDelegate(made);
        return made;
    }();
    return *instance;
}

std::string linkAround(std::uint8_t shape, const std::string& payload) {
    static const char* const kPrefixes[] = {
        "plovendale-fuzzAppKey1://open/c?d=",
        "https://fuzzAppKey1.link.example/c/x?a=1&d=",
        "https://link.example/fuzzAppKey1/c?d=first&d=",
        "myapp://h/a/cb?k=fuzzAppKey1&d=",
    };
    return kPrefixes[shape % 4] + payload;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useQuietPlatform();
    CountingDelegate& counter = delegate();
    fuzz::InputReader input(data, size);
    const std::uint8_t mode = input.byte();
    const std::string rest(input.rest());
    const int callsBefore = counter.calls;

    bool handled = false;
    bool mustHandle = false;
    switch (mode % 4) {
        case 0:
            handled = Plovendale::handleSchemeLinkURL(rest);
            break;
        case 1:
            handled = Plovendale::handleUniversalLink(
                UserActivity{(mode & 4) ? NSUserActivityTypeBrowsingWeb : rest.substr(0, 8), rest});
            break;
        case 2: {
            // Escaped, so the link stays a valid URL whatever the payload holds.
            const std::string link = linkAround(mode >> 2, percentEscape(rest));
            handled = Plovendale::handleSchemeLinkURL(link);
            mustHandle = link.size() <= MAX_LINK_LENGTH;
            break;
        }
        case 3: {
            const std::string link =
                linkAround(mode >> 2, percentEscape(base64Encode(fuzz::bytesOf(rest))));
            handled =
                Plovendale::handleUniversalLink(UserActivity{NSUserActivityTypeBrowsingWeb, link});
            mustHandle = link.size() <= MAX_LINK_LENGTH;
            break;
        }
    }
    // A link of this application within the length bound is always taken, and the delegate hears of
    // each one once.
    if (mustHandle) FUZZ_CHECK(handled);
    FUZZ_CHECK(counter.calls == callsBefore + (handled ? 1 : 0));
    if (handled) FUZZ_CHECK(counter.last.paramsData && counter.last.channel);
    return 0;
}
