#pragma once

#include <mutex>
#include <string>

namespace plovendale::internal {

/// What the signals keep in memory for the process, in one object created on first use. Any
/// thread; the mutex is held only while the field is read or written.
struct SignalsState {
    /// The trace of the last pasteboard capture the store has not taken, while it writes it or
    /// once it refused it: it still goes with this run's queries.
    struct UnstoredCapture {
        std::mutex mutex;
        std::string trace;
    } unstoredCapture;
};

SignalsState& signalsState();

}  // namespace plovendale::internal
