#include "sdk/core_helper.h"

#include <atomic>
#include <map>
#include <mutex>

#include "host/platform_services.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/constants.h"
#include "sdk/client_id.h"
#include "sdk/sdk_state.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

using MemoryState = internal::SdkState::Core;

std::atomic<internal::StartState> startStateNow{internal::StartState::NotStarted};

MemoryState& memory() {
    return internal::sdkState().core;
}

std::string propertyListString(const char* key) {
    return Platform::mainBundle()->infoString(key).value_or("");
}

// The value set in this process, else the property-list entry (kept for the rest of the process),
// else "". An entry of another type than string counts as absent.
std::string memoryOrPropertyList(std::string MemoryState::*slot, const char* entry) {
    {
        std::lock_guard lock(memory().mutex);
        const std::string& value = memory().*slot;
        if (!StringUtils::isNullOrEmpty(value)) return value;
    }
    std::string fromBundle = propertyListString(entry);
    if (StringUtils::isNullOrEmpty(fromBundle)) return "";
    std::lock_guard lock(memory().mutex);
    memory().*slot = fromBundle;
    return fromBundle;
}

void setMemory(std::string MemoryState::*slot, const std::string& value) {
    std::lock_guard lock(memory().mutex);
    memory().*slot = value;
}

}  // namespace

void internal::setStartState(StartState state) {
    startStateNow.store(state);
    setLibraryRunning(state == StartState::Started);
}

internal::StartState internal::startState() {
    return startStateNow.load();
}

bool internal::stopped() {
    return startState() == StartState::Stopped;
}

namespace {
std::atomic<bool> domainRefused{false};
}  // namespace

void internal::setServerDomainRefused(bool refused) {
    domainRefused.store(refused);
}

bool internal::serverDomainRefused() {
    return domainRefused.load();
}

const char* internal::whyNoAppKey() {
    switch (startState()) {
        case StartState::Stopped:
            return "the library was stopped by shutdown (start it again first)";
        case StartState::KeyRefused:
            return "the app key was refused at start (see the start line above)";
        case StartState::Started:
            return "no app key is in force";
        case StartState::NotStarted:
            break;
    }
    return "the library was not started (call start or startWith first, or set "
           "com.plovendale.APP_KEY in Info.plist)";
}

void internal::forgetClientIdMemory() {
    std::lock_guard lock(memory().mutex);
    memory().clientId.clear();
    memory().clientIdStored = false;
}

void CoreHelper::setAppKey(const std::string& appKey) {
    setMemory(&MemoryState::appKey, appKey);
}

std::string CoreHelper::getAppKey() {
    return memoryOrPropertyList(&MemoryState::appKey, APP_KEY);
}

void CoreHelper::setTargetDomain(const std::string& domain) {
    setMemory(&MemoryState::targetDomain, domain);
}

std::string CoreHelper::getTargetDomain() {
    return memoryOrPropertyList(&MemoryState::targetDomain, SERVER_DOMAIN);
}

// The store is asked with the mutex let go: it may be the host's, and so may the log sink that
// hears of a failed write; either may call back into the library.

bool CoreHelper::saveClientId(const std::string& clientId) {
    {
        std::lock_guard lock(memory().mutex);
        if (!StringUtils::isNullOrEmpty(memory().clientId)) return true;
        memory().clientId = clientId;
        memory().clientIdStored = false;
    }
    const bool stored = Platform::keyValueStore()->setString(clientId, kClientIdKey);
    std::lock_guard lock(memory().mutex);
    if (stored && memory().clientId == clientId) memory().clientIdStored = true;
    return stored;
}

std::string CoreHelper::getClientId() {
    std::string known;
    bool knownStored = false;
    {
        std::lock_guard lock(memory().mutex);
        known = memory().clientId;
        knownStored = memory().clientIdStored;
    }
    // The store is asked each time, even for an identifier it holds: another process on the data
    // directory may have forgotten the installation since, and its erased identifier must not
    // reach the service again. An identifier not yet stored may be on its way to the disk on
    // start-up's worker: asking the store waits for that write, so that no caller hands out an
    // identifier a crash could undo.
    auto stored = Platform::keyValueStore()->stringForKey(kClientIdKey);
    std::lock_guard lock(memory().mutex);
    auto& id = memory().clientId;
    // One this process saved or forgot meanwhile is newer than what the store answered; one not
    // stored yet is the one the service hears of.
    const bool changedMeanwhile = id != known || memory().clientIdStored != knownStored;
    if (changedMeanwhile || (!memory().clientIdStored && !id.empty())) return id;
    if (!StringUtils::isNullOrEmpty(stored)) {
        id = *stored;
        memory().clientIdStored = true;
        return id;
    }
    // The identifier this process read or stored is gone from the file: another process erased it.
    id.clear();
    memory().clientIdStored = false;
    return id;
}

bool CoreHelper::saveTraceId(const std::string& traceId) {
    return Platform::keyValueStore()->setString(traceId, kInstallKey);
}

std::string CoreHelper::getTraceId() {
    auto stored = Platform::keyValueStore()->stringForKey(kInstallKey);
    return StringUtils::isNullOrEmpty(stored) ? std::string() : *stored;
}

bool CoreHelper::isFirstInstall() {
    return StringUtils::isNullOrEmpty(getTraceId());
}

bool CoreHelper::saveAppData(const std::string& appData) {
    return Platform::keyValueStore()->setString(appData, kAppDataKey);
}

std::map<std::string, std::string> CoreHelper::attributionValues(
    const std::string& traceId, const std::optional<std::string>& appData) {
    std::map<std::string, std::string> values{{kInstallKey, traceId},
                                              {kAnsweredAppKey, getAppKey()}};
    if (appData) values.emplace(kAppDataKey, *appData);
    // The service now knows the installation by the identifier this process sent; one the store
    // refused at start-up goes with the answer, or the next launch would make another.
    std::lock_guard lock(memory().mutex);
    if (!memory().clientIdStored && !memory().clientId.empty())
        values.emplace(kClientIdKey, memory().clientId);
    return values;
}

void CoreHelper::attributionStored(const std::map<std::string, std::string>& values) {
    auto written = values.find(kClientIdKey);
    if (written == values.end()) return;
    std::lock_guard lock(memory().mutex);
    if (memory().clientId == written->second) memory().clientIdStored = true;
}

bool CoreHelper::saveAttribution(const std::string& traceId,
                                 const std::optional<std::string>& appData) {
    const auto values = attributionValues(traceId, appData);
    const bool stored = Platform::keyValueStore()->setStrings(values);
    if (stored) attributionStored(values);
    return stored;
}

std::string CoreHelper::answeredAppKey() {
    return Platform::keyValueStore()->stringForKey(kAnsweredAppKey).value_or("");
}

std::optional<std::string> CoreHelper::getAppData() {
    return Platform::keyValueStore()->stringForKey(kAppDataKey);
}

}  // namespace plovendale
