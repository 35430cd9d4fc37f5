#include "plovendale/platform/main_queue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>

#include "host/main_queue_order.h"
#include "plovendale/platform/log.h"

namespace plovendale {

struct MainQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    std::multimap<std::chrono::steady_clock::time_point, Task> delayed;
    Poster poster;
    DelayedPoster delayedPoster;
    // A host that never drains the built-in queue gets no outcome at all, and nothing else tells
    // it why: a watcher says so once per stall, naming the call to make.
    std::condition_variable drained;
    std::chrono::steady_clock::time_point lastDrain;  // a drain began, or tasks began to wait
    bool watching = false;
};

namespace {

// The host's loop must run posted tasks one at a time, in the order posted: a transfer's answer
// reaches the main queue as several tasks (its bytes, then its end), and its end run first finds
// no bytes. Each task handed to the host carries its place among the tasks its thread posted, so
// a loop that runs one before an earlier one is caught at once, before that task does any harm.
// Counting starts again with each poster: a new loop owes nothing to the order of the old one's.
struct PostingOrder {
    std::mutex mutex;
    std::atomic<std::uint64_t> epoch{1};  // which poster the counts belong to; changed under mutex
    std::map<std::uint64_t, std::uint64_t> ranUpTo;  // per posting thread: last place run
    std::atomic<bool> broken{false};
    std::atomic<bool> said{false};
};

PostingOrder& postingOrder() {
    // Never destroyed, like the queue's state: tasks may run while statics are torn down.
    static PostingOrder* instance = new PostingOrder;  // NOLINT(cppcoreguidelines-owning-memory)
    return *instance;
}

// Threads that post many tasks are few (the host's, the I/O thread); a host that posts from ever
// new threads makes the table forget them rather than grow.
constexpr std::size_t kMaxPostingThreads = 1024;

struct Place {
    std::uint64_t epoch;
    std::uint64_t thread;
    std::uint64_t index;
};

Place nextPlace() {
    static std::atomic<std::uint64_t> threads{0};
    thread_local const std::uint64_t thread = ++threads;
    thread_local std::uint64_t epoch = 0;
    thread_local std::uint64_t index = 0;
    auto& order = postingOrder();
    const std::uint64_t current = order.epoch.load();
    if (epoch != current) {
        epoch = current;
        index = 0;
    }
    return {current, thread, ++index};
}

// Called as a task the host's loop was handed starts: answers whether every earlier task of its
// thread has run.
void taskStarts(const Place& place) {
    auto& order = postingOrder();
    bool inOrder = true;
    {
        std::lock_guard lock(order.mutex);
        if (place.epoch != order.epoch) return;
        auto [it, added] = order.ranUpTo.try_emplace(place.thread, 0);
        inOrder = place.index == it->second + 1;
        it->second = std::max(it->second, place.index);
        if (order.ranUpTo.size() > kMaxPostingThreads) {
            order.ranUpTo.clear();
            ++order.epoch;
        }
    }
    if (inOrder) return;
    order.broken = true;
    if (!order.said.exchange(true)) {
        Log::write(
            "[Plovendale] the host's main-queue poster ran a task before one posted earlier. "
            "Posted tasks must run one at a time, in the order posted (a swap-remove queue or "
            "a timer heap with equal delays does not keep it); install-trace queries fail with "
            "-10007 while it does not.");
    }
}

// Counting starts again: for a new poster (which is also told nothing of the old one's faults),
// or after a poster refused a task, whose place then never runs.
void countAgain(bool newPoster) {
    auto& order = postingOrder();
    std::lock_guard lock(order.mutex);
    ++order.epoch;
    order.ranUpTo.clear();
    if (newPoster) {
        order.broken = false;
        order.said = false;
    }
}

// What the host's loop receives: the task with its place.
MainQueue::Task placed(MainQueue::Task task) {
    return [place = nextPlace(), task = std::move(task)] {
        taskStarts(place);
        task();
    };
}

}  // namespace

namespace internal {
bool mainQueueOrderBroken() {
    return postingOrder().broken.load();
}

}  // namespace internal

MainQueue& MainQueue::shared() {
    static MainQueue queue;
    return queue;
}

MainQueue::State& MainQueue::state() {
    // Never destroyed: work may still be posted from the I/O thread while statics are torn down.
    static State* instance = new State;  // NOLINT(cppcoreguidelines-owning-memory)
    return *instance;
}

namespace {

// Longer than any host loop pauses between two turns, short against the query's 4 s floor.
constexpr auto kUndrainedAfter = std::chrono::seconds(3);

constexpr const char* kUndrainedLine =
    "[Plovendale] The main queue has not been drained for 3 s while results wait for it: call "
    "MainQueue::shared().drain() (C: plovendale_drain_main_queue) from the app's main loop, or "
    "hand the work to that loop with MainQueue::shared().setPoster (C: "
    "plovendale_set_main_queue_poster).";

// One watcher for the process, started with the first task queued here and never joined: it
// only waits on the state, which is never destroyed.
template <typename State>  // deduced: the state type is the queue's own
void watchUndrained(State& s) {
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return !s.tasks.empty(); });
        if (s.drained.wait_until(lock, s.lastDrain + kUndrainedAfter,
                                 [&] { return s.tasks.empty(); }))
            continue;
        if (std::chrono::steady_clock::now() < s.lastDrain + kUndrainedAfter) continue;
        lock.unlock();
        Log::write(kUndrainedLine);
        lock.lock();
        // Said once per stall: the next is said when work waits again after a drain.
        s.drained.wait(lock, [&] { return s.tasks.empty(); });
    }
}

