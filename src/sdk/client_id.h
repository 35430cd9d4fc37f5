#pragma once

#include <string>

namespace plovendale {

/// A fresh client identifier: 32 lower-case hexadecimal digits.
std::string makeClientId();

}  // namespace plovendale

namespace plovendale::internal {

/// Empties the in-memory client identifier only (after its stored copy was erased).
void forgetClientIdMemory();

}  // namespace plovendale::internal
