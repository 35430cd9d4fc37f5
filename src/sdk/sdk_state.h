#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "plovendale/sdk/install_trace_state.h"
#include "plovendale/sdk/plovendale.h"

struct evp_pkey_st;  // OpenSSL's EVP_PKEY, named here without OpenSSL's headers

namespace plovendale::internal {

/// The SDK's in-memory state for the process, in one object created on first use. Each part has
/// its own mutex, held only while its fields are read or written (never around host code or a
/// log line). Persisted values live in the key-value store, not here.
struct SdkState {
    /// The application key, service base URL and client identifier of this process.
    struct Core {
        std::mutex mutex;
        std::string appKey;
        std::string targetDomain;
        std::string clientId;
        bool clientIdStored = false;  // clientId came from the store or reached it
    } core;

    /// The user's tracking choice.
    struct Consent {
        std::mutex mutex;
        std::optional<bool> disabled;  // read from the store on first use
    } consent;

    /// This process's install-trace queries and their observers.
    struct Trace {
        std::mutex mutex;
        int inFlight = 0;
        std::optional<InstallTraceState> outcome;  // of this process's last query
        std::uint64_t generation = 1;
        std::uint64_t nextToken = 1;
        std::map<std::uint64_t, Plovendale::InstallTraceObserver> observers;
    } trace;

    /// The host's key for signed wake-up links.
    struct LinkVerification {
        std::mutex mutex;
        bool required = false;
        // Empty while required: the host's key could not be read, so nothing passes.
        std::shared_ptr<evp_pkey_st> key;
    } verification;

    /// The host's event observer.
    struct Events {
        std::mutex mutex;
        // Shared so that posting an event copies a pointer, not the host's callable.
        std::shared_ptr<const Plovendale::EventObserver> callback;
    } events;
};

SdkState& sdkState();

}  // namespace plovendale::internal
