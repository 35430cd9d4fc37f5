#include "sdk/outbox_writer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "plovendale/platform/log.h"
#include "plovendale/platform/platform.h"
#include "sdk/events.h"
#include "util/format.h"

namespace plovendale::internal {
using namespace outbox_sending;  // NOLINT(google-build-using-namespace)

namespace {

using std::chrono::milliseconds;

// The writer lets events gather this long before it writes them as one group: a burst of calls
// costs a store write per window, and an event is durable within 100 ms even when a sync of a
// busy disk takes most of that (the crash torture kills hosts on a loaded machine).
constexpr milliseconds kGroupWindow{20};
// The most events one write takes from the queue: it bounds how long a shutdown waits for the write
// under way (five chunks and their pruning) and how far a new event waits behind a burst.
constexpr std::size_t kMaxGroupEvents = 1000;

// Appends `group`, writing only the chunks that change. Answers whether every write took.
bool writeGroup(std::vector<OutboxEntry> group, std::uint64_t generation,
                std::size_t droppedUnwritten) {
    const std::size_t count = group.size();
    const auto written = writeOutbox(generation, std::move(group), {}, {}, droppedUnwritten);
    if (generation != outboxGeneration()) return false;  // forgotten while it was being written
    {
        // Told once the writer has caught up: a burst's many writes make one log line.
        std::lock_guard lock(writer().mutex);
        auto& d = writer().dropped;
        d.malformed += written.malformed;
        d.tooOld += written.tooOld;
        d.tooMany += written.tooMany;
        d.reportsTooOld += written.reportsTooOld;
        d.reportsTooMany += written.reportsTooMany;
        d.reportsMalformed += written.reportsMalformed;
    }
    if (!written.stored) {
        if (written.unstored == 0) return false;
        Log::write(fillTemplate("[Plovendale] %@ events could not be stored and are dropped.",
                                {std::to_string(written.unstored)}));
        tellEventsDropped("store failed", written.unstored);
        return false;
    }
    emitEvent("event.queued",
              {{"count", std::to_string(count)}, {"queued", std::to_string(written.count)}});
    return true;
}

void runWriter() {
    auto& w = writer();
    std::unique_lock lock(w.mutex);
    for (;;) {
        w.wake.wait(lock, [&] { return w.stopping || !w.jobs.empty() || !w.pending.empty(); });
        if (w.jobs.empty() && !w.urgent && !w.stopping)
            // From the oldest event's arrival: events that came in during the previous write
            // have waited already.
            w.wake.wait_until(lock, w.firstPending + kGroupWindow,
                              [&] { return w.stopping || w.urgent || !w.jobs.empty(); });
        // At exit the library's other parts may be gone already: what is not written stays
        // unwritten (it is at most one group window old).
        if (w.stopping) return;
        if (!w.jobs.empty()) {
            auto job = std::move(w.jobs.front());
            w.jobs.pop_front();
            w.writing = true;
            lock.unlock();
            // The store is had before the job holds its lock: start-up holds the store while it
            // opens it, and a host callback it calls may forget the installation, which waits for
            // the job. Waiting under the lock, the job would wait for that forget in turn.
            try {
                (void)Platform::keyValueStore();
            } catch (const std::exception&) {
                // The job meets the same failure and deals with it.
            }
            {
                std::lock_guard held(w.jobMutex);
                job();
            }
            job = nullptr;  // what it captured goes before the writer says it is done
            lock.lock();
            w.writing = false;
            w.written.notify_all();
            continue;
        }
        w.urgent = false;
        // What is left over is written next, without a new window: firstPending stays as it was.
        const auto end = w.pending.begin() +
                         static_cast<std::ptrdiff_t>(std::min(w.pending.size(), kMaxGroupEvents));
        std::vector<OutboxEntry> group(std::make_move_iterator(w.pending.begin()),
                                       std::make_move_iterator(end));
        w.pending.erase(w.pending.begin(), end);
        const std::size_t droppedUnwritten = std::exchange(w.droppedUnwritten, 0);
        if (group.empty()) continue;  // a forget took what was pending
        w.writing = true;
        const std::uint64_t generation = outboxGeneration();
        // Under the writer's lock: queuedEventCount sees them either waiting here or taken.
        noteEventsTaken(generation, group.size());
        lock.unlock();
        if (writeGroup(std::move(group), generation, droppedUnwritten))
            sendOutboxSoon();  // before `writing` clears, so a flush sees the send coming
        lock.lock();
        if (w.pending.empty()) {
            const OutboxWrite dropped = std::exchange(w.dropped, {});
            lock.unlock();
            tellEventsPruned(dropped);  // never under the writer's lock
            lock.lock();
        }
        w.writing = false;
        w.written.notify_all();
    }
}

}  // namespace

namespace outbox_sending {

Writer& writer() {
    static Writer instance;
    return instance;
}

void startWriterLocked(Writer& w) {
    if (!w.thread.joinable()) w.thread = std::thread(runWriter);
}

}  // namespace outbox_sending

void queueEvent(OutboxEntry event) {
    {
        std::lock_guard lock(sender().mutex);
        auto& s = sender();
        if (!s.traceSettled && s.held.insert(event.id).second) {
            s.heldOrder.push_back(event.id);
            if (s.heldOrder.size() > kOutboxMaxEvents) {
                s.held.erase(s.heldOrder.front());
                s.heldOrder.pop_front();
            }
        }
    }
    auto& w = writer();
    {
        std::lock_guard lock(w.mutex);
        if (w.pending.empty()) w.firstPending = steady_clock::now();
        w.pending.push_back(std::move(event));
        if (w.pending.size() > kOutboxMaxEvents) {
            w.pending.pop_front();
            ++w.droppedUnwritten;
        }
        startWriterLocked(w);
    }
    w.wake.notify_one();
}

bool waitUntilWritten(milliseconds timeout) {
    auto& w = writer();
    std::unique_lock lock(w.mutex);
    w.urgent = !w.pending.empty();
    w.wake.notify_all();
    return w.written.wait_for(lock, timeout,
                              [&] { return w.pending.empty() && w.jobs.empty() && !w.writing; });
}

void runOnWriter(std::function<void()> job) {
    auto& w = writer();
    {
        std::unique_lock lock(w.mutex);
        try {
            startWriterLocked(w);
        } catch (const std::system_error&) {
            // No thread to be had now: the work is done late rather than never.
            lock.unlock();
            std::lock_guard held(w.jobMutex);
            job();
            return;
        }
        w.jobs.push_back(std::move(job));
    }
    w.wake.notify_one();
}

std::unique_lock<std::mutex> holdWriterJobs() {
    return std::unique_lock(writer().jobMutex);
}

bool stopOutboxWriter(milliseconds timeout) {
    runOnWriter(releaseSendingLease);
    const bool written = waitUntilWritten(timeout);
    auto& w = writer();
    std::thread thread;
    {
        std::lock_guard lock(w.mutex);
        w.stopping = true;
        thread.swap(w.thread);
    }
    w.wake.notify_all();
    if (thread.joinable()) thread.join();
    std::lock_guard lock(w.mutex);
    w.stopping = false;  // the next event starts a writer again
    return written;
}

std::size_t queuedEventCount() {
    // The first call of a launch reads the store (on this thread, without any lock held).
    if (!outboxKnown()) refreshOutbox(outboxGeneration());
    std::lock_guard lock(writer().mutex);
    return writer().pending.size() + knownCount(OutboxKind::Event);
}

}  // namespace plovendale::internal
