#include "signals/pasteboard_helper.h"

#include <memory>
#include <mutex>
#include <string_view>
#include <variant>
#include <vector>

#include "plovendale/platform/platform.h"
#include "plovendale/sdk/constants.h"
#include "signals/signals_state.h"
#include "util/format.h"
#include "util/rx.h"
#include "util/string_utils.h"
#include "util/utf16.h"

namespace plovendale {
namespace {

// Optional white space, id=, then the attribute value up to the next double quote.
constexpr const char* kIdAttributePattern = "\\s*id=\"(.+?)\"";

std::vector<std::string> splitAtColons(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = text.find(':', start);
        fields.push_back(
            text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) return fields;
        start = colon + 1;
    }
}

/// Joins the stretch [headStart, headStart + headLength) and everything from tailStart on, when
/// both are non-empty.
std::string decodeField(const std::string& encoded, std::int32_t headStart, std::int32_t headLength,
                        std::int32_t tailStart) {
    if (StringUtils::isNullOrEmpty(encoded)) return "";
    const icu::UnicodeString text = toUTF16(encoded);
    if (text.isBogus()) return "";
    const std::string head = utf16Substring(text, headStart, headLength);
    const std::string tail = utf16Substring(text, tailStart, text.length() - tailStart);
    if (StringUtils::isNullOrEmpty(head) || StringUtils::isNullOrEmpty(tail)) return "";
    return head + tail;
}

internal::SignalsState::UnstoredCapture& unstoredCapture() {
    return internal::signalsState().unstoredCapture;
}

const std::shared_ptr<Rx>& idAttributeExpression() {
    static const std::shared_ptr<Rx> expression = Rx::initWithPattern(kIdAttributePattern);
    return expression;
}

}  // namespace

UIPasteboardHelper::Capture UIPasteboardHelper::capture(const std::string& appKey) {
    const std::string text = getPasteValue();
    if (StringUtils::isNullOrEmpty(text)) return Capture::Empty;
    const std::string trace = extractTraceId(text, appKey);
    if (StringUtils::isNullOrEmpty(trace)) return Capture::NoMarker;
    auto store = Platform::keyValueStore();
    {
        // The trace goes with this run's queries from now on: the write may wait a second for
        // another process that holds the file, and a query made meanwhile carries it too, as
        // it does when the store refuses it.
        std::lock_guard lock(unstoredCapture().mutex);
        unstoredCapture().trace = trace;
    }
    const bool stored = store->setString(trace, kPasteKey);
    if (stored) {
        std::lock_guard lock(unstoredCapture().mutex);
        if (unstoredCapture().trace == trace) unstoredCapture().trace.clear();
    }
    if (!stored) return Capture::StoreFailed;
    // The pasteboard is the only other copy: it is emptied only once the trace is on disk.
    if (store->persists()) Platform::generalPasteboard()->setString("");
    return Capture::Captured;
}

std::string UIPasteboardHelper::getPasteValue() {
    std::string result;
    for (const auto& item : Platform::generalPasteboard()->items()) {
        auto found = item.find(Pasteboard::kHTMLType);
        if (found == item.end()) continue;
        if (const auto* text = std::get_if<std::string>(&found->second)) result = *text;
    }
    return result;
}

std::string UIPasteboardHelper::extractTraceId(const std::string& text, const std::string& appKey) {
    if (StringUtils::isNullOrEmpty(text)) return "";
    Logger::info(text);
    // Chromium keeps HTML written through the asynchronous clipboard (a ClipboardItem) as the
    // document it parsed the fragment into, so a page's anchor arrives behind exactly this.
    constexpr std::string_view kChromiumDocumentStart = "<html><head></head><body>";
    std::string_view start = text;
    if (start.starts_with(kChromiumDocumentStart))
        start.remove_prefix(kChromiumDocumentStart.size());
    if (!start.starts_with("<a")) return "";

    std::string candidate;
    if (const auto& expression = idAttributeExpression()) {
        if (auto match = expression->firstMatchWithDetails(text)) {
            for (const auto& group : match->groups) {
                if (group.value && group.value->starts_with(CLIP_TRACE_ID_CONTENT))
                    candidate = *group.value;
            }
        }
    }
    if (StringUtils::isNullOrEmpty(candidate)) return "";

    const std::vector<std::string> fields = splitAtColons(candidate);
    if (fields.size() != 3) return "";
    Logger::info(fillTemplate("origin dk: %@", {fields[1]}));
    const std::string key = decodeAppKey(fields[1]);
    Logger::info(fillTemplate("decode appKey: %@", {key}));
    if (StringUtils::isNullOrEmpty(key) || key != appKey) return "";

    Logger::info(fillTemplate("origin dt: %@", {fields[2]}));
    const std::string trace = decodeTrackId(fields[2]);
    Logger::info(fillTemplate("decode trackId: %@", {trace}));
    return StringUtils::isNullOrEmpty(trace) ? std::string() : trace;
}

std::string UIPasteboardHelper::decodeAppKey(const std::string& encoded) {
    return decodeField(encoded, 5, 5, 13);
}

std::string UIPasteboardHelper::decodeTrackId(const std::string& encoded) {
    return decodeField(encoded, 3, 10, 18);
}

std::string UIPasteboardHelper::getCacheTraceId() {
    {
        std::lock_guard lock(unstoredCapture().mutex);
        if (!unstoredCapture().trace.empty()) return unstoredCapture().trace;
    }
    auto stored = Platform::keyValueStore()->stringForKey(kPasteKey);
    return StringUtils::isNullOrEmpty(stored) ? std::string() : *stored;
}

}  // namespace plovendale
