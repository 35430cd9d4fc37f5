#include "sdk/consent.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plovendale/platform/log.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/client_id.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/sdk_state.h"
#include "sdk/trace_state.h"

namespace plovendale {
namespace {

internal::SdkState::Consent& memory() {
    return internal::sdkState().consent;
}

}  // namespace

bool internal::trackingDisabled() {
    {
        std::lock_guard lock(memory().mutex);
        if (memory().disabled) return *memory().disabled;
    }
    const bool stored = Platform::keyValueStore()->boolForKey(kTrackingDisabledKey);
    std::lock_guard lock(memory().mutex);
    if (!memory().disabled) memory().disabled = stored;
    return *memory().disabled;
}

bool Plovendale::setTrackingDisabled(bool disabled) {
    {
        // The user's "no" holds for this process even when the disk refuses to keep it.
        std::lock_guard lock(memory().mutex);
        memory().disabled = disabled;
    }
    auto store = Platform::keyValueStore();
    const bool stored = disabled ? store->setBool(true, internal::kTrackingDisabledKey)
                                 : store->removeObjectForKey(internal::kTrackingDisabledKey);
    if (!stored) {
        Log::write(
            "[Plovendale] The tracking choice could not be stored; it holds for this run only.");
        internal::emitEvent("store.failed", {{"what", "tracking choice"}});
    }
    if (!disabled) {
        internal::sendOutboxSoon();
    }
    return stored;
}

bool Plovendale::isTrackingDisabled() {
    return internal::trackingDisabled();
}

bool Plovendale::forgetInstallation() {
    try {
        // An outcome being committed on the writer thread is written before the erase, or not.
        const auto noCommits = internal::holdWriterJobs();
        // First, so that no event write or batch answer under way can bring events back.
        internal::forgetOutbox();
        std::vector<std::string> keys{CoreHelper::kClientIdKey,   CoreHelper::kInstallKey,
                                      CoreHelper::kAppDataKey,    CoreHelper::kPasteKey,
                                      internal::kTraceFailureKey, CoreHelper::kAnsweredAppKey};
        for (auto& key : internal::outboxKeys()) keys.push_back(std::move(key));
        const bool erased = Platform::keyValueStore()->removeObjectsForKeys(keys);
        if (!erased) {
            internal::emitEvent("store.failed", {{"what", "forget"}});
            return false;
        }
        internal::forgetClientIdMemory();
        internal::forgetTraceState();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace plovendale
