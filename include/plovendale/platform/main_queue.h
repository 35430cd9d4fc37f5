#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "plovendale/export.h"

namespace plovendale {

/// The host's main queue: a serial FIFO queue whose work runs on the thread that drains it (the
/// host's main thread). A host with its own event loop installs a poster instead, and every task is
/// then handed to that loop. `async` is safe from any thread; draining belongs to one thread.
class PLOVENDALE_API MainQueue {
  public:
    using Task = std::function<void()>;
    using Poster = std::function<void(Task)>;
    /// Hands a task to the host's loop to run once `delay` has passed.
    using DelayedPoster = std::function<void(std::chrono::milliseconds delay, Task)>;

    /// The longest delay asyncAfter keeps, and how many delayed tasks may wait at once.
    static constexpr std::chrono::milliseconds kMaxDelay = std::chrono::hours(1);
    static constexpr std::size_t kMaxDelayedTasks = 1024;

    static MainQueue& shared();

    /// Queues a task (or hands it to the host's poster). Never runs it on the caller's stack.
    void async(Task task);
    /// Queues tasks in their order in one step: the draining thread is woken once for them all.
    void asyncAll(std::vector<Task> tasks);

    /// Queues a task to run on this queue once `delay` (at most kMaxDelay) has passed; no thread
    /// waits for it. False, and the task is dropped, when kMaxDelayedTasks already wait. With a
    /// host poster and no delayed poster, a due task is handed to the poster the next time work is
    /// queued. Safe from any thread.
    bool asyncAfter(std::chrono::milliseconds delay, Task task);

    /// Runs every queued task, including those queued while draining; returns how many ran.
    std::size_t drain();

    /// Runs queued work and waits for more until `done` answers true or `timeout` passes; returns
    /// whether `done` held. `done` is asked after each pass over the work queued at its start and
    /// at least every few milliseconds; the call returns by its timeout (plus the task running
    /// then) however much work keeps arriving.
    /// Tools and tests use it in place of a host's run loop.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    /// Installs the host's poster; an empty function returns to the built-in queue. The poster is
    /// called on any thread, the library's I/O thread among them: it must hand the task on and
    /// return at once (a poster that blocks holds up every transfer while it does).
    /// The library relies on the queue being serial: the host's loop must run the tasks it is
    /// handed one at a time, never two at once, on one thread, and in the order they were posted
    /// (an answer is stored before the handler that reports it runs). A loop that runs one before
    /// an earlier one (a swap-remove queue, a priority queue) is said once in the log, and an
    /// install-trace answer that cannot be read then fails with -10007 rather than blaming the
    /// service.
    void setPoster(Poster poster);
    /// Installs the host's timer for asyncAfter; an empty function keeps delayed tasks here. A
    /// task handed here runs once its delay has passed, on the same thread and one at a time with
    /// the poster's tasks; among tasks that are due, those posted earlier run first.
    void setDelayedPoster(DelayedPoster poster);

    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

  private:
    MainQueue() = default;
    void enqueue(std::span<Task> tasks);
    bool runNext();  ///< runs the oldest queued task; false when there was none
    /// Moves delayed tasks that are due to the queue, or, when asked and a poster is installed,
    /// answers them for the poster. Called with the state's mutex held.
    std::vector<Task> promoteDueLocked(bool forPosterIfAny);
    struct State;
    State& state();
};

}  // namespace plovendale
