#pragma once

#include <optional>
#include <string>

#include "plovendale/platform/bytes.h"
#include "plovendale/sdk/records.h"

namespace plovendale {

/// The records codec: the service's install-trace response to a ResData, and AppData to and from
/// the text form in which it is cached. Stateless; safe from any thread.
class DataUtil {
  public:
    /// Nothing for an absent body, text that is not a JSON object, or a "status" that is not a
    /// number (true and false count as 1 and 0; a fraction is dropped).
    static std::optional<ResData> parseResData(const std::optional<Bytes>& body);
    /// Compact JSON with "params_data" and "channel" (absent fields left out); "" for nothing or
    /// when a field is not valid UTF-8.
    static std::string appData2Json(const std::optional<AppData>& appData);
    /// Nothing only for empty text; text that is not a JSON object gives ("", "").
    static std::optional<AppData> parseAppData(const std::optional<std::string>& text);
};

}  // namespace plovendale
