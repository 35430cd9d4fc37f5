#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "host/clock.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "sdk/client_id.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/outbox_writer.h"
#include "util/json_serialization.h"

// The sending lease: one launch at a time sends what launches sharing a data directory queued.
namespace plovendale::internal {
using namespace outbox_sending;  // NOLINT(google-build-using-namespace)

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A launch renews its lease at least every 20 s while it sends; a lease older than this belongs to
// a launch that is gone, whatever its process identifier says now.
constexpr long long kLeaseSeconds = 60;

bool processGone(const std::string& token) {
    const auto dash = token.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 9) return false;
    for (std::size_t i = 0; i < dash; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
    }
    const auto pid = static_cast<pid_t>(std::stol(token.substr(0, dash)));
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// A launch that finds the lease held looks again after this, doubling up to kMostLeaseWait: the
// holder gives it up at shutdown (or its process ends), often a moment later.
constexpr milliseconds kFirstLeaseWait{200};
constexpr milliseconds kMostLeaseWait{5000};

long long nowSeconds() {
    return static_cast<long long>(Date::timeIntervalSince1970());
}

}  // namespace

// Names this launch in the lease: the process, so that a lease of a process that is gone can be
// taken at once, and a random part, as process identifiers are reused.
const std::string& launchToken() {
    static const std::string token =
        std::to_string(::getpid()) + "-" + makeClientId().substr(0, 12);
    return token;
}

bool leaseHeldElsewhere(const std::string& by, long long at, long long now) {
    if (by.empty() || by == launchToken()) return false;
    if (std::llabs(now - at) > kLeaseSeconds) return false;
    return !processGone(by);
}

std::map<std::string, std::string> sendingLeaseValue(bool release) {
    if (release) return {{kOutboxSenderKey, R"({"at":0,"by":""})"}};
    return {{kOutboxSenderKey, "{\"at\":" + std::to_string(nowSeconds()) +
                                   ",\"by\":" + jsonString(launchToken()) + "}"}};
}

bool takeSendingLease(std::uint64_t generation) {
    const long long at = nowSeconds();
    const std::string mine = json{{"by", launchToken()}, {"at", at}}.dump();
    bool taken = false;
    const bool stored = Platform::keyValueStore()->update(
        kOutboxSenderKey,
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
            if (generation != outboxGeneration()) return current;
            const auto lease = current ? parseJSONText(*current) : json();
            if (lease.is_object() && lease.contains("by") && lease["by"].is_string() &&
                lease.contains("at") && lease["at"].is_number_integer() &&
                leaseHeldElsewhere(lease["by"].get<std::string>(), lease["at"].get<long long>(),
                                   at))
                return current;
            taken = true;
            return mine;
        },
        {});
    if (!stored) emitEvent("store.failed", {{"what", "outbox"}});
    return stored && taken;
}

namespace outbox_sending {

// Looks for the lease again after a wait; a send that waits so is about to run.
void waitForLease(std::uint64_t generation) {
    milliseconds delay{};
    {
        std::lock_guard lock(sender().mutex);
        const int waits = std::min(sender().leaseWaits++, 5);
        delay = std::min(kFirstLeaseWait * (1 << waits), kMostLeaseWait);
        sender().leaseWaiting = true;
    }
    passAfter(delay, generation, &Sender::leaseWaiting);
}

// Whether this launch may send now: it holds the lease, renewed when due.
bool holdLease(std::uint64_t generation) {
    {
        std::lock_guard lock(sender().mutex);
        const auto renewed = sender().leaseRenewed;
        if (renewed && steady_clock::now() - *renewed < kLeaseRenewal) return true;
    }
    if (!takeSendingLease(generation)) return false;
    // The launch that held the lease before may have sent and removed entries this one still
    // remembers: read what the store holds now.
    refreshOutbox(generation);
    std::lock_guard lock(sender().mutex);
    sender().leaseRenewed = steady_clock::now();
    sender().leaseWaits = 0;
    return true;
}

}  // namespace outbox_sending

void releaseSendingLease() {
    {
        std::lock_guard lock(sender().mutex);
        if (!sender().leaseRenewed) return;
        sender().leaseRenewed.reset();
    }
    // Another launch may send at once, rather than after the lease lapses; a crash that undoes
    // this write only makes it wait so. A lease another launch took meanwhile stays its own.
    Platform::keyValueStore()->updateWithoutSync(
        kOutboxSenderKey,
        [](const std::optional<std::string>& current) -> std::optional<std::string> {
            const auto lease = current ? parseJSONText(*current) : json();
            const bool mine = lease.is_object() && lease.contains("by") &&
                              lease["by"].is_string() && lease["by"] == launchToken();
            if (!mine) return current;
            return sendingLeaseValue(true).begin()->second;
        });
}

}  // namespace plovendale::internal
