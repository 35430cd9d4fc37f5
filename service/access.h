#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plovendale::attribution_service {

/// Who may call a route.
enum class Access {
    /// Apps and landing pages call it from anywhere: no credential, but a body must be JSON and a
    /// browser's Origin, when sent, must be the service's own.
    Client,
    /// The operator only: `Authorization: Bearer <token>`.
    Operator,
};

/// The one table of who may call what, by method and path. A route not in it is the operator's.
Access accessFor(std::string_view method, std::string_view path);

/// The Host names a service answers. A name matches with or without a port.
class AllowedHosts {
  public:
    explicit AllowedHosts(std::vector<std::string> names) : names_(std::move(names)) {}
    /// host: a Host header ("name", "name:port", "[v6]:port").
    [[nodiscard]] bool allows(std::string_view host) const;
    /// origin: an Origin header; "null" and anything but http(s)://<allowed host> is foreign.
    [[nodiscard]] bool isOwnOrigin(std::string_view origin) const;

  private:
    std::vector<std::string> names_;
};

/// Whether `authorization` is "Bearer <token>", compared in constant time.
bool bearerMatches(std::string_view authorization, std::string_view token);

/// Whether a Content-Type names application/json (parameters and case aside).
bool isJsonMediaType(std::string_view contentType);

}  // namespace plovendale::attribution_service
