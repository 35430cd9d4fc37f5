#pragma once

// What the files of the C interface share: the guard no exception passes and the log relay.

#include <exception>
#include <string>
#include <string_view>

#include "plovendale/platform/log.h"
#include "plovendale/plovendale_c.h"

namespace plovendale {

// A binding cannot catch C++ exceptions: whatever escapes the facade stops here, once logged.
template <typename Body>
int guarded(const char* function, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            Log::write(std::string("[Plovendale] ") + function + " failed: " + e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            Log::write(std::string("[Plovendale] ") + function + " failed.");
        } catch (...) {
        }
    }
    return PLOVENDALE_ERROR_INTERNAL;
}

inline std::string textOr(const char* text) {
    return text ? std::string(text) : std::string();
}

/// The library's log sink while the C interface is in use: lines go to the callback a binding
/// set, else to stderr.
void relayLine(std::string_view text);

}  // namespace plovendale
