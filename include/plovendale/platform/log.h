#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "plovendale/export.h"

namespace plovendale {

/// The system log: one message per call. By default each message goes to stderr followed by a
/// line feed; a host (or a test) may install its own sink. Safe to call from any thread.
class PLOVENDALE_API Log {
  public:
    using Sink = std::function<void(std::string_view message)>;

    static void write(std::string_view message);
    /// Replaces the sink; an empty function restores the stderr default. A line whose sink throws
    /// goes to stderr.
    static void setSink(Sink sink);
};

}  // namespace plovendale
