#include "transport/curl_engine.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <utility>

#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "transport/http_cookie_storage.h"

namespace plovendale::curl {
namespace {

using Clock = std::chrono::steady_clock;

// With nothing scheduled the I/O thread sleeps in curl_multi_poll until woken; this only bounds
// one sleep so that a lost wake-up could never stall the service for good.
constexpr int kLongestSleepMs = 60 * 60 * 1000;

void joinUnlessSelf(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // the process is exiting from this very thread
    } else {
        thread.join();
    }
}

}  // namespace

// Stops the engine when the process exits. It is created after the statics the engine's threads use
// (cookie store, main queue), so it is destroyed before them.
struct Engine::Shutdown {
    Engine* engine;
    ~Shutdown() {
        {
            std::lock_guard lock(engine->mutex_);
            engine->exiting_ = true;
        }
        engine->stop();
    }
};

namespace {
// Set once shared() has made the engine: stopping must not start one just to stop it.
std::atomic<Engine*> startedEngine{nullptr};
}  // namespace

bool Engine::stopIfStarted() {
    Engine* engine = startedEngine.load();
    if (!engine) return true;
    const auto self = std::this_thread::get_id();
    if (self == engine->ioThread_ || self == engine->delegates_.get_id()) return false;
    engine->stop();
    return true;
}

void Engine::restartIfStopped() {
    Engine* engine = startedEngine.load();
    if (!engine) return;
    {
        std::lock_guard lock(engine->mutex_);
        if (!engine->stopped_ || engine->exiting_) return;
    }
    engine->multi_ = Multi(curl_multi_init());
    {
        std::lock_guard lock(engine->mutex_);
        engine->stopped_ = false;
    }
    engine->startThreads();
}

Engine& Engine::shared() {
    // Never freed: work handed in late by other threads (an answer from the main queue during exit)
    // must find a stopped engine, not freed memory.
    // Everything is set up inside the one initialisation: the service asks for the engine a few
    // dozen times per request, and each call then costs one check.
    static Engine* const engine = [] {
        (void)runtimeProblemUnlogged();
        (void)caBlob();
        (void)HTTPCookieStorage::shared();
        (void)MainQueue::shared();
        auto* made = new Engine();
        static Shutdown shutdown{made};
        startedEngine.store(made);
        return made;
    }();
    return *engine;
}

Engine::Engine() : multi_(curl_multi_init()) {
    startThreads();
}

void Engine::startThreads() {
    io_ = std::thread([this] { runIO(); });
    ioThread_ = io_.get_id();
    delegates_ = std::thread([this] { runDelegates(); });
}

void Engine::perform(std::function<void()> command) {
    bool first = false;
    const bool here = onIOThread();
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        first = commands_.empty();
        commands_.push_back(std::move(command));
    }
    // One wake-up serves every command queued before the I/O thread takes the queue: it takes
    // them all at once. The I/O thread itself needs none: it notes that it queued something, and
    // does not wait before its next pass.
    if (here) {
        queuedThisPass_ = true;
    } else if (first && multi_) {
        curl_multi_wakeup(multi_.get());
    }
}

void Engine::deliver(std::function<void()> event) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        events_.push_back(std::move(event));
    }
    eventsReady_.notify_one();
}

void Engine::postToMainQueue(std::function<void()> task) {
    if (onIOThread()) {
        forMainQueue_.push_back(std::move(task));
    } else {
        MainQueue::shared().async(std::move(task));
    }
}

void Engine::flushMainQueueWork() {
    if (forMainQueue_.empty()) return;
    try {
        if (forMainQueue_.size() == 1) {
            // The usual pass: its one task goes alone, and the vector keeps its room for the next.
            std::function<void()> task = std::move(forMainQueue_.front());
            forMainQueue_.clear();
            MainQueue::shared().async(std::move(task));
            return;
        }
        std::vector<std::function<void()>> work;
        work.swap(forMainQueue_);
        MainQueue::shared().asyncAll(std::move(work));
    } catch (const std::exception& exception) {
        Log::write(std::string("URL session work for the main queue was lost: ") +
                   exception.what());
    }
}

void Engine::retain(std::shared_ptr<Driven> owner) {
    Driven::Hold& hold = owner->hold_;
    if (hold.self) return;
    hold.next = firstRetained_;
    if (firstRetained_) firstRetained_->hold_.previous = owner.get();
    firstRetained_ = owner.get();
    hold.self = std::move(owner);
}

