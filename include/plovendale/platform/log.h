#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "plovendale/export.h"

namespace plovendale {

/// The system log: one message per call. By default each message goes to stderr followed by a
/// line feed; a host (or a test) may install its own sink. Safe to call from any thread.
///
/// The sink runs on the thread that writes the line, with no lock of the library held, so it may
/// be called on several threads at once and may call back into the library, setSink included (a
/// line it writes itself comes back to it). A sink replaced while it runs on another thread
/// finishes that line; no later line reaches it.
class PLOVENDALE_API Log {
  public:
    using Sink = std::function<void(std::string_view message)>;

    static void write(std::string_view message);
    /// Replaces the sink; an empty function restores the stderr default. A line whose sink throws
    /// goes to stderr.
    static void setSink(Sink sink);
};

}  // namespace plovendale
