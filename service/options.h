#pragma once

#include <string>
#include <vector>

namespace plovendale::attribution_service {

inline constexpr const char* kDefaultDatabase = "attribution-service.db";

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: the system picks a free port
    std::string database = kDefaultDatabase;
    std::string portFile;  // written once the socket listens, when set
    bool quiet = false;
    int reportDelayMs = 0;        // test aid: hold each install-trace answer this long
    int stateStatus = 200;        // test aid: answer every state report with this HTTP status
    int unmatchedStatus = 200;    // test aid: the "status" for installs no link accounts for
    std::string linkSigningKey;   // PEM file of the Ed25519 key that signs the links it makes
    int linkLifetimeSeconds = 0;  // the links it makes expire this long after; 0: never
    int memoryBudgetMiB = 256;    // what all connections may buffer together
    std::string adminTokenFile;   // "" : made next to the database on first start
    std::vector<std::string> allowedHosts;    // empty: the listening address and localhost
    std::string publicUrl;                    // base of landing URLs; "": the listening address
    std::vector<std::string> trustedProxies;  // CIDR networks, checked when parsed
    int matchWindowSeconds = 0;               // fingerprint matching; 0: off
    int clickRetentionSeconds = 604800;
    int databasePool = 8;  // PostgreSQL: connections kept open at most
};

struct RegisterOptions {
    std::string database = kDefaultDatabase;
    std::string appKey;
    std::string params;
    std::string channel;
    std::string traceId;    // "" picks a random one
    std::string publicUrl;  // when set, the landing URL is printed too
    std::string iosUrl;
    std::string androidUrl;
    std::string defaultUrl;
    std::string title;
    std::string description;
    std::string imageUrl;
};

/// A base URL for landing pages: http or https, no query or fragment; "" when it is not one.
/// Trailing slashes are dropped.
std::string normalPublicUrl(const std::string& url);

struct CommandLine {
    enum class Mode { Serve, Register, Help, Invalid };
    Mode mode = Mode::Serve;
    ServeOptions serve;
    RegisterOptions registration;
    std::string error;  // why the command line is Invalid
};

/// Parses the arguments after the program name. Options take their value as the next argument
/// or after '=' ("--port 8080", "--port=8080").
CommandLine parseCommandLine(const std::vector<std::string>& args);

std::string usageText();

}  // namespace plovendale::attribution_service
