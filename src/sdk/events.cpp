#include "sdk/events.h"

#include <memory>
#include <mutex>

#include "host/host_code.h"
#include "plovendale/platform/main_queue.h"
#include "sdk/sdk_state.h"

namespace plovendale::internal {
namespace {

SdkState::Events& observer() {
    return sdkState().events;
}

}  // namespace

void setEventObserver(Plovendale::EventObserver callback) {
    auto replacement =
        callback ? std::make_shared<const Plovendale::EventObserver>(std::move(callback)) : nullptr;
    std::shared_ptr<const Plovendale::EventObserver> previous;
    {
        std::lock_guard lock(observer().mutex);
        previous = std::exchange(observer().callback, std::move(replacement));
    }
    // The host's callable, and what it captured, are released on the main queue.
    if (previous) MainQueue::shared().async([released = std::move(previous)] {});
}

bool eventsObserved() {
    std::lock_guard lock(observer().mutex);
    return observer().callback != nullptr;
}

void emitEvent(std::string name, std::map<std::string, std::string> values) {
    std::shared_ptr<const Plovendale::EventObserver> callback;
    {
        std::lock_guard lock(observer().mutex);
        callback = observer().callback;
    }
    if (!callback) return;
    try {
        MainQueue::shared().async([callback = std::move(callback),
                                   event = PlovendaleEvent{std::move(name), std::move(values)}] {
            callHostCode("[Plovendale] The event observer", [&] { (*callback)(event); });
        });
    } catch (const std::exception&) {
        // Out of memory while queueing a diagnostic: the library's work goes on without it.
    }
}

}  // namespace plovendale::internal
