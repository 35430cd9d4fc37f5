#pragma once

namespace plovendale::internal {

/// Runs `steps` (start-up's work on stored values) with the key-value store open, first before any
/// other use of it. On a store not yet open: on a start-up worker thread, which opens it; the call
/// returns at once and every other use of the store waits for the worker (2 s at most, see
/// holdKeyValueStore). A call while the worker runs adds one more run of `steps` to it. Otherwise
/// (the store is open, or the host supplied it): on the calling thread. Host's thread.
void runStartUpSteps(void (*steps)());

/// Waits until the start-up worker, if any, is done, and joins it. For shutdown and the test
/// suite's fresh process state; main thread.
void finishStartUp();

}  // namespace plovendale::internal
