#include "plovendale/plovendale_c.h"

#include <chrono>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"

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

// Platform::configure replaces the log sink with the configuration's, so the sink a binding set
// is kept here and handed to every configuration.
struct BindingState {
    std::mutex mutex;
    Log::Sink logSink;
    std::shared_ptr<CallbackDelegate> delegate;
};

BindingState& bindingState() {
    static BindingState instance;
    return instance;
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
    return guarded(__func__, [&] {
        PlatformConfiguration configuration;
        configuration.dataDirectory = textOr(data_directory);
        configuration.bundleDirectory = textOr(bundle_directory);
        auto& state = bindingState();
        std::lock_guard lock(state.mutex);
        configuration.logSink = state.logSink;
        Platform::configure(std::move(configuration));
        return PLOVENDALE_OK;
    });
}

int plovendale_start(void) {
    return guarded(__func__, [] {
        Plovendale::start();
        return PLOVENDALE_OK;
    });
}

int plovendale_start_with_key(const char* app_key) {
    if (!app_key) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        Plovendale::startWith(app_key);
        return PLOVENDALE_OK;
    });
}

int plovendale_set_server_domain(const char* domain) {
    if (!domain) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        Plovendale::setServerDomain(domain);
        return PLOVENDALE_OK;
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
        state.delegate = delegate;
        Plovendale::registerPlovendaleDelegate(delegate);
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
        Log::Sink sink;
        if (callback) {
            sink = [callback, context](std::string_view line) {
                const std::string text(line);  // the callback wants a terminated string
                callback(context, text.c_str());
            };
        }
        auto& state = bindingState();
        std::lock_guard lock(state.mutex);
        state.logSink = sink;
        Log::setSink(std::move(sink));
        return PLOVENDALE_OK;
    });
}

}  // extern "C"
