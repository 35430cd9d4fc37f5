#pragma once

namespace plovendale::internal {

/// Closes the key-value store and drops the other services the platform made itself (those the
/// host supplied in its configuration stay); the configuration stays in force, and the next use
/// of a service makes it again from it. For shutdown: what is released is released outside the
/// platform's lock, since a service's destructor may call back into the library.
void releasePlatformServices();

/// Start-up's hold on the key-value store, so that its first reads and writes come before any
/// other: until the hold is released, a thread other than the holder that asks for the store waits
/// (2 s at most; past that, a store not yet open is replaced by one in memory for the run, with one
/// log line). False when there is nothing to hold: the store is in force, or is being opened.
bool holdKeyValueStore();
/// Makes the calling thread the holder (start-up's worker, before it first asks for the store).
void adoptKeyValueStoreHold();
/// Ends the hold; waiting threads go on. Called by the holder, or by the thread that took the hold
/// when no worker could be started.
void releaseKeyValueStore();

/// Whether the library runs (started, not shut down): a configuration is refused meanwhile, as
/// the services in use would change under the work in flight.
void setLibraryRunning(bool running);

}  // namespace plovendale::internal
