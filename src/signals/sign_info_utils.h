#pragma once

#include <optional>

#include "plovendale/sdk/records.h"

namespace plovendale {

/// The channel marker shipped inside the application bundle: JSON in
/// <bundle>/_CodeSignature/.pvignore with "traceId" and "pv_channel". Safe from any thread.
class SignInfoUtils {
  public:
    /// The marker's two values ("" for a missing, non-string, empty or one-space value), or
    /// nothing when the file is missing, not a regular file, larger than kMaxMarkerSize, or not
    /// JSON.
    static std::optional<SignData> getSignData();

    /// Markers are a few dozen bytes; anything this large is not one and is not read.
    static constexpr std::size_t kMaxMarkerSize = 1024 * 1024;
};

}  // namespace plovendale
