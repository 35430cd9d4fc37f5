#pragma once

#include <httplib.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plovendale::attribution_service {

/// An IPv4 or IPv6 network: "10.0.0.0/8", "2001:db8::/32"; a bare address is the one address.
struct Network {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};
    int prefix = 0;
};

std::optional<Network> parseNetwork(std::string_view text);

/// The request's client: the socket's peer, or, when the peer is one of the trusted proxies, the
/// right-most address of X-Forwarded-For that is not one (all headers of that name, in order, as
/// one list). The walk stops at an entry that is not an address (the last good hop stands) and
/// after kMaxForwardedHops entries, so a hostile header costs a bounded, small amount of work.
/// Addresses are written canonically ("::ffff:1.2.3.4" as "1.2.3.4").
std::string clientAddress(const httplib::Request& req, const std::vector<Network>& trustedProxies);

inline constexpr int kMaxForwardedHops = 32;

}  // namespace plovendale::attribution_service
