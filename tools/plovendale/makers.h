#pragma once

#include <optional>
#include <string>

namespace plovendale::cli {

/// A wake-up link carrying `params` and `channel` for `appKey`: the payload is the base64 text of
/// the percent-escaped JSON object {"pr":…,"ch":…}, in the query item "d" appended to `base`
/// (default: https://clb-<key>.<base domain>/c).
std::string makeWakeUpLink(const std::string& appKey, const std::string& params, const std::string& channel,
                           const std::optional<std::string>& base);

/// A pasteboard anchor whose id attribute carries the trace marker for `appKey` and `traceId`,
/// with random filler. Nothing, with `error` filled, when a value cannot travel in the format.
std::optional<std::string> makeMarker(const std::string& appKey, const std::string& traceId, std::string* error);

}  // namespace plovendale::cli
