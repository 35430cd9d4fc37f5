#pragma once

// Not part of the host API: test suites only.

namespace plovendale::internal {

/// Returns the library's process-wide state to what a new process starts with: the SDK's
/// in-memory values, delegate, observers, tracking choice, link key, report sender and events not
/// yet written, the HTTP client's settings, cookie and credential stores and background handlers,
/// the extra TLS trust and the proxy rule, the platform configuration (back to the desktop
/// defaults, log to stderr) and the main queue's poster. Persisted values are left alone (they live
/// in the configured store). Lets many tests share one process as if each had its own. Call on the
/// main thread with no transfer in flight.
void resetProcessStateForTests();

/// Empties the in-memory application key, service base URL and client identifier.
void resetCoreHelperMemory();

/// Forgets a pasteboard capture that the store refused.
void resetUnstoredCapture();

}  // namespace plovendale::internal
