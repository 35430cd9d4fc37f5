#include "plovendale/plovendale_c.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capi/binding.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/sdk/app_key.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"

namespace plovendale {
namespace {

const char* orNull(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

// The wake-up callback stands in the facade as a delegate; the facade holds delegates weakly, so
// this layer keeps the one it registered alive.
class CallbackDelegate final : public PlovendaleDelegate {
  public:
    CallbackDelegate(plovendale_wake_up_callback callback, void* context)
        : callback_(callback), context_(context) {}
    void getWakeUpTrace(const AppData& appData) override {
        callback_(context_, appData.paramsData.value_or("").c_str(),
                  appData.channel.value_or("").c_str());
    }

  private:
    plovendale_wake_up_callback callback_;
    void* context_;
};

// What a binding set. No host code runs under the mutex: the callback is read under it and
// called after.
struct BindingState {
    std::mutex mutex;
    plovendale_log_callback logCallback = nullptr;
    void* logContext = nullptr;
    // Lines wait here for the thread that is calling the log callback, which takes them in order:
    // the callback is called one line at a time without a lock held across the call.
    std::deque<std::string> pendingLines;
    bool relaying = false;
    std::shared_ptr<CallbackDelegate> delegate;
};

BindingState& bindingState() {
    static BindingState instance;
    return instance;
}

// Far more than a callback falls behind by; beyond it a line goes to stderr rather than wait.
constexpr std::size_t kMaxPendingLines = 1024;

void writeToStandardError(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace

// The library's log sink while this layer is in use, for every configuration: it is one fixed
// function, so the order in which threads install it does not matter; the callback it reaches
// is read for each line.
void relayLine(std::string_view text) {
    auto& state = bindingState();
    bool relay = false;
    {
        std::lock_guard lock(state.mutex);
        // With the callback cleared, lines still waiting keep their place ahead of this one.
        const bool queue = state.logCallback || state.relaying;
        if (queue && state.pendingLines.size() < kMaxPendingLines) {
            state.pendingLines.emplace_back(text);
            if (state.relaying) return;  // the thread relaying takes it in turn
            state.relaying = relay = true;
        }
    }
    if (!relay) {
        writeToStandardError(text);
        return;
    }
    std::string line;
    for (;;) {
        plovendale_log_callback callback = nullptr;
        void* context = nullptr;
        {
            std::lock_guard lock(state.mutex);
            if (state.pendingLines.empty()) {
                state.relaying = false;
                return;
            }
            line = std::move(state.pendingLines.front());
            state.pendingLines.pop_front();
            callback = state.logCallback;
            context = state.logContext;
        }
        if (callback) {
            // A binding's callback that throws must not leave the relay taken for good.
            try {
                callback(context, line.c_str());
            } catch (...) {
            }
        } else {
            writeToStandardError(line);
        }
    }
}

namespace {

int kindOf(InstallTraceState::Kind kind) {
    switch (kind) {
        case InstallTraceState::Kind::InFlight:
            return PLOVENDALE_TRACE_IN_FLIGHT;
        case InstallTraceState::Kind::Attributed:
            return PLOVENDALE_TRACE_ATTRIBUTED;
        case InstallTraceState::Kind::Organic:
            return PLOVENDALE_TRACE_ORGANIC;
        case InstallTraceState::Kind::Failed:
            return PLOVENDALE_TRACE_FAILED;
        case InstallTraceState::Kind::Unknown:
            break;
    }
    return PLOVENDALE_TRACE_UNKNOWN;
}

void tellState(plovendale_trace_state_callback callback, void* context,
               const InstallTraceState& state) {
    const auto& appData = state.appData;
    callback(context, kindOf(state.kind), appData ? orNull(appData->paramsData) : nullptr,
             appData ? orNull(appData->channel) : nullptr, state.code, orNull(state.message));
}

}  // namespace
}  // namespace plovendale

struct plovendale_task {
    plovendale::MainQueue::Task work;
};

using namespace plovendale;

extern "C" {

const char* plovendale_version(void) {
    return SDK_VERSION;
}

int plovendale_start(void) {
    return guarded(__func__, [] {
        return Plovendale::start() ? PLOVENDALE_OK : PLOVENDALE_ERROR_INVALID_ARGUMENT;
    });
}

int plovendale_start_with_key(const char* app_key) {
    if (!app_key) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        const bool switches = internal::startState() == internal::StartState::Started &&
                              isValidAppKey(app_key) && CoreHelper::getAppKey() != app_key;
        if (Plovendale::startWith(app_key)) return static_cast<int>(PLOVENDALE_OK);
        return static_cast<int>(switches ? PLOVENDALE_ERROR_STATE
                                         : PLOVENDALE_ERROR_INVALID_ARGUMENT);
    });
}

int plovendale_set_server_domain(const char* domain) {
    if (!domain) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        return Plovendale::setServerDomain(domain) ? PLOVENDALE_OK
                                                   : PLOVENDALE_ERROR_INVALID_ARGUMENT;
    });
}

int plovendale_is_first_open(void) {
    return guarded(__func__, [] { return Plovendale::isFirstOpen() ? 1 : 0; });
}

