#pragma once

#include <string>

namespace plovendale {

/// Fresh random identifiers (version 4 UUIDs). Any thread.
class UUID {
  public:
    /// 36 characters: 32 upper-case hexadecimal digits and four "-" (8-4-4-4-12). The 122 random
    /// bits come from the operating system's generator on every call.
    static std::string UUIDString();
};

}  // namespace plovendale
