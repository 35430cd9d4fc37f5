#pragma once

// What the facade's operations share inside the library; hosts call the facade.

#include <cstdint>
#include <optional>
#include <string>

#include "plovendale/sdk/records.h"

namespace plovendale::internal {

/// Takes a wake-up link of this application: true when it was one (its data, or empty values when
/// they cannot be read, go to the delegate), false when it was not or was refused (logged).
bool processLinkUrl(const std::optional<std::string>& url);
/// The parameters and channel of a link's "d" value; empty values when it cannot be read.
AppData extractAppData(const std::optional<std::string>& value);
/// Sends a state report for a query that began at `startTime` (wall-clock seconds) and ended with
/// `code`; nothing while tracking is disabled.
void reportState(double startTime, std::int64_t code, const std::optional<std::string>& message,
                 const std::string& traceId);

}  // namespace plovendale::internal