// Called with the mutex held, as tasks are queued for the built-in queue.
template <typename State>
void watchLocked(State& s, bool wasEmpty) {
    if (wasEmpty) s.lastDrain = std::chrono::steady_clock::now();
    if (s.watching) return;
    try {
        std::thread([&s] { watchUndrained(s); }).detach();
        s.watching = true;
    } catch (const std::system_error&) {
    }
}

// The host's poster runs on whichever thread posts (the I/O thread among them). If it throws, the
// exception must not unwind into that thread and the task must not be lost with it: the task is
// kept for the built-in queue, where drain() or runUntil() still finds it.
template <typename Hand>
void handToHost(MainQueue::Task task, Hand&& hand, std::deque<MainQueue::Task>& fallback,
                std::mutex& mutex) {
    auto held = std::make_shared<MainQueue::Task>(std::move(task));
    try {
        hand([held] { (*held)(); });
        return;
    } catch (...) {
    }
    Log::write(
        "[Plovendale] the host's main-queue poster threw; the task waits on the built-in "
        "queue instead.");
    std::lock_guard lock(mutex);
    fallback.push_back([held] { (*held)(); });
}

}  // namespace

std::vector<MainQueue::Task> MainQueue::promoteDueLocked(bool forPosterIfAny) {
    auto& s = state();
    std::vector<Task> forPoster;
    const auto now = std::chrono::steady_clock::now();
    while (!s.delayed.empty() && s.delayed.begin()->first <= now) {
        Task due = std::move(s.delayed.begin()->second);
        s.delayed.erase(s.delayed.begin());
        if (forPosterIfAny && s.poster) {
            forPoster.push_back(std::move(due));
        } else {
            s.tasks.push_back(std::move(due));
        }
    }
    return forPoster;
}

void MainQueue::async(Task task) {
    enqueue(std::span<Task>(&task, 1));
}

void MainQueue::asyncAll(std::vector<Task> tasks) {
    enqueue(tasks);
}

void MainQueue::enqueue(std::span<Task> tasks) {
    if (std::none_of(tasks.begin(), tasks.end(), [](const Task& task) { return bool(task); }))
        return;
    auto& s = state();
    std::unique_lock lock(s.mutex);
    if (s.poster) {
        Poster poster = s.poster;
        std::vector<Task> due = promoteDueLocked(true);
        lock.unlock();
        const auto post = [&poster](Task handed) {
            try {
                poster(placed(std::move(handed)));
            } catch (...) {
                countAgain(false);
                throw;
            }
        };
        for (auto& delayed : due) handToHost(std::move(delayed), post, s.tasks, s.mutex);
        for (auto& task : tasks) {
            if (task) handToHost(std::move(task), post, s.tasks, s.mutex);
        }
        return;
    }
    const bool wasEmpty = s.tasks.empty();
    for (auto& task : tasks) {
        if (task) s.tasks.push_back(std::move(task));
    }
    watchLocked(s, wasEmpty);
    lock.unlock();
    s.wake.notify_all();
}

bool MainQueue::asyncAfter(std::chrono::milliseconds delay, Task task) {
    if (!task) return false;
    delay = std::clamp(delay, std::chrono::milliseconds(0), kMaxDelay);
    auto& s = state();
    std::unique_lock lock(s.mutex);
    if (s.delayedPoster) {
        DelayedPoster poster = s.delayedPoster;
        lock.unlock();
        handToHost(
            std::move(task), [&](Task handed) { poster(delay, std::move(handed)); }, s.tasks,
            s.mutex);
        return true;
    }
    if (s.delayed.size() >= kMaxDelayedTasks) return false;
    s.delayed.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    lock.unlock();
    s.wake.notify_all();
    return true;
}

bool MainQueue::runNext() {
    auto& s = state();
    Task task;
    bool emptied = false;
    {
        std::lock_guard lock(s.mutex);
        promoteDueLocked(false);  // the thread draining runs due tasks itself
        s.lastDrain = std::chrono::steady_clock::now();
        if (s.tasks.empty()) return false;
        task = std::move(s.tasks.front());
        s.tasks.pop_front();
        emptied = s.tasks.empty();
    }
    if (emptied) s.drained.notify_all();
    task();
    return true;
}

std::size_t MainQueue::drain() {
    std::size_t ran = 0;
    while (runNext()) ++ran;
    return ran;
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    // `done` may depend on state other threads change without posting work (a session count,
    // a file), so it is re-checked after a short slice as well as whenever work arrives.
    constexpr auto kSlice = std::chrono::milliseconds(5);
    auto& s = state();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Only the work already queued runs before `done` and the deadline are looked at again:
        // tasks that keep arriving (or that post their successors) cannot hold the caller past
        // its timeout.
        std::size_t batch = 0;
        {
            std::lock_guard lock(s.mutex);
            promoteDueLocked(false);
            s.lastDrain = std::chrono::steady_clock::now();
            batch = s.tasks.size();
        }
        while (batch-- > 0 && std::chrono::steady_clock::now() < deadline && runNext()) {
        }
        if (done()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::unique_lock lock(s.mutex);
        auto wakeAt = std::min(deadline, now + kSlice);
        if (!s.delayed.empty()) wakeAt = std::min(wakeAt, s.delayed.begin()->first);
        if (s.tasks.empty()) s.wake.wait_until(lock, wakeAt);
    }
}

// The previous poster comes back in `poster` and is released by the caller, after the mutex is let
// go: what it captured is the host's.
void MainQueue::setPoster(Poster poster) {
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.poster.swap(poster);
    }
    countAgain(true);
}

void MainQueue::setDelayedPoster(DelayedPoster poster) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.delayedPoster.swap(poster);
}

}  // namespace plovendale
