#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "plovendale/export.h"
#include "plovendale/sdk/records.h"

namespace plovendale {

/// Where this installation stands with the install-trace query. Plain value.
struct PLOVENDALE_API InstallTraceState {
    enum class Kind {
        Unknown,     ///< not asked yet (or forgotten)
        InFlight,    ///< a query is waiting for the service
        Attributed,  ///< the service named the link; appData holds it
        Organic,     ///< the service answered without a link
        Failed,      ///< the last query failed; code and message as the fail handler got them
    };
    Kind kind = Kind::Unknown;
    std::optional<AppData> appData;
    std::int64_t code = 0;
    std::optional<std::string> message;

    /// Attributed, organic and failed end a query; the other two wait for one.
    bool isFinal() const {
        return kind == Kind::Attributed || kind == Kind::Organic || kind == Kind::Failed;
    }
    /// "unknown", "inFlight", "attributed", "organic" or "failed".
    static const char* nameOf(Kind kind);

    friend bool operator==(const InstallTraceState&, const InstallTraceState&) = default;
};

/// Something the library did, for the host's diagnostics: a name such as "query.started" and a
/// few string values (docs/events.md lists them all). Never carries more about the user than the
/// library already sends to the service.
struct PLOVENDALE_API PlovendaleEvent {
    std::string name;
    std::map<std::string, std::string> values;

    friend bool operator==(const PlovendaleEvent&, const PlovendaleEvent&) = default;
};

}  // namespace plovendale
