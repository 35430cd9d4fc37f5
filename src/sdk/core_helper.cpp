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

}  // namespace

void CoreHelper::setAppKey(const std::string& appKey) {
    std::lock_guard lock(memory().mutex);
    memory().appKey = appKey;
}

std::string CoreHelper::getAppKey() {
    {
        std::lock_guard lock(memory().mutex);
        if (!StringUtils::isNullOrEmpty(memory().appKey)) return memory().appKey;
    }
    // An entry of another type than string counts as absent.
    std::string fromBundle = propertyListString(APP_KEY);
    if (StringUtils::isNullOrEmpty(fromBundle)) return "";
    setAppKey(fromBundle);
    return fromBundle;
}

void CoreHelper::setTargetDomain(const std::string& domain) {
    std::lock_guard lock(memory().mutex);
    memory().targetDomain = domain;
}

std::string CoreHelper::getTargetDomain() {
    {
        std::lock_guard lock(memory().mutex);
        if (!StringUtils::isNullOrEmpty(memory().targetDomain)) return memory().targetDomain;
    }
    std::string fromBundle = propertyListString(SERVER_DOMAIN);
    if (StringUtils::isNullOrEmpty(fromBundle)) return "";
    setTargetDomain(fromBundle);
    return fromBundle;
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
