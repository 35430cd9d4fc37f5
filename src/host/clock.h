#pragma once

namespace plovendale {

/// Wall-clock time: the platform configuration's clock, else the system's. Any thread.
class Date {
  public:
    /// Seconds since 1970-01-01 UTC.
    static double timeIntervalSince1970();
};

}  // namespace plovendale
