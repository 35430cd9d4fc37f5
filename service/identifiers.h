#pragma once

#include <string>
#include <string_view>

namespace plovendale::attribution_service {

/// App keys travel unescaped in URL paths and host labels, so only [A-Za-z0-9_-] is accepted.
inline constexpr std::size_t kMaxAppKeyLength = 128;
bool isValidAppKey(std::string_view key);

/// Trace identifiers must survive the pasteboard marker (no ':' or quotes) and the client needs at
/// least eleven characters to decode one, so they are [A-Za-z0-9] of a bounded length.
inline constexpr std::size_t kMinTraceIdLength = 12;
inline constexpr std::size_t kMaxTraceIdLength = 64;
inline constexpr std::size_t kGeneratedTraceIdLength = 16;
bool isValidTraceId(std::string_view traceId);

/// A fresh random trace identifier of kGeneratedTraceIdLength characters from the OS entropy
/// source.
std::string newTraceId();

/// The current UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ" (sorts the way it reads).
std::string utcTimestamp();

}  // namespace plovendale::attribution_service
