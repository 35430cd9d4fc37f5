#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sdk/outbox.h"

// The report outbox as stored: its entries, their reading and writing within the bounds, and the
// claims that keep two launches off one report. The sender (outbox.cpp) works on it through these.
namespace plovendale::internal::report_outbox {

struct Entry {
    std::string id;  // "" in arrays written before entries had one
    std::string body;
    long long queuedAt = 0;  // whole seconds, as stored
    int attempts = 0;
    std::string claimedBy;  // the launch sending it, "" when none
    long long claimedAt = 0;
};

/// Seconds since 1970, as the outbox stores them.
long long now();

/// What this process remembers of the last text parsed or written goes.
void forgetLastParsed();

// Reads the outbox as the store holds it now (another launch may have changed it), lets `edit`
// change the entries (answering whether it did), and stores the result with `alsoSet` in one
// write. `edit` runs under the store's lock: it only computes. Answers whether the write took;
// `count`, when given, receives how many reports are stored. A write that a crash may undo
// without harm (`durable` false, nothing in `alsoSet`) does not wait for the disk.
bool editOutbox(const std::function<bool(std::vector<Entry>&)>& edit,
                const std::map<std::string, std::string>& alsoSet, std::size_t* count = nullptr,
                bool durable = true);

/// The stored entry that is `sent` (the same id, body and time), or entries.end().
std::vector<Entry>::iterator findEntry(std::vector<Entry>& entries, const Entry& sent);

// Whether this launch may send `entry`: no launch is sending it, or the one that was is gone.
bool claimable(const Entry& entry, const std::set<std::string>& ownInFlight, long long at);

// Most passes of the sender find nothing to send (the report of the query that just ended is on
// the wire or gone): a look at the file, which takes no write lock, tells so without the store's
// write transaction. What it finds is read again inside that transaction, another launch may have
// taken it meanwhile; a look that fails leaves the decision to the transaction.
bool worthClaiming(const std::set<std::string>& ownInFlight, long long at);

}  // namespace plovendale::internal::report_outbox
