#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace plovendale {

/// Replaces each "%@" of `pattern`, in order, with the next argument; placeholders without an
/// argument stay as they are. Arguments are inserted verbatim, never re-scanned.
std::string fillTemplate(std::string_view pattern,
                         std::initializer_list<std::string_view> arguments);

}  // namespace plovendale
