#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace plovendale {

/// What the host receives: the inviting link's parameters (opaque to the library) and the
/// distribution channel. Plain value; each field may be absent.
struct AppData {
    std::optional<std::string> paramsData;
    std::optional<std::string> channel;

    friend bool operator==(const AppData&, const AppData&) = default;
};

/// One decoded install-trace response of the attribution service.
struct ResData {
    std::int64_t code = 0;               ///< the service's "status"
    std::optional<std::string> msg;      ///< the service's "error" text
    std::optional<std::string> traceId;  ///< the service's trace identifier
    std::optional<AppData> data;         ///< the link's parameters and channel

    friend bool operator==(const ResData&, const ResData&) = default;
};

/// The marker shipped inside the application bundle.
struct SignData {
    std::optional<std::string> channel;
    std::optional<std::string> traceId;

    friend bool operator==(const SignData&, const SignData&) = default;
};

}  // namespace plovendale
