#pragma once

#include <optional>
#include <string>

namespace plovendale {

/// The library's state between calls and between runs: the application key and service base URL
/// (in memory, from the host or the property list), and the client identifier, trace identifier
/// and cached app data (in the key-value store). The in-memory values are guarded, so calls from
/// the host's thread and the main queue may interleave.
class CoreHelper {
public:
    static constexpr const char* kClientIdKey = "com.plovendale.client_id";
    static constexpr const char* kInstallKey = "com.plovendale.install_key";
    static constexpr const char* kAppDataKey = "com.plovendale.appData_key";
    static constexpr const char* kPasteKey = "com.plovendale.paste_key";

    static void setAppKey(const std::string& appKey);
    /// The key set in this process, else the property-list entry (then kept), else "".
    static std::string getAppKey();
    static void setTargetDomain(const std::string& domain);
    static std::string getTargetDomain();

    /// Keeps and persists `clientId` only while no identifier is known in this process.
    static void saveClientId(const std::string& clientId);
    static std::string getClientId();

    static void saveTraceId(const std::string& traceId);
    static std::string getTraceId();
    /// True exactly while no trace identifier is stored.
    static bool isFirstInstall();

    static void saveAppData(const std::string& appData);
    static std::optional<std::string> getAppData();
};

}  // namespace plovendale
