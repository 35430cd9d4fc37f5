#include "plovendale/plovendale_c.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/app_key.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "util/json_serialization.h"

namespace plovendale {
namespace {

// A binding cannot catch C++ exceptions: whatever escapes the facade stops here, once logged.
template <typename Body>
int guarded(const char* function, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            Log::write(std::string("[Plovendale] ") + function + " failed: " + e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            Log::write(std::string("[Plovendale] ") + function + " failed.");
        } catch (...) {
        }
    }
    return PLOVENDALE_ERROR_INTERNAL;
}

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

std::string textOr(const char* text) {
    return text ? std::string(text) : std::string();
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

int plovendale_configure(const char* data_directory, const char* bundle_directory) {
    plovendale_configuration configuration{};
    configuration.size = sizeof configuration;
    configuration.data_directory = data_directory;
    configuration.bundle_directory = bundle_directory;
    return plovendale_configure_with(&configuration);
}

int plovendale_configure_with(const plovendale_configuration* given) {
    if (!given || given->size < offsetof(plovendale_configuration, ca_file))
        return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        if (internal::startState() == internal::StartState::Started) {
            Log::write(
                "[Plovendale] plovendale_configure refused: the library is running; call "
                "plovendale_shutdown first.");
            return static_cast<int>(PLOVENDALE_ERROR_STATE);
        }
        // What a caller built against an older, shorter struct did not pass reads as unset.
        plovendale_configuration c{};
        std::memcpy(&c, given, std::min(given->size, sizeof c));
        PlatformConfiguration configuration;
        configuration.dataDirectory = textOr(c.data_directory);
        configuration.bundleDirectory = textOr(c.bundle_directory);
        configuration.additionalCAFile = textOr(c.ca_file);
        if (c.device_model) configuration.machineName = c.device_model;
        if (c.os_version) {
            OperatingSystemVersion version;
            char tail = 0;
            long long parts[3] = {0, 0, 0};
            if (std::sscanf(c.os_version, "%lld.%lld.%lld%c", &parts[0], &parts[1], &parts[2],
                            &tail) != 3) {
                Log::write(std::string("[Plovendale] plovendale_configure_with refused the OS "
                                       "version, it is not MAJOR.MINOR.PATCH: ") +
                           c.os_version);
                return static_cast<int>(PLOVENDALE_ERROR_INVALID_ARGUMENT);
            }
            version.major = parts[0];
            version.minor = parts[1];
            version.patch = parts[2];
            configuration.osVersion = version;
        }
        if (c.screen_width > 0 && c.screen_height > 0) {
            configuration.screen = ScreenMetrics{c.screen_width, c.screen_height, c.screen_scale,
                                                 c.screen_native_scale};
        }
        // Platform::configure installs the configuration's sink: the relay keeps the callback a
        // binding set (or stderr) in place.
        configuration.logSink = relayLine;
        return static_cast<int>(Platform::configure(std::move(configuration))
                                    ? PLOVENDALE_OK
                                    : PLOVENDALE_ERROR_INVALID_ARGUMENT);
    });
}

int plovendale_set_pasteboard(const char* plain_text, const char* html) {
    return guarded(__func__, [&] {
        PasteboardItem item;
        if (plain_text) item.emplace(Pasteboard::kPlainTextType, std::string(plain_text));
        if (html) item.emplace(Pasteboard::kHTMLType, std::string(html));
        std::vector<PasteboardItem> items;
        if (!item.empty()) items.push_back(std::move(item));
        Platform::generalPasteboard()->setItems(std::move(items));
        return static_cast<int>(PLOVENDALE_OK);
    });
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

int plovendale_set_event_observer(plovendale_event_callback observer, void* context) {
    return guarded(__func__, [&] {
        if (!observer) {
            Plovendale::setEventObserver(nullptr);
            return PLOVENDALE_OK;
        }
        Plovendale::setEventObserver([observer, context](const PlovendaleEvent& event) {
            // A map's members come in key order, as the JSON text wants them.
            const std::vector<JSONSerialization::StringMember> members(event.values.begin(),
                                                                       event.values.end());
            const auto values = JSONSerialization::dataWithStringMembers(members);
            observer(context, event.name.c_str(), values ? toString(*values).c_str() : "{}");
        });
        return PLOVENDALE_OK;
    });
}

int plovendale_set_link_verification_key(const char* pem) {
    if (!pem) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] { return Plovendale::setLinkVerificationKey(pem) ? 1 : 0; });
}

int plovendale_queued_report_count(void) {
    return guarded(__func__, [] {
        constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
        return static_cast<int>(std::min(Plovendale::queuedReportCount(), most));
    });
}

int plovendale_track_event(const char* name, const char* params_json, const char* revenue_amount,
                           const char* revenue_currency, const char* event_id) {
    if (!name || !revenue_amount != !revenue_currency) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        std::map<std::string, std::string> params;
        if (params_json) {
            const auto object = parseJSONText(params_json);
            if (!object.is_object()) return static_cast<int>(PLOVENDALE_ERROR_INVALID_ARGUMENT);
            for (const auto& [key, value] : object.items()) {
                if (!value.is_string()) return static_cast<int>(PLOVENDALE_ERROR_INVALID_ARGUMENT);
                params[key] = value.get<std::string>();
            }
        }
        std::optional<Revenue> revenue;
        if (revenue_amount) revenue = Revenue{revenue_amount, revenue_currency};
        std::optional<std::string> id;
        if (event_id) id = event_id;
        return Plovendale::trackEvent(name, params, revenue, id) ? 1 : 0;
    });
}

int plovendale_flush(double timeout_ms) {
    return guarded(__func__, [&] { return static_cast<int>(Plovendale::flush(timeout_ms)); });
}

int plovendale_queued_event_count(void) {
    return guarded(__func__, [] {
        constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
        return static_cast<int>(std::min(Plovendale::queuedEventCount(), most));
    });
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
