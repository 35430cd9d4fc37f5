#include "makers.h"

#include <unicode/unistr.h>

#include <random>

#include "plovendale/sdk/constants.h"

namespace plovendale::cli {
namespace {

std::string filler(std::size_t count) {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 engine{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += kChars[pick(engine)];
    return out;
}

// Splits at a position counted in UTF-16 code units, as the reader of the marker counts.
std::pair<std::string, std::string> splitUTF16(const std::string& text, int32_t units) {
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
    std::string head;
    std::string tail;
    unicode.tempSubString(0, units).toUTF8String(head);
    unicode.tempSubString(units).toUTF8String(tail);
    return {head, tail};
}

bool travels(const std::string& value) {
    return value.find_first_of(":\"\r\n<>") == std::string::npos;
}

}  // namespace

std::optional<std::string> makeMarker(const std::string& appKey, const std::string& traceId,
                                      std::string* error) {
    const auto key = icu::UnicodeString::fromUTF8(appKey);
    const auto trace = icu::UnicodeString::fromUTF8(traceId);
    if (key.length() < 6 || !travels(appKey)) {
        *error =
            "--app-key must have at least 6 characters and no ':', '\"', '<', '>' or line break";
        return std::nullopt;
    }
    if (trace.length() < 11 || !travels(traceId)) {
        *error =
            "--trace-id must have at least 11 characters and no ':', '\"', '<', '>' or line break";
        return std::nullopt;
    }
    const auto [keyHead, keyTail] = splitUTF16(appKey, 5);
    const auto [traceHead, traceTail] = splitUTF16(traceId, 10);
    const std::string dk = filler(5) + keyHead + filler(3) + keyTail;
    const std::string dt = filler(3) + traceHead + filler(5) + traceTail;
    return std::string("<a href=\"https://example.invalid/\" id=\"") + CLIP_TRACE_ID_CONTENT + dk +
           ":" + dt + "\">Open the app</a>";
}

}  // namespace plovendale::cli