std::shared_ptr<Driven> Engine::strong(Driven* owner) const {
    return owner->hold_.self;
}

void Engine::release(Driven* owner) {
    Driven::Hold& hold = owner->hold_;
    if (!hold.self) return;
    (hold.previous ? hold.previous->hold_.next : firstRetained_) = hold.next;
    if (hold.next) hold.next->hold_.previous = hold.previous;
    hold.previous = hold.next = nullptr;
    auto keep = std::move(hold.self);  // destroyed once the list no longer refers to it
}

void Engine::addTransfer(CURL* handle, Transfer transfer) {
    if (spareTransfer_.empty()) {
        transfers_.emplace(handle, transfer);
        return;
    }
    spareTransfer_.key() = handle;
    spareTransfer_.mapped() = transfer;
    transfers_.insert(std::move(spareTransfer_));
    spareTransfer_ = {};
}

bool Engine::attach(CURL* handle, Driven* owner, const std::string& origin) {
    if (!multi_ || transfers_.count(handle)) return false;
    // Most transfers go where the one before went: its origin's entry is found without a hash.
    if (!latestOrigin_ || origin != latestOriginName_) {
        if (origins_.size() >= kKeptIdleOrigins && !origins_.count(origin)) forgetIdleOrigins();
        latestOrigin_ = &origins_[origin];
        latestOriginName_ = origin;
    }
    Origin& slots = *latestOrigin_;
    if (slots.running >= kConnectionsPerOrigin) {
        addTransfer(handle, Transfer{owner, &slots, Stage::Waiting});
        ++slots.transfers;
        slots.waiting.push_back(handle);
        return true;
    }
    if (curl_multi_add_handle(multi_.get(), handle) != CURLM_OK) return false;
    ++slots.running;
    addTransfer(handle, Transfer{owner, &slots, Stage::Running});
    running_.emplace_back(handle, owner);
    ++slots.transfers;
    owner->exchangeStarted(handle);
    return true;
}

void Engine::detach(CURL* handle) {
    auto it = transfers_.find(handle);
    if (it == transfers_.end()) return;
    Origin& slots = *it->second.slots;
    const Stage stage = it->second.stage;
    spareTransfer_ = transfers_.extract(it);
    --slots.transfers;
    if (stage == Stage::Running) {
        curl_multi_remove_handle(multi_.get(), handle);
        std::erase_if(running_, [handle](const auto& entry) { return entry.first == handle; });
        --slots.running;
    } else if (stage == Stage::Waiting) {
        std::erase(slots.waiting, handle);
    } else {
        std::erase(startFailed_, handle);
    }
    startWaiting(slots);
}

void Engine::startWaiting(Origin& slots) {
    while (slots.running < kConnectionsPerOrigin && !slots.waiting.empty()) {
        CURL* handle = slots.waiting.front();
        slots.waiting.pop_front();
        Transfer& transfer = transfers_.at(handle);
        if (curl_multi_add_handle(multi_.get(), handle) != CURLM_OK) {
            transfer.stage = Stage::StartFailed;  // reported from the loop, not from in here
            startFailed_.push_back(handle);
            continue;
        }
        ++slots.running;
        transfer.stage = Stage::Running;
        running_.emplace_back(handle, transfer.owner);
        transfer.owner->exchangeStarted(handle);
    }
}

void Engine::forgetIdleOrigins() {
    latestOrigin_ = nullptr;
    std::erase_if(origins_, [](const auto& entry) { return entry.second.transfers == 0; });
}

void Engine::unpause(CURL* handle) {
    auto it = transfers_.find(handle);
    if (it != transfers_.end() && it->second.stage == Stage::Running)
        curl_easy_pause(handle, CURLPAUSE_CONT);
}

void Engine::runIO() {
    if (!multi_) return;
    std::vector<std::function<void()>> commands;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) break;
            commands.swap(commands_);
        }
        for (auto& command : commands) command();
        commands.clear();

        int running = 0;
        curl_multi_perform(multi_.get(), &running);
        finishedTransfers();
        failedStarts();
        int sleepMs = expireTransfers();

        long curlTimeout = -1;
        curl_multi_timeout(multi_.get(), &curlTimeout);
        if (curlTimeout >= 0) sleepMs = std::min<long>(sleepMs, curlTimeout);
        // Queued during this pass by this thread. What another thread queued since the queue was
        // taken has woken the multi handle, so the wait below returns at once for it.
        if (std::exchange(queuedThisPass_, false)) sleepMs = 0;
        flushMainQueueWork();
        curl_multi_poll(multi_.get(), nullptr, 0, sleepMs, nullptr);
    }
    flushMainQueueWork();
}

