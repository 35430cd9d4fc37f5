// Pasteboard HTML through the trace capture: raw text, the field decoders on their own, and the
// pasteboard itself. Well-formed markers of this application must give back the identifier they
// carry.

#include <algorithm>
#include <cctype>

#include "fuzz_support.h"
#include "plovendale/platform/platform.h"
#include "signals/pasteboard_helper.h"

using namespace plovendale;

namespace {

/// The marker a landing page writes for this application's key and trace.
std::string markerFor(std::string_view trace) {
    const std::string key = fuzz::kAppKey;
    const std::string dk = "ABCDE" + key.substr(0, 5) + "xyz" + key.substr(5);
    const std::string dt = "abc" + std::string(trace.substr(0, 10)) + "12345" +
                           std::string(trace.substr(std::min<std::size_t>(10, trace.size())));
    return "PLOVENDALE:" + dk + ":" + dt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useQuietPlatform();
    fuzz::InputReader input(data, size);
    const std::uint8_t mode = input.byte();
    switch (mode % 3) {
        case 0:
            UIPasteboardHelper::extractTraceId(std::string(input.rest()), fuzz::kAppKey);
            break;
        case 1:
            UIPasteboardHelper::decodeAppKey(std::string(input.field(':')));
            UIPasteboardHelper::decodeTrackId(std::string(input.rest()));
            break;
        case 2: {
            // Through the pasteboard itself: the capture takes the last HTML item.
            const std::string_view html = input.field('\0');
            const std::string_view trace = input.rest();
            const bool wellFormed =
                trace.size() >= 11 && std::all_of(trace.begin(), trace.end(), [](unsigned char c) {
                    return std::isalnum(c);  // the C locale: ASCII letters and digits
                });
            std::vector<PasteboardItem> items;
            items.push_back({{Pasteboard::kHTMLType, std::string(html)}});
            if (mode & 4) {
                items.push_back({{Pasteboard::kHTMLType,
                                  "<a class=\"c\" id=\"" + markerFor(trace) + "\">link</a>"}});
            }
            Platform::generalPasteboard()->setItems(std::move(items));
            UIPasteboardHelper::setUp(fuzz::kAppKey);
            if ((mode & 4) && wellFormed) {
                FUZZ_CHECK(UIPasteboardHelper::getCacheTraceId() == trace);
                // Only a store that keeps the trace across launches may take the pasteboard's copy.
                FUZZ_CHECK(UIPasteboardHelper::getPasteValue().empty() ==
                           Platform::keyValueStore()->persists());
            }
            break;
        }
    }
    return 0;
}
