#include "sdk/trace_state.h"

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "host/host_code.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/data_util.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/sdk_state.h"
#include "util/json_serialization.h"

namespace plovendale {
namespace {

internal::SdkState::Trace& memory() {
    return internal::sdkState().trace;
}

std::optional<InstallTraceState> storedFailure() {
    auto text = Platform::keyValueStore()->stringForKey(internal::kTraceFailureKey);
    if (!text) return std::nullopt;
    const auto stored = parseJSONText(*text);
    if (!stored.is_object() || !stored.contains("code") || !stored["code"].is_number_integer())
        return std::nullopt;
    InstallTraceState state{
        InstallTraceState::Kind::Failed, std::nullopt, stored["code"].get<std::int64_t>(), {}};
    if (stored.contains("message") && stored["message"].is_string())
        state.message = stored["message"].get<std::string>();
    return state;
}

void persistFailure(const InstallTraceState& failure) {
    const std::string text = internal::storedFailureText(failure);
    if (!Platform::keyValueStore()->setString(text, internal::kTraceFailureKey)) {
        internal::emitEvent("store.failed", {{"what", "trace state"}});
    }
}

// The state, and whether it settles an observer now: a stored answer does, and so does an outcome
// of this process with nothing in flight; a failure read from an earlier launch does not.
InstallTraceState currentState(bool* settled) {
    *settled = false;
    if (!CoreHelper::isFirstInstall()) {
        *settled = true;
        auto cached = DataUtil::parseAppData(CoreHelper::getAppData());
        if (cached) return {InstallTraceState::Kind::Attributed, cached, 0, {}};
        return {InstallTraceState::Kind::Organic, std::nullopt, 0, {}};
    }
    std::optional<InstallTraceState> outcome;
    {
        std::lock_guard lock(memory().mutex);
        if (memory().inFlight > 0) return {InstallTraceState::Kind::InFlight, std::nullopt, 0, {}};
        outcome = memory().outcome;
    }
    if (outcome) {
        *settled = true;
        return *outcome;
    }
    return storedFailure().value_or(InstallTraceState{});
}

void post(Plovendale::InstallTraceObserver observer, const InstallTraceState& state) {
    MainQueue::shared().async([observer = std::move(observer), state] {
        callHostCode("[Plovendale] The install trace observer", [&] { observer(state); });
    });
}

void notifyIfSettled() {
    {
        // With nobody to tell, the state is not worth its reads (a stored answer is parsed).
        std::lock_guard lock(memory().mutex);
        if (memory().observers.empty()) return;
    }
    bool settled = false;
    const InstallTraceState state = currentState(&settled);
    if (!settled) return;
    std::map<std::uint64_t, Plovendale::InstallTraceObserver> observers;
    {
        std::lock_guard lock(memory().mutex);
        observers.swap(memory().observers);
    }
    for (auto& [token, observer] : observers) post(std::move(observer), state);
}

}  // namespace

const char* InstallTraceState::nameOf(Kind kind) {
    switch (kind) {
        case Kind::InFlight:
            return "inFlight";
        case Kind::Attributed:
            return "attributed";
        case Kind::Organic:
            return "organic";
        case Kind::Failed:
            return "failed";
        case Kind::Unknown:
            break;
    }
    return "unknown";
}

std::uint64_t internal::traceQueryStarted() {
    std::lock_guard lock(memory().mutex);
    ++memory().inFlight;
    return memory().generation;
}

void internal::traceQueryEnded(const InstallTraceState& outcome, bool persist,
                               std::uint64_t generation) {
    {
        std::lock_guard lock(memory().mutex);
        if (generation != 0) {
            if (generation != memory().generation) return;
            if (memory().inFlight > 0) --memory().inFlight;
        }
        memory().outcome = outcome;
    }
    if (persist && outcome.kind == InstallTraceState::Kind::Failed) {
        // After a query's answer, the library's own thread waits for the disk, not the host's
        // main queue. A query that failed before it was sent stores it within the host's call
        // (a host callback at start-up may hold the store then); after shutdown no writer thread
        // is started again for it.
        if (generation == 0 || internal::stopped()) {
            persistFailure(outcome);
        } else {
            internal::runOnWriter([outcome, generation = internal::installationGeneration()] {
                // Not for an installation forgotten meanwhile.
                if (generation == internal::installationGeneration()) persistFailure(outcome);
            });
        }
    }
    notifyIfSettled();
    // Events held for this answer may go now (this launch's own: no need to read what other
    // launches queued).
    internal::sendOutboxSoon(false, false);
}

std::string internal::storedFailureText(const InstallTraceState& failure) {
    nlohmann::json stored = {{"code", failure.code}};
    if (failure.message) stored["message"] = *failure.message;
    return stored.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::uint64_t internal::installationGeneration() {
    std::lock_guard lock(memory().mutex);
    return memory().generation;
}

bool internal::traceSettled() {
    bool settled = false;
    currentState(&settled);
    return settled;
}

void internal::forgetTraceState() {
    std::lock_guard lock(memory().mutex);
    memory().outcome.reset();
    memory().inFlight = 0;
    ++memory().generation;
}

void internal::abandonQueriesInFlight() {
    std::lock_guard lock(memory().mutex);
    memory().inFlight = 0;
    ++memory().generation;
}

InstallTraceState Plovendale::installTraceState() {
    bool settled = false;
    return currentState(&settled);
}

std::uint64_t Plovendale::addInstallTraceObserver(InstallTraceObserver observer) {
    std::uint64_t token = 0;
    {
        std::lock_guard lock(memory().mutex);
        token = memory().nextToken++;
        if (observer) memory().observers.emplace(token, std::move(observer));
    }
    notifyIfSettled();
    return token;
}

void Plovendale::removeInstallTraceObserver(std::uint64_t token) {
    Plovendale::InstallTraceObserver removed;
    {
        std::lock_guard lock(memory().mutex);
        auto it = memory().observers.find(token);
        if (it == memory().observers.end()) return;
        removed = std::move(it->second);
        memory().observers.erase(it);
    }
    MainQueue::shared().async([released = std::move(removed)] {});
}

}  // namespace plovendale