void Engine::finishedTransfers() {
    auto& done = finished_;
    done.clear();
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
        if (message->msg == CURLMSG_DONE)
            done.emplace_back(message->easy_handle, message->data.result);
    }
    for (const auto& [handle, code] : done) {
        auto it = transfers_.find(handle);
        if (it == transfers_.end()) continue;
        Driven* owner = it->second.owner;
        auto keep = strong(owner);  // the owner may release itself in there
        owner->exchangeDone(handle, code);
    }
}

void Engine::failedStarts() {
    if (startFailed_.empty()) return;
    const std::vector<CURL*> failed = std::exchange(startFailed_, {});
    for (CURL* handle : failed) {
        // An earlier report of this pass may have ended this transfer too.
        auto it = transfers_.find(handle);
        if (it == transfers_.end() || it->second.stage != Stage::StartFailed) continue;
        Driven* owner = it->second.owner;
        auto keep = strong(owner);
        owner->exchangeDone(handle, CURLE_FAILED_INIT);
    }
}

int Engine::expireTransfers() {
    // Nothing running, nothing to expire: a pass that has just ended the last transfer reads no
    // clock.
    if (running_.empty()) return kLongestSleepMs;
    const auto now = Clock::now();
    std::optional<Clock::time_point> next;
    std::vector<std::pair<CURL*, Driven*>> expired;
    for (const auto& [handle, owner] : running_) {
        const auto deadline = owner->deadline(handle);
        if (!deadline) continue;
        if (*deadline <= now) {
            expired.emplace_back(handle, owner);
        } else if (!next || *deadline < *next) {
            next = deadline;
        }
    }
    for (const auto& [handle, owner] : expired) {
        if (!transfers_.count(handle)) continue;
        auto keep = strong(owner);
        owner->deadlinePassed(handle);
    }
    if (!expired.empty()) return 0;  // the timed-out transfers may have let queued ones start
    if (!next) return kLongestSleepMs;
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(wait, 0, kLongestSleepMs));
}

void Engine::runDelegates() {
    for (;;) {
        std::function<void()> event;
        {
            std::unique_lock lock(mutex_);
            eventsReady_.wait(lock, [this] { return stopped_ || !events_.empty(); });
            if (stopped_) return;
            event = std::move(events_.front());
            events_.pop_front();
        }
        runDelegateEvent(event);
    }
}

void logDelegateThrew(const char* what) {
    if (what) {
        Log::write(std::string("URL session delegate threw: ") + what);
    } else {
        Log::write("URL session delegate threw");
    }
}

void Engine::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    if (multi_) curl_multi_wakeup(multi_.get());
    eventsReady_.notify_all();
    joinUnlessSelf(io_);
    joinUnlessSelf(delegates_);

    // Both threads are gone: tear down what they left, outside the lock (destroying a pending
    // answer posts to the stopped engine, which drops it).
    for (const auto& [handle, transfer] : transfers_) {
        if (transfer.stage == Stage::Running) curl_multi_remove_handle(multi_.get(), handle);
    }
    transfers_.clear();
    // The owners let go of their handles now, while no thread drives the pool they go back to.
    for (Driven* owner = firstRetained_; owner; owner = owner->hold_.next) owner->engineStopped();
    running_.clear();
    startFailed_.clear();
    origins_.clear();
    latestOrigin_ = nullptr;
    std::vector<std::function<void()>> commands;
    std::deque<std::function<void()>> events;
    {
        std::lock_guard lock(mutex_);
        commands.swap(commands_);
        events.swap(events_);
    }
    commands.clear();
    events.clear();
    std::vector<std::shared_ptr<Driven>> retained;
    while (firstRetained_) {
        Driven::Hold& hold = firstRetained_->hold_;
        firstRetained_ = hold.next;
        hold.previous = hold.next = nullptr;
        retained.push_back(std::move(hold.self));
    }
    retained.clear();
    easyPool_.clear();
    multi_.reset();
}

}  // namespace plovendale::curl
