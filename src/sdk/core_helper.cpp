#include "plovendale/sdk/core_helper.h"

#include <mutex>

#include "plovendale/platform/platform.h"
#include "plovendale/sdk/constants.h"
#include "plovendale/util/string_utils.h"

namespace plovendale {
namespace {

struct MemoryState {
    std::mutex mutex;
    std::string appKey;
    std::string targetDomain;
    std::string clientId;
};

MemoryState& memory() {
    static MemoryState instance;
    return instance;
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

void CoreHelper::setAppKey(const std::string& appKey) { setMemory(&MemoryState::appKey, appKey); }

std::string CoreHelper::getAppKey() { return memoryOrPropertyList(&MemoryState::appKey, APP_KEY); }

void CoreHelper::setTargetDomain(const std::string& domain) {
    setMemory(&MemoryState::targetDomain, domain);
}

std::string CoreHelper::getTargetDomain() {
    return memoryOrPropertyList(&MemoryState::targetDomain, SERVER_DOMAIN);
}

void CoreHelper::saveClientId(const std::string& clientId) {
    std::lock_guard lock(memory().mutex);
    if (!StringUtils::isNullOrEmpty(memory().clientId)) return;
    memory().clientId = clientId;
    Platform::keyValueStore()->setString(clientId, kClientIdKey);
}

std::string CoreHelper::getClientId() {
    std::lock_guard lock(memory().mutex);
    if (!StringUtils::isNullOrEmpty(memory().clientId)) return memory().clientId;
    auto stored = Platform::keyValueStore()->stringForKey(kClientIdKey);
    if (StringUtils::isNullOrEmpty(stored)) return "";
    memory().clientId = *stored;
    return *stored;
}

void CoreHelper::saveTraceId(const std::string& traceId) {
    Platform::keyValueStore()->setString(traceId, kInstallKey);
}

std::string CoreHelper::getTraceId() {
    auto stored = Platform::keyValueStore()->stringForKey(kInstallKey);
    return stored.value_or("");
}

bool CoreHelper::isFirstInstall() { return StringUtils::isNullOrEmpty(getTraceId()); }

void CoreHelper::saveAppData(const std::string& appData) {
    Platform::keyValueStore()->setString(appData, kAppDataKey);
}

std::optional<std::string> CoreHelper::getAppData() {
    return Platform::keyValueStore()->stringForKey(kAppDataKey);
}

}  // namespace plovendale
