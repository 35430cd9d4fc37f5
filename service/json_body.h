#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace plovendale::attribution_service {

/// Deeper documents are refused: nothing the client sends nests, and the JSON writer recurses.
inline constexpr int kMaxJsonDepth = 32;

/// Parses a request body that must be a JSON object. Never throws; on failure returns nothing and
/// sets error to a text for the client.
std::optional<nlohmann::json> parseObjectBody(const std::string& body, std::string& error);

/// Compact JSON text; invalid UTF-8 in stored strings is replaced rather than thrown on.
std::string jsonText(const nlohmann::json& value);

/// The member's value when it is a string; nothing when it is missing or of another kind.
std::optional<std::string> stringMember(const nlohmann::json& object, const char* name);

void replyJson(httplib::Response& res, int httpStatus, const nlohmann::json& body);
/// HTTP status and the service's error body {"status":httpStatus,"error":message}.
void replyError(httplib::Response& res, int httpStatus, const std::string& message);

}  // namespace plovendale::attribution_service
