#pragma once

#include <optional>
#include <string>

namespace plovendale::cli {

/// A pasteboard anchor whose id attribute carries the trace marker for `appKey` and `traceId`,
/// with random filler. Nothing, with `error` filled, when a value cannot travel in the format.
std::optional<std::string> makeMarker(const std::string& appKey, const std::string& traceId,
                                      std::string* error);

}  // namespace plovendale::cli
