#include "util/format.h"

namespace plovendale {

std::string fillTemplate(std::string_view pattern,
                         std::initializer_list<std::string_view> arguments) {
    std::string result;
    result.reserve(pattern.size() + 32);
    auto next = arguments.begin();
    std::size_t start = 0;
    while (start < pattern.size()) {
        const std::size_t at = pattern.find("%@", start);
        if (at == std::string_view::npos || next == arguments.end()) break;
        result.append(pattern, start, at - start);
        result.append(*next++);
        start = at + 2;
    }
    result.append(pattern.substr(start));
    return result;
}

}  // namespace plovendale
