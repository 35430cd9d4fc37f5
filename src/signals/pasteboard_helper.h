#pragma once

#include <string>

namespace plovendale {

/// The trace identifier that a landing page leaves on the general pasteboard: an HTML anchor
/// ("public.html") whose id attribute holds "PLOVENDALE:" + encoded application key + ":" +
/// encoded trace identifier. Every operation answers "" for absent values and never throws.
/// Character positions count UTF-16 code units. Safe to call from any thread. The application
/// key is the caller's to pass: the SDK keeps it, and nothing here reaches back into the SDK.
class UIPasteboardHelper {
  public:
    /// What a capture found.
    enum class Capture { Captured, Empty, NoMarker, StoreFailed };

    /// The store key a captured trace identifier is kept under.
    static constexpr const char* kPasteKey = "com.plovendale.paste_key";

    /// Captures a trace identifier meant for `appKey`: stores it under kPasteKey and empties the
    /// pasteboard. When the store refuses the value, or keeps it in memory only, the pasteboard
    /// keeps it for the next launch; a refused value is still kept for this process.
    static void setUp(const std::string& appKey) { (void)capture(appKey); }
    /// setUp, answering what it found: no HTML text, no marker for this key, or a store refusal.
    static Capture capture(const std::string& appKey);
    /// The "public.html" text of the last pasteboard item that has one, or "".
    static std::string getPasteValue();
    /// The trace identifier carried by `text` for `appKey`, or "" (always "" for an empty key).
    /// The search for the id attribute is bounded by Rx::kMatchTimeLimit, so hostile text (huge,
    /// with many unterminated attributes) is answered quickly, with "".
    static std::string extractTraceId(const std::string& text, const std::string& appKey);
    /// Positions 5-9 and 13 onwards of the encoded key, or "" when either part is empty.
    static std::string decodeAppKey(const std::string& encoded);
    /// Positions 3-12 and 18 onwards of the encoded identifier, or "" when either part is empty.
    static std::string decodeTrackId(const std::string& encoded);
    /// The identifier of the last capture in this process that the store refused, else the one
    /// stored by an earlier capture, else "".
    static std::string getCacheTraceId();
};

}  // namespace plovendale
