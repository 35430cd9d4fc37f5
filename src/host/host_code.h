#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "plovendale/platform/log.h"

namespace plovendale {

/// Logs "<who> threw: <what>" (or "<who> threw." without a text); never throws itself, so it is
/// safe inside a handler.
inline void logThrowFromHostCode(std::string_view who, const char* what) noexcept {
    try {
        std::string line(who);
        line += what ? " threw: " : " threw.";
        if (what) line += what;
        Log::write(line);
    } catch (...) {
        // A log sink that throws as well: nothing more can be said.
    }
}

/// Runs a callback of the host's. Whatever it throws is logged and stops here: unwinding through
/// the library would skip the work after the call (finishing a session, releasing a request) and
/// would leave a public function by an exception.
template <typename Call>
void callHostCode(std::string_view who, Call&& call) noexcept {
    try {
        std::forward<Call>(call)();
    } catch (const std::exception& exception) {
        logThrowFromHostCode(who, exception.what());
    } catch (...) {
        logThrowFromHostCode(who, nullptr);
    }
}

}  // namespace plovendale
