#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "plovendale/sdk/constants.h"
#include "plovendale/sdk/records.h"
#include "plovendale/sdk/user_activity.h"

namespace plovendale {

/// The host's delegate. The library holds it weakly and never extends its lifetime.
class PlovendaleDelegate {
public:
    virtual ~PlovendaleDelegate() = default;
    /// Whether this delegate takes wake-up traces; one that does not answers false.
    virtual bool implementsGetWakeUpTrace() const { return true; }
    /// A wake-up link of this application arrived; called on the thread that handed in the link.
    virtual void getWakeUpTrace(const AppData& appData) { (void)appData; }
};

/// The library's facade. Every operation is class-level; call them from the host's main thread.
/// No operation throws or blocks on the network; outcomes that need the network arrive on the main
/// queue (see MainQueue).
class Plovendale {
public:
    /// Success of an install-trace query: the link's parameters and channel, or nothing when the
    /// service answered without them.
    using SuccessHandler = std::function<void(const std::optional<AppData>& appData)>;
    /// Failure of an install-trace query: a code (see the documentation) and a message, which may
    /// be absent.
    using FailHandler = std::function<void(std::int64_t code, const std::optional<std::string>& message)>;

    static std::string sdkVersion();

    /// Stores the delegate and starts with the key from the property list ("com.plovendale.APP_KEY").
    static void initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate);
    /// Stores the delegate and starts with `appKey`.
    static void initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate,
                                 const std::string& appKey);
    /// Starts with the key from the property list; the delegate is left as it is.
    static void start();
    /// Starts with `appKey`; the delegate is left as it is.
    static void startWith(const std::string& appKey);
    static void registerPlovendaleDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate);
    /// The service base URL, with scheme and without a trailing "/".
    static void setServerDomain(const std::string& domain);
    /// Whether no install trace has been stored yet.
    static bool isFirstOpen();

    /// Asks which link brought this installation, with the default timeout.
    static void getInstallTrace(SuccessHandler success, FailHandler fail);
    /// The same with a timeout in milliseconds (at least 4000; zero or less means 10000).
    static void getInstallTraceWithTimeout(double timeoutMs, SuccessHandler success, FailHandler fail);

    /// A custom-scheme link the application was opened with; true when it was this library's.
    static bool handleSchemeLinkURL(const std::optional<std::string>& url);
    /// A universal link; true when it was this library's.
    static bool handleUniversalLink(const std::optional<UserActivity>& activity);

    /// The single instance (created once, thread-safe).
    static Plovendale& shareInstance();
    /// The delegate, or nullptr when none is set or it has gone away.
    std::shared_ptr<PlovendaleDelegate> plovendaleDelegate() const;
    void setPlovendaleDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate);

    // Used by the library itself; hosts call the operations above.
    static void innerStart();
    static void innerStartWith(const std::string& appKey);
    static void commonInit(const std::string& appKey);
    static std::string getDomainUrl(const std::string& appKey);
    static void reportState(double startTime, std::int64_t code,
                            const std::optional<std::string>& message, const std::string& traceId);
    static bool processLinkUrl(const std::optional<std::string>& url);
    static AppData extractAppData(const std::optional<std::string>& value);

    Plovendale(const Plovendale&) = delete;
    Plovendale& operator=(const Plovendale&) = delete;

private:
    Plovendale() = default;
    mutable std::mutex mutex_;
    std::weak_ptr<PlovendaleDelegate> delegate_;
};

}  // namespace plovendale
