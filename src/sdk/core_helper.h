#pragma once

#include <map>
#include <optional>
#include <string>

#include "signals/pasteboard_helper.h"

namespace plovendale {

/// The library's state between calls and between runs: the application key and service base URL
/// (in memory, from the host or the property list), and the client identifier, trace identifier
/// and cached app data (in the key-value store). The in-memory values are guarded, so calls from
/// the host's thread and the main queue may interleave. The save operations answer whether the
/// value reached the store.
class CoreHelper {
  public:
    static constexpr const char* kClientIdKey = "com.plovendale.client_id";
    static constexpr const char* kInstallKey = "com.plovendale.install_key";
    static constexpr const char* kAppDataKey = "com.plovendale.appData_key";
    static constexpr const char* kPasteKey = UIPasteboardHelper::kPasteKey;
    /// The app key the stored answer was given for (a later key's -10001 names it).
    static constexpr const char* kAnsweredAppKey = "com.plovendale.answer_app_key";

    static void setAppKey(const std::string& appKey);
    /// The key set in this process, else the property-list entry (then kept), else "".
    static std::string getAppKey();
    static void setTargetDomain(const std::string& domain);
    static std::string getTargetDomain();

    /// Keeps and persists `clientId` only while no identifier is known in this process. When the
    /// store refuses it, it is still kept for this process and stored with the answer.
    static bool saveClientId(const std::string& clientId);
    static std::string getClientId();

    static bool saveTraceId(const std::string& traceId);
    /// The stored trace identifier; "" when none is stored or the stored one is empty.
    static std::string getTraceId();
    /// True exactly while no trace identifier is stored.
    static bool isFirstInstall();

    static bool saveAppData(const std::string& appData);
    static std::optional<std::string> getAppData();

    /// Stores the trace identifier and, when given, the cached app data as one write, so that an
    /// installation is never attributed without the cache that answers its later queries. A
    /// client identifier the store refused earlier in this process goes in the same write. False
    /// when the store refused it: then none of them is stored.
    static bool saveAttribution(const std::string& traceId,
                                const std::optional<std::string>& appData);
    /// The values saveAttribution writes, for a caller that writes them with others in one write;
    /// it calls attributionStored once that write took.
    static std::map<std::string, std::string> attributionValues(
        const std::string& traceId, const std::optional<std::string>& appData);
    static void attributionStored(const std::map<std::string, std::string>& values);
    /// The app key the stored answer was given for; "" when none is stored or it predates this.
    static std::string answeredAppKey();
};

namespace internal {
/// Where start-up stands in this process. Stopped is set by Plovendale::shutdown and left by the
/// next start-up: meanwhile a query fails at once without reaching for the platform services that
/// shutdown released (nor opening default ones). KeyRefused: the last start-up was refused its
/// key. The texts a host reads when a call finds no key say which of these it is.
enum class StartState { NotStarted, Started, KeyRefused, Stopped };
void setStartState(StartState state);
StartState startState();
bool stopped();
/// Set when setServerDomain refused a URL while none was in force, cleared when one is taken:
/// meanwhile nothing goes to the default service, which the host did not mean.
void setServerDomainRefused(bool refused);
bool serverDomainRefused();
/// Why no key is in force, as a log line's end: "the library was not started (...)".
const char* whyNoAppKey();
}  // namespace internal

}  // namespace plovendale
