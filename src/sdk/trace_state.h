#pragma once

#include <cstdint>
#include <string>

#include "plovendale/sdk/install_trace_state.h"

namespace plovendale::internal {

/// The stored form of the last failed query (the failed state of a later launch).
inline constexpr const char* kTraceFailureKey = "com.plovendale.trace_failure";

/// A query left for the service. Answers the installation's generation, which
/// forgetInstallation advances: an answer to an older generation is not stored.
std::uint64_t traceQueryStarted();
/// A query of this process ended: the state the host was told, handed to observers once no query
/// is left in flight. `persist` keeps a failure for later launches. `generation` is what
/// traceQueryStarted answered, or 0 for a query that ended before it was sent; an answer for a
/// forgotten installation changes nothing.
void traceQueryEnded(const InstallTraceState& outcome, bool persist, std::uint64_t generation);
std::uint64_t installationGeneration();
/// Whether this launch knows the installation's answer: it is attributed or organic, or a query
/// of this process has ended. Any thread.
bool traceSettled();
/// The stored form of a failed state, to be written under kTraceFailureKey.
std::string storedFailureText(const InstallTraceState& failure);
/// After a forget: no outcome of this process, a new generation.
void forgetTraceState();
/// Shutdown dropped the queries on the wire: none is in flight any more (their handlers are not
/// called), and an answer that would still arrive for one changes nothing.
void abandonQueriesInFlight();

}  // namespace plovendale::internal
