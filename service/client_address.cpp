#include "client_address.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace plovendale::attribution_service {
namespace {

/// The address in canonical form, and its bytes; nothing when text is no address.
std::optional<std::pair<std::string, Network>> parseAddress(std::string_view text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    const std::string copy(text);
    Network network;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, copy.c_str(), &v4) == 1) {
        std::memcpy(network.bytes.data(), &v4, 4);
        network.prefix = 32;
    } else if (inet_pton(AF_INET6, copy.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(network.bytes.data(), v6.s6_addr + 12, 4);
            network.prefix = 32;
        } else {
            std::memcpy(network.bytes.data(), v6.s6_addr, 16);
            network.v6 = true;
            network.prefix = 128;
        }
    } else {
        return std::nullopt;
    }
    char out[INET6_ADDRSTRLEN] = {};
    inet_ntop(network.v6 ? AF_INET6 : AF_INET, network.bytes.data(), out, sizeof out);
    return std::make_pair(std::string(out), network);
}

bool contains(const Network& network, const Network& address) {
    if (network.v6 != address.v6) return false;
    const int whole = network.prefix / 8;
    if (std::memcmp(network.bytes.data(), address.bytes.data(), whole) != 0) return false;
    const int rest = network.prefix % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<unsigned char>(0xff << (8 - rest));
    return (network.bytes[whole] & mask) == (address.bytes[whole] & mask);
}

bool trusted(const std::vector<Network>& proxies, const Network& address) {
    for (const Network& proxy : proxies) {
        if (contains(proxy, address)) return true;
    }
    return false;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

/// An X-Forwarded-For entry: an address, "[v6]" or "[v6]:port", or "v4:port".
std::optional<std::pair<std::string, Network>> forwardedAddress(std::string_view entry) {
    entry = trim(entry);
    if (!entry.empty() && entry.front() == '[') {
        const auto close = entry.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        return parseAddress(entry.substr(1, close - 1));
    }
    const auto colon = entry.find(':');
    if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos)
        entry = entry.substr(0, colon);
    return parseAddress(entry);
}

}  // namespace

std::optional<Network> parseNetwork(std::string_view text) {
    const auto slash = text.find('/');
    auto address = parseAddress(text.substr(0, slash));
    if (!address) return std::nullopt;
    Network network = address->second;
    if (slash == std::string_view::npos) return network;
    const std::string_view bits = text.substr(slash + 1);
    int prefix = -1;
    const auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
    if (bits.empty() || ec != std::errc() || end != bits.data() + bits.size() || prefix < 0 ||
        prefix > (network.v6 ? 128 : 32))
        return std::nullopt;
    // A mapped IPv4 network ("::ffff:10.0.0.0/104") is kept as the IPv4 network it names.
    if (!network.v6 && text.substr(0, slash).find(':') != std::string_view::npos) prefix -= 96;
    if (prefix < 0) return std::nullopt;
    network.prefix = prefix;
    return network;
}

std::string clientAddress(const httplib::Request& req, const std::vector<Network>& trustedProxies) {
    auto peer = parseAddress(req.remote_addr);
    if (!peer) return req.remote_addr;
    if (trustedProxies.empty() || !trusted(trustedProxies, peer->second)) return peer->first;
    // Every hop appends its peer, so only the right end of the list is written by proxies we
    // trust; everything left of the first untrusted address is the client's to invent.
    std::string client = peer->first;
    int hops = 0;
    const std::size_t headers = req.get_header_value_count("X-Forwarded-For");
    for (std::size_t h = headers; h-- > 0;) {
        const std::string value = req.get_header_value("X-Forwarded-For", h);
        std::string_view list(value);
        for (;;) {
            if (++hops > kMaxForwardedHops) return client;
            const auto comma = list.rfind(',');
            const auto hop =
                forwardedAddress(comma == std::string_view::npos ? list : list.substr(comma + 1));
            if (!hop) return client;
            client = hop->first;
            if (!trusted(trustedProxies, hop->second)) return client;
            if (comma == std::string_view::npos) break;
            list = list.substr(0, comma);
        }
    }
    return client;
}

}  // namespace plovendale::attribution_service
