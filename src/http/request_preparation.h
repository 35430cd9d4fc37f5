#pragma once

#include <cstdint>
#include <string>

namespace plovendale::http {

/// The decimal "Content-Length" value of a body of that many bytes.
std::string contentLengthText(std::uint64_t length);

}  // namespace plovendale::http
