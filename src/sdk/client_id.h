#pragma once

#include <string>

namespace plovendale {

/// A fresh client identifier: 32 lower-case hexadecimal digits.
std::string makeClientId();

}  // namespace plovendale
