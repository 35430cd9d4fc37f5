#include "sdk/start_up.h"

#include <mutex>
#include <system_error>
#include <thread>

#include "host/held_log_lines.h"
#include "host/platform_services.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "sdk/sdk_state.h"

namespace plovendale::internal {
namespace {

// Opening an existing store costs the host's thread a millisecond or more (the file, the WAL
// index, reading the table), and a first launch adds a synced write: both run here instead.
struct Worker {
    std::mutex mutex;
    std::thread thread;
    void (*steps)() = nullptr;
    int runsLeft = 0;
    bool running = false;

    // What the worker uses is made before the worker, so that at exit it is destroyed after the
    // worker has been joined: a start-up under way finishes against live state.
    Worker() {
        (void)sdkState();
        (void)MainQueue::shared();
        (void)Platform::generalPasteboard();  // and the platform's state, which holds it
        makeLogState();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { finish(); }

    void finish() {
        std::thread done;
        {
            std::lock_guard lock(mutex);
            done.swap(thread);
        }
        if (done.joinable() && done.get_id() != std::this_thread::get_id()) done.join();
        if (done.joinable()) done.detach();  // the process is exiting from the worker itself
    }
};

Worker& worker() {
    static Worker instance;
    return instance;
}

// Nothing may leave a thread's function: what start-up could not do, a later call does again (a
// query makes a missing client identifier).
template <typename Work>
void contained(Work work) {
    try {
        work();
    } catch (...) {
    }
}

void runWorker() {
    auto& w = worker();
    adoptKeyValueStoreHold();
    contained([] { (void)Platform::keyValueStore(); });  // opens it
    for (;;) {
        void (*steps)() = nullptr;
        {
            std::lock_guard lock(w.mutex);
            if (w.runsLeft == 0) {
                w.running = false;
                break;
            }
            --w.runsLeft;
            steps = w.steps;
        }
        contained(steps);
    }
    releaseKeyValueStore();
}

}  // namespace

void runStartUpSteps(void (*steps)()) {
    auto& w = worker();
    {
        std::lock_guard lock(w.mutex);
        if (w.running) {
            w.steps = steps;
            ++w.runsLeft;
            return;
        }
    }
    if (!holdKeyValueStore()) {
        steps();  // the store is in force: what is left is quick
        return;
    }
    w.finish();  // the worker of an earlier start-up has ended; its thread is let go here
    try {
        std::lock_guard lock(w.mutex);
        w.steps = steps;
        w.runsLeft = 1;
        w.running = true;
        w.thread = std::thread(runWorker);
        return;
    } catch (const std::system_error&) {
        std::lock_guard lock(w.mutex);
        w.running = false;
        w.runsLeft = 0;
    }
    // No thread to be had: start-up runs here, as it would without a worker.
    releaseKeyValueStore();
    steps();
}

void finishStartUp() {
    worker().finish();
}

}  // namespace plovendale::internal
