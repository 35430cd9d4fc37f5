#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "sdk/outbox_store.h"

// What the events' sender (event_outbox.cpp) and their writer thread (event_writer.cpp) share.
namespace plovendale::internal::outbox_sending {

using std::chrono::steady_clock;

struct Sender {
    std::mutex mutex;
    bool sending = false;    // a report or a batch is on the wire
    bool scheduled = false;  // a pass is handed to the writer
    bool passing = false;    // a pass runs
    // The next pass reads what other launches queued meanwhile (one that follows this launch's
    // own delivery need not: the writes it waits on are this launch's).
    bool lookElsewhere = false;
    int leaseWaits = 0;  // passes in a row that found the lease held by another launch
    bool leaseWaiting = false;
    bool retryPending = false;
    int failures = 0;
    // Whether this launch's install-trace query has ended (or the installation was answered
    // before): until then, events made in this launch are held so the service can credit them.
    bool traceSettled = false;
    std::set<std::string> held;
    std::deque<std::string> heldOrder;  // to keep `held` within the outbox's bound
    OutboxEdits answered;       // what the service answered, still to be written to the store
    bool durableEdits = false;  // a removal that must survive a crash: tracking was disabled
    std::optional<steady_clock::time_point> leaseRenewed;
    std::mt19937 random{std::random_device{}()};
};

Sender& sender();

// Events wait here, in memory, until the writer thread has put them in the store: the host's
// call never waits for a disk sync.
struct Writer {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable written;  // a group is done
    // At most the outbox's bound: past it the oldest go, as the store would drop them anyway, so
    // that a burst holds no more memory than a full store.
    std::deque<OutboxEntry> pending;
    std::size_t droppedUnwritten = 0;
    OutboxWrite dropped;  // by the writes since the writer last caught up, not yet told
    steady_clock::time_point firstPending;  // when the oldest of `pending` came in
    bool writing = false;
    bool urgent = false;  // a flush waits: write without gathering more
    bool stopping = false;
    // The library's other disk work, run ahead of the events: it keeps disk syncs off the host's
    // main queue, on the one thread that already waits for the disk.
    std::deque<std::function<void()>> jobs;
    std::mutex jobMutex;  // held while a job runs (and by a forget, to keep jobs off its erase)
    std::thread thread;

    // What the writer thread uses is made before the writer, so that at exit it is destroyed
    // after the writer has stopped: a write under way finishes against live state.
    Writer() {
        visitKnownEntries([](const OutboxEntry&) { return false; });
        sender();
        launchToken();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    ~Writer() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        if (thread.joinable()) thread.join();
    }
};

Writer& writer();

/// Starts the writer thread unless it runs; under the writer's lock. Throws std::system_error
/// when no thread can be had.
void startWriterLocked(Writer& w);
/// Whether this launch may send now: it holds the lease, renewed when due (taking it reads what
/// the store holds now). On the writer thread.
bool holdLease(std::uint64_t generation);
/// The sending lease is renewed at least this often while entries go (it lapses after 60 s).
inline constexpr auto kLeaseRenewal = std::chrono::seconds(20);
/// A pass after `delay` on the main queue; the sender's flag `waiting`, set by the caller, says so
/// meanwhile.
void passAfter(std::chrono::milliseconds delay, std::uint64_t generation, bool Sender::*waiting);
/// Looks for the lease again after a wait; a send that waits so is about to run.
void waitForLease(std::uint64_t generation);
/// The sender's pass for the installation of `generation`; nothing once that one was forgotten.
/// On the writer thread. `scheduled`: the pass sendOutboxSoon handed over.
/// `then`: as sendOutboxNow's.
void sendOutbox(bool scheduled, std::uint64_t generation, MainQueue::Task then = nullptr);

}  // namespace plovendale::internal::outbox_sending
