#pragma once

// The process-wide transfer engine of the URL session service: one libcurl multi handle driven by
// one I/O thread (curl_multi_poll, woken by curl_multi_wakeup), and one delegate thread that runs
// the events of sessions whose delegates want a thread of their own, in FIFO order. Started on
// first use; stopped and joined at process exit.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "transport/curl_handles.h"

namespace plovendale::curl {

/// What the I/O thread drives: the owner of one or more easy handles attached to the engine.
class Driven {
  public:
    virtual ~Driven() = default;
    /// The transfer of handle got a connection slot and runs from now on.
    virtual void exchangeStarted(CURL* handle) = 0;
    /// The transfer of handle finished (it is still attached; detach it).
    virtual void exchangeDone(CURL* handle, CURLcode code) = 0;
    /// When the handle's time runs out, or nothing while its clock stands.
    virtual std::optional<std::chrono::steady_clock::time_point> deadline(CURL* handle) const = 0;
    /// The deadline of handle passed.
    virtual void deadlinePassed(CURL* handle) = 0;
    /// The engine stopped with this transfer unfinished: it will never finish. Called on the
    /// stopping thread once the I/O thread is gone, with every handle already off the engine.
    virtual void engineStopped() = 0;

  private:
    friend class Engine;
    /// The engine's hold on this owner from retain() to release(), and its place in the engine's
    /// list of those it holds: kept here, so that holding a transfer costs no allocation.
    struct Hold {
        std::shared_ptr<Driven> self;
        Driven* previous = nullptr;
        Driven* next = nullptr;
    };
    Hold hold_;  ///< I/O thread only (or the stopping thread once it is gone)
};

class Engine {
  public:
    /// The engine, started on first call.
    static Engine& shared();
    /// Stops and joins both threads and releases every transfer, when the engine has started; from
    /// then on commands and events are dropped until restartIfStopped. False, and nothing done,
    /// on an engine thread (it cannot join itself).
    static bool stopIfStarted();
    /// Starts the threads again after stopIfStarted; never once the process is exiting. The caller
    /// makes sure no other thread uses the engine meanwhile.
    static void restartIfStopped();

    // Any thread.
    /// Runs command on the I/O thread, after the commands posted before it. Dropped after shutdown.
    void perform(std::function<void()> command);
    /// Runs event on the delegate thread, after the events posted before it. Dropped after
    /// shutdown.
    void deliver(std::function<void()> event);
    /// Whether the caller is the I/O thread.
    bool onIOThread() const { return std::this_thread::get_id() == ioThread_; }
    /// Queues work on the host's main queue. On the I/O thread the work of one pass (everything
    /// between two waits for the network) goes to the main queue together when the pass ends, so
    /// the main thread is woken once for it, not per event; elsewhere it is queued at once. Each
    /// thread's work keeps its order.
    void postToMainQueue(std::function<void()> task);

    // I/O thread only.
    /// Keeps owner alive until release(); the service holds running tasks this way.
    void retain(std::shared_ptr<Driven> owner);
    void release(Driven* owner);
    std::shared_ptr<Driven> strong(Driven* owner) const;
    /// Runs handle for owner: at once while fewer than kConnectionsPerOrigin transfers to its
    /// origin run, otherwise when those ahead of it have finished; owner->exchangeStarted() says
    /// when. False when libcurl refuses the handle.
    bool attach(CURL* handle, Driven* owner, const std::string& origin);
    /// Stops handle, running or still waiting for its slot.
    void detach(CURL* handle);
    /// Resumes receiving on a paused handle (its held data is delivered now).
    void unpause(CURL* handle);
    /// The I/O thread's easy handles for reuse.
    EasyPool& easyPool() { return easyPool_; }

    /// Threads of the engine (for tools and tests): 2 once started.
    static constexpr int kThreadCount = 2;
    /// Like the platform's per-host limit: further transfers to an origin wait for a slot.
    static constexpr std::size_t kConnectionsPerOrigin = 6;

  private:
    struct Shutdown;
    Engine();
    ~Engine() = default;
    void runIO();
    void runDelegates();
    void flushMainQueueWork();
    void finishedTransfers();
    void failedStarts();
    int expireTransfers();
    struct Origin;
    void startWaiting(Origin& slots);
    void forgetIdleOrigins();
    void stop();
    void startThreads();

    enum class Stage { Waiting, Running, StartFailed };
    struct Origin {
        std::size_t running = 0;
        std::deque<CURL*> waiting;
        std::size_t transfers = 0;  ///< of transfers_ in any stage; none: the origin is idle
    };
    struct Transfer {
        Driven* owner;
        Origin* slots;  ///< in origins_, which keeps an origin while a transfer refers to it
        Stage stage;
    };
    void addTransfer(CURL* handle, Transfer transfer);

    Multi multi_;
    std::mutex mutex_;  // commands_, events_, stopped_
    std::condition_variable eventsReady_;
    std::vector<std::function<void()>> commands_;
    std::deque<std::function<void()>> events_;
    bool stopped_ = false;
    bool exiting_ = false;  ///< stopped at process exit: for good

    // I/O thread only. The engine keeps the per-origin queue itself (rather than libcurl's
    // CURLMOPT_MAX_HOST_CONNECTIONS) so that a transfer's clock starts when it really runs.
    std::unordered_map<CURL*, Transfer> transfers_;
    // The entry of the transfer detached last, kept for the next one to attach: most transfers run
    // one after another, and each would otherwise allocate and free an entry of its own.
    std::unordered_map<CURL*, Transfer>::node_type spareTransfer_;
    // The running ones and those whose start libcurl refused, so that a pass of the loop looks
    // at a handful of transfers, not at every one queued behind them.
    std::vector<std::pair<CURL*, Driven*>> running_;
    std::vector<CURL*> startFailed_;
    std::vector<std::pair<CURL*, CURLcode>> finished_;  ///< finishedTransfers' list, kept for reuse
    // An origin stays once its transfers are done, so that the next request to it (most go to a
    // handful of origins) finds its queue; idle ones are forgotten past kKeptIdleOrigins.
    std::unordered_map<std::string, Origin> origins_;
    Origin* latestOrigin_ = nullptr;  ///< the entry of latestOriginName_ in origins_, or null
    std::string latestOriginName_;
    static constexpr std::size_t kKeptIdleOrigins = 32;
    Driven* firstRetained_ = nullptr;  ///< of the owners retained, linked through their hold_
    std::vector<std::function<void()>> forMainQueue_;  ///< this pass's main-queue work
    bool queuedThisPass_ = false;  ///< this thread queued a command since it took the queue
    EasyPool easyPool_;

    std::thread io_;
    std::thread::id ioThread_;  ///< io_'s id, fixed before any transfer can start
    std::thread delegates_;
};

/// Logs that a delegate threw (what: the exception's text, or null when it was no std::exception).
void logDelegateThrew(const char* what);

/// Runs a delegate's event; what it throws is logged and goes no further. A template, so that the
/// event (called once per delegate event) is not wrapped in a std::function on its way.
template <typename Event>
void runDelegateEvent(Event&& event) {
    try {
        event();
    } catch (const std::exception& exception) {
        logDelegateThrew(exception.what());
    } catch (...) {
        logDelegateThrew(nullptr);
    }
}

}  // namespace plovendale::curl