int plovendale_get_install_trace(double timeout_ms, plovendale_trace_success success,
                                 plovendale_trace_failure failure, void* context) {
    return guarded(__func__, [&] {
        Plovendale::SuccessHandler onSuccess;
        if (success) {
            onSuccess = [success, context](const std::optional<AppData>& appData) {
                if (!appData) return success(context, nullptr, nullptr);
                success(context, orNull(appData->paramsData), orNull(appData->channel));
            };
        }
        Plovendale::FailHandler onFailure;
        if (failure) {
            onFailure = [failure, context](std::int64_t code,
                                           const std::optional<std::string>& message) {
                failure(context, code, orNull(message));
            };
        }
        Plovendale::getInstallTraceWithTimeout(timeout_ms, std::move(onSuccess),
                                               std::move(onFailure));
        return PLOVENDALE_OK;
    });
}

int plovendale_set_wake_up_callback(plovendale_wake_up_callback callback, void* context) {
    return guarded(__func__, [&] {
        auto delegate = callback ? std::make_shared<CallbackDelegate>(callback, context) : nullptr;
        auto& state = bindingState();
        std::lock_guard lock(state.mutex);
        // Registered under the mutex, so that the delegate kept here is the one the facade holds
        // weakly; registering only stores a weak pointer. The one replaced goes out in `delegate`.
        Plovendale::registerPlovendaleDelegate(delegate);
        state.delegate.swap(delegate);
        return PLOVENDALE_OK;
    });
}

int plovendale_handle_scheme_link(const char* url) {
    if (!url) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] { return Plovendale::handleSchemeLinkURL(url) ? 1 : 0; });
}

int plovendale_handle_universal_link(const char* webpage_url) {
    if (!webpage_url) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        return Plovendale::handleUniversalLink(
                   UserActivity{NSUserActivityTypeBrowsingWeb, webpage_url})
                   ? 1
                   : 0;
    });
}

int plovendale_drain_main_queue(void) {
    return guarded(__func__, [] {
        const std::size_t ran = MainQueue::shared().drain();
        constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
        return static_cast<int>(ran > most ? most : ran);
    });
}

int plovendale_run_main_queue_until(plovendale_done_predicate done, void* context,
                                    int64_t timeout_ms) {
    if (!done || timeout_ms < 0) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        const bool held = MainQueue::shared().runUntil(
            [done, context] { return done(context) != 0; }, std::chrono::milliseconds(timeout_ms));
        return held ? 1 : 0;
    });
}

int plovendale_set_main_queue_poster(plovendale_poster poster, void* context) {
    return guarded(__func__, [&] {
        auto& queue = MainQueue::shared();
        if (!poster) {
            queue.setDelayedPoster(nullptr);
            queue.setPoster(nullptr);
            return PLOVENDALE_OK;
        }
        auto post = [poster, context](std::chrono::milliseconds delay, MainQueue::Task work) {
            auto task = std::make_unique<plovendale_task>(plovendale_task{std::move(work)});
            poster(context, task.release(), delay.count());
        };
        queue.setDelayedPoster(post);
        queue.setPoster(
            [post](MainQueue::Task work) { post(std::chrono::milliseconds(0), std::move(work)); });
        return PLOVENDALE_OK;
    });
}

int plovendale_task_run(plovendale_task* task) {
    if (!task) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    // Released even when the work throws, and before this returns: the host runs each task once.
    const std::unique_ptr<plovendale_task> owned(task);
    return guarded(__func__, [&] {
        if (owned->work) owned->work();
        return PLOVENDALE_OK;
    });
}

int plovendale_set_log_callback(plovendale_log_callback callback, void* context) {
    return guarded(__func__, [&] {
        {
            auto& state = bindingState();
            std::lock_guard lock(state.mutex);
            state.logCallback = callback;
            state.logContext = context;
        }
        Log::setSink(relayLine);
        return PLOVENDALE_OK;
    });
}

int plovendale_set_tracking_disabled(int disabled) {
    return guarded(__func__,
                   [&] { return Plovendale::setTrackingDisabled(disabled != 0) ? 1 : 0; });
}

int plovendale_is_tracking_disabled(void) {
    return guarded(__func__, [] { return Plovendale::isTrackingDisabled() ? 1 : 0; });
}

int plovendale_forget_installation(void) {
    return guarded(__func__, [] { return Plovendale::forgetInstallation() ? 1 : 0; });
}

int plovendale_install_trace_state(plovendale_trace_state_callback details, void* context) {
    return guarded(__func__, [&] {
        const InstallTraceState state = Plovendale::installTraceState();
        if (details) tellState(details, context, state);
        return kindOf(state.kind);
    });
}

int64_t plovendale_add_install_trace_observer(plovendale_trace_state_callback observer,
                                              void* context) {
    if (!observer) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&]() -> int64_t {
        const std::uint64_t token = Plovendale::addInstallTraceObserver(
            [observer, context](const InstallTraceState& state) {
                tellState(observer, context, state);
            });
        return static_cast<int64_t>(token & static_cast<std::uint64_t>(INT64_MAX));
    });
}

int plovendale_remove_install_trace_observer(int64_t token) {
    if (token <= 0) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        Plovendale::removeInstallTraceObserver(static_cast<std::uint64_t>(token));
        return PLOVENDALE_OK;
    });
}

int plovendale_set_link_verification_key(const char* pem) {
    if (!pem) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] { return Plovendale::setLinkVerificationKey(pem) ? 1 : 0; });
}

int plovendale_shutdown(int64_t timeout_ms) {
    if (timeout_ms < 0) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        const bool done = Plovendale::shutdown(std::chrono::milliseconds(timeout_ms));
        std::shared_ptr<CallbackDelegate> released;
        {
            auto& state = bindingState();
            std::lock_guard lock(state.mutex);
            state.delegate.swap(released);
        }
        return done ? 1 : 0;
    });
}

}  // extern "C"
